// AES-256-GCM on OpenSSL's EVP interface, in place (GCM allows the output
// to be the input).
#include "platform/crypto/RegionSeal.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>

#include "platform/crypto/RegionLayout.h"

namespace zu {
namespace {

struct CipherCtxDeleter {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

// Runs GCM over the `length` bytes at `middle` in place with the nonce at
// `nonce`; sealing writes the tag to `tag`, opening checks it.
bool RunGcm(bool seal, const ContentKey& key, const unsigned char* nonce, unsigned char* middle,
            size_t length, unsigned char* tag) {
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return false;
  const int enc = seal ? 1 : 0;
  if (EVP_CipherInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr, enc) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kRegionNonceBytes, nullptr) != 1 ||
      EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce, enc) != 1) {
    return false;
  }
  int written = 0;
  if (EVP_CipherUpdate(ctx.get(), middle, &written, middle, static_cast<int>(length)) != 1 ||
      static_cast<size_t>(written) != length) {
    return false;
  }
  if (!seal && EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kRegionTagBytes, tag) != 1) {
    return false;
  }
  int last = 0;
  if (EVP_CipherFinal_ex(ctx.get(), middle + length, &last) != 1 || last != 0) return false;
  return !seal || EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kRegionTagBytes, tag) == 1;
}

}  // namespace

bool SealRegion(const ContentKey& key, unsigned char* region, size_t plainLength) {
  if (plainLength == 0 || plainLength > kRegionPlainBytes) return false;
  unsigned char* middle = region + kRegionNonceBytes;
  const bool ok = RAND_bytes(region, kRegionNonceBytes) == 1 &&
                  RunGcm(true, key, region, middle, plainLength, middle + plainLength);
  if (!ok) OPENSSL_cleanse(region, StoredLength(plainLength));
  return ok;
}

bool SealBlock(const ContentKey& key, unsigned char* slot, size_t plainLength) {
  for (size_t region = 0; region < RegionCount(plainLength); ++region) {
    const size_t done = region * kRegionPlainBytes;
    const size_t length =
        plainLength - done < kRegionPlainBytes ? plainLength - done : kRegionPlainBytes;
    if (!SealRegion(key, slot + region * kRegionStoredBytes, length)) {
      OPENSSL_cleanse(slot, StoredLength(plainLength));
      return false;
    }
  }
  return true;
}

bool OpenRegion(const ContentKey& key, unsigned char* region, size_t storedLength) {
  if (storedLength <= kRegionOverheadBytes || storedLength > kRegionStoredBytes) return false;
  const size_t length = storedLength - kRegionOverheadBytes;
  unsigned char* middle = region + kRegionNonceBytes;
  if (RunGcm(false, key, region, middle, length, middle + length)) return true;
  OPENSSL_cleanse(region, storedLength);
  return false;
}

}  // namespace zu
