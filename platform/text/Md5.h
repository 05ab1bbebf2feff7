// MD5 digests in the Base64 form the storage service's Content-MD5 headers
// carry (OpenSSL underneath). MD5 here guards against bytes changed on the
// way or on disk, not against an attacker.
#ifndef ZUCLOUD_PLATFORM_MD5_H
#define ZUCLOUD_PLATFORM_MD5_H

#include <cstddef>
#include <memory>
#include <string>

struct evp_md_ctx_st;

namespace zu {

// The MD5 of `size` bytes at `data` in Base64 (24 characters); "" when
// OpenSSL cannot make it (an OpenSSL limited to FIPS algorithms refuses MD5).
std::string Md5Base64(const void* data, size_t size);

// An MD5 fed piece by piece, for data that never sits in memory whole. Used
// by one thread at a time; move-only (it owns OpenSSL's digest context); a
// moved-from object acts as one whose digest failed.
class Md5 {
 public:
  Md5();

  // Adds the next `size` bytes. False once OpenSSL failed; the digest is
  // then lost for good.
  bool Update(const void* data, size_t size);
  // The Base64 digest of every byte added ("" after a failure); the object
  // then starts a new digest.
  std::string FinishBase64();

 private:
  struct ContextFree {
    void operator()(evp_md_ctx_st* context) const;
  };
  // Starts a new digest, with a new context when the last one failed.
  void Restart();

  // Null once OpenSSL failed (or after a move): the digest is lost.
  std::unique_ptr<evp_md_ctx_st, ContextFree> m_context;
};

}  // namespace zu

#endif  // ZUCLOUD_PLATFORM_MD5_H
