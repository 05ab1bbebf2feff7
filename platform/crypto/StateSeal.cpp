// HKDF and HMAC through OpenSSL 3's EVP_KDF and EVP_MAC (StateSeal.h).
#include "platform/crypto/StateSeal.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <memory>

#include "platform/text/Base64.h"

namespace zu {
namespace {

// The HKDF "info" of the MAC key: a key derived for another use of the same
// key-encryption key never equals this one.
constexpr char kSealLabel[] = "zucloud state seal: HMAC-SHA-256 key, version 1";
char kSha256[] = "SHA256";

struct KdfDeleter {
  void operator()(EVP_KDF* kdf) const { EVP_KDF_free(kdf); }
  void operator()(EVP_KDF_CTX* ctx) const { EVP_KDF_CTX_free(ctx); }
  void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
  void operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }
};

// The MAC key: HKDF-SHA-256 of the key-encryption key (no salt) with the
// label.
bool DeriveSealKey(const KeyEncryptionKey& kek, SecretKey32& key) {
  std::unique_ptr<EVP_KDF, KdfDeleter> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
  if (!kdf) return false;
  std::unique_ptr<EVP_KDF_CTX, KdfDeleter> ctx(EVP_KDF_CTX_new(kdf.get()));
  if (!ctx) return false;
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, kSha256, 0),
      OSSL_PARAM_construct_octet_string(
          OSSL_KDF_PARAM_KEY, const_cast<unsigned char*>(kek.key.data()), SecretKey32::kSize),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>(kSealLabel),
                                        sizeof kSealLabel - 1),
      OSSL_PARAM_construct_end()};
  if (EVP_KDF_derive(ctx.get(), key.data(), SecretKey32::kSize, params) == 1) return true;
  key.Wipe();
  return false;
}

// The raw HMAC-SHA-256 of `text` under the derived key into `out`.
bool Seal(const KeyEncryptionKey& kek, const std::string& text,
          unsigned char (&out)[kStateSealBytes]) {
  SecretKey32 key;  // wiped when it goes out of scope
  if (!DeriveSealKey(kek, key)) return false;
  std::unique_ptr<EVP_MAC, KdfDeleter> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
  if (!mac) return false;
  std::unique_ptr<EVP_MAC_CTX, KdfDeleter> ctx(EVP_MAC_CTX_new(mac.get()));
  if (!ctx) return false;
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, kSha256, 0),
                               OSSL_PARAM_construct_end()};
  size_t length = 0;
  const bool ok = EVP_MAC_init(ctx.get(), key.data(), SecretKey32::kSize, params) == 1 &&
                  EVP_MAC_update(ctx.get(), reinterpret_cast<const unsigned char*>(text.data()),
                                 text.size()) == 1 &&
                  EVP_MAC_final(ctx.get(), out, &length, kStateSealBytes) == 1 &&
                  length == kStateSealBytes;
  if (!ok) OPENSSL_cleanse(out, kStateSealBytes);
  return ok;
}

}  // namespace

std::string SealStateText(const KeyEncryptionKey& kek, const std::string& text) {
  unsigned char seal[kStateSealBytes];
  if (!Seal(kek, text, seal)) return std::string();
  return Base64OneLine(std::string(reinterpret_cast<const char*>(seal), kStateSealBytes));
}

bool StateTextSealed(const KeyEncryptionKey& kek, const std::string& text,
                     const std::string& seal) {
  std::string given;
  if (base64Decode(seal, given) != 0 || given.size() != kStateSealBytes) return false;
  unsigned char expected[kStateSealBytes];
  if (!Seal(kek, text, expected)) return false;
  return CRYPTO_memcmp(expected, given.data(), kStateSealBytes) == 0;
}

}  // namespace zu
