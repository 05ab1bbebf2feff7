// AES key wrap on OpenSSL's EVP_aes_256_wrap.
#include "platform/crypto/KeyWrap.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>

#include "platform/crypto/SecretBuffer.h"
#include "platform/text/Base64.h"

namespace zu {
namespace {

struct CipherCtxDeleter {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

constexpr size_t kSemiblock = 8;
constexpr size_t kMaxWrapInput = 4096;
// The version prefix of a wrapped content key: "2.0" and five zero bytes.
constexpr unsigned char kVersionPrefix[kSemiblock] = {'2', '.', '0', 0, 0, 0, 0, 0};
constexpr size_t kPrefixedKeySize = kSemiblock + SecretKey32::kSize;
constexpr size_t kWrappedKeySize = kPrefixedKeySize + kSemiblock;

// One pass of the wrap cipher over `length` bytes; `outLength` the bytes
// it must give. False on any failure.
bool RunWrapCipher(bool wrap, const unsigned char* kek, const unsigned char* in, size_t length,
                   unsigned char* out, size_t outLength) {
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return false;
  EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
  if (EVP_CipherInit_ex(ctx.get(), EVP_aes_256_wrap(), nullptr, kek, nullptr, wrap ? 1 : 0) != 1) {
    return false;
  }
  int written = 0;
  if (EVP_CipherUpdate(ctx.get(), out, &written, in, static_cast<int>(length)) != 1) return false;
  int last = 0;
  if (EVP_CipherFinal_ex(ctx.get(), out + written, &last) != 1) return false;
  return static_cast<size_t>(written) + static_cast<size_t>(last) == outLength;
}

}  // namespace

bool AesKeyWrap256(const unsigned char* kek, const unsigned char* data, size_t length,
                   unsigned char* out) {
  if (length % kSemiblock != 0 || length < 2 * kSemiblock || length > kMaxWrapInput) return false;
  return RunWrapCipher(true, kek, data, length, out, length + kSemiblock);
}

bool AesKeyUnwrap256(const unsigned char* kek, const unsigned char* wrapped, size_t length,
                     unsigned char* out) {
  if (length % kSemiblock != 0 || length < 3 * kSemiblock || length > kMaxWrapInput + kSemiblock) {
    return false;
  }
  if (RunWrapCipher(false, kek, wrapped, length, out, length - kSemiblock)) return true;
  OPENSSL_cleanse(out, length - kSemiblock);
  return false;
}

std::string WrapContentKey(const KeyEncryptionKey& kek, const ContentKey& contentKey) {
  SecretBuffer prefixed(kPrefixedKeySize);  // holds the content key
  std::memcpy(prefixed.data(), kVersionPrefix, kSemiblock);
  std::memcpy(prefixed.data() + kSemiblock, contentKey.data(), SecretKey32::kSize);
  unsigned char wrapped[kWrappedKeySize];
  if (!AesKeyWrap256(kek.key.data(), prefixed.data(), kPrefixedKeySize, wrapped)) {
    return std::string();
  }
  return Base64OneLine(std::string(reinterpret_cast<const char*>(wrapped), kWrappedKeySize));
}

bool UnwrapContentKey(const KeyEncryptionKey& kek, const std::string& wrapped,
                      ContentKey& contentKey) {
  contentKey.Wipe();
  std::string bytes;
  if (base64Decode(wrapped, bytes) != 0 || bytes.size() != kWrappedKeySize) return false;
  SecretBuffer prefixed(kPrefixedKeySize);  // will hold the content key
  bool ok = AesKeyUnwrap256(kek.key.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                            kWrappedKeySize, prefixed.data());
  ok = ok && CRYPTO_memcmp(prefixed.data(), kVersionPrefix, kSemiblock) == 0;
  if (ok) std::memcpy(contentKey.data(), prefixed.data() + kSemiblock, SecretKey32::kSize);
  return ok;
}

}  // namespace zu
