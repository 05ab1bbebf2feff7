// Base64 on OpenSSL's EVP encoder, which writes lines of 64 characters each
// ended by '\n' (the historical PEM layout callers expect).
#include "platform/text/Base64.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>

namespace {

struct EncodeCtxDeleter {
  void operator()(EVP_ENCODE_CTX* ctx) const { EVP_ENCODE_CTX_free(ctx); }
};
using EncodeCtx = std::unique_ptr<EVP_ENCODE_CTX, EncodeCtxDeleter>;

// EVP lengths are ints: large inputs are fed in pieces.
constexpr size_t kPiece = 1 << 20;

// Feeds `in` to `update` (an EVP update call on a context of the caller's)
// piece by piece through `buf`, which holds what one piece gives, and appends
// that to `out`. False as soon as `update` fails.
template <class Update>
bool FeedPieces(const std::string& in, std::string& buf, std::string& out, Update update) {
  const unsigned char* data = reinterpret_cast<const unsigned char*>(in.data());
  size_t left = in.size();
  while (left > 0) {
    const size_t n = std::min(left, kPiece);
    int written = 0;
    if (!update(reinterpret_cast<unsigned char*>(&buf[0]), &written, data, static_cast<int>(n))) {
      return false;
    }
    out.append(buf.data(), static_cast<size_t>(written));
    data += n;
    left -= n;
  }
  return true;
}

}  // namespace

int base64Encode(const std::string& in, std::string& out) {
  out.clear();
  EncodeCtx ctx(EVP_ENCODE_CTX_new());
  if (!ctx) return -1;
  EVP_EncodeInit(ctx.get());
  // Each 48 input bytes give a 64 character line plus '\n'; the context may
  // hold up to 47 bytes from an earlier piece.
  std::string buf((std::min(in.size(), kPiece) + 96) / 48 * 65 + 2, '\0');
  const bool fed = FeedPieces(
      in, buf, out, [&](unsigned char* to, int* written, const unsigned char* from, int n) {
        return EVP_EncodeUpdate(ctx.get(), to, written, from, n) == 1;
      });
  if (!fed) {
    out.clear();
    return -1;
  }
  int written = 0;
  EVP_EncodeFinal(ctx.get(), reinterpret_cast<unsigned char*>(&buf[0]), &written);
  out.append(buf.data(), static_cast<size_t>(written));
  return 0;
}

int base64Decode(const std::string& in, std::string& out) {
  out.clear();
  EncodeCtx ctx(EVP_ENCODE_CTX_new());
  if (!ctx) return -1;
  EVP_DecodeInit(ctx.get());
  std::string result;
  std::string buf(std::min(in.size(), kPiece) / 4 * 3 + 64, '\0');
  const bool fed = FeedPieces(
      in, buf, result, [&](unsigned char* to, int* written, const unsigned char* from, int n) {
        return EVP_DecodeUpdate(ctx.get(), to, written, from, n) >= 0;
      });
  if (!fed) return 1;
  int written = 0;
  if (EVP_DecodeFinal(ctx.get(), reinterpret_cast<unsigned char*>(&buf[0]), &written) < 0) {
    return 1;
  }
  result.append(buf.data(), static_cast<size_t>(written));
  out.swap(result);
  return 0;
}

namespace zu {

std::string Base64OneLine(const std::string& in) {
  std::string encoded;
  base64Encode(in, encoded);
  encoded.erase(std::remove(encoded.begin(), encoded.end(), '\n'), encoded.end());
  return encoded;
}

}  // namespace zu
