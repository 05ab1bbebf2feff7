#include "platform/text/Md5.h"

#include <openssl/evp.h>

#include "platform/text/Base64.h"

namespace zu {
namespace {

std::string DigestBase64(const unsigned char* digest, unsigned int length) {
  return Base64OneLine(std::string(reinterpret_cast<const char*>(digest), length));
}

}  // namespace

std::string Md5Base64(const void* data, size_t size) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data, size, digest, &length, EVP_md5(), nullptr) != 1) return std::string();
  return DigestBase64(digest, length);
}

void Md5::ContextFree::operator()(evp_md_ctx_st* context) const { EVP_MD_CTX_free(context); }

Md5::Md5() { Restart(); }

void Md5::Restart() {
  if (!m_context) m_context.reset(EVP_MD_CTX_new());
  if (m_context && EVP_DigestInit_ex(m_context.get(), EVP_md5(), nullptr) != 1) m_context.reset();
}

bool Md5::Update(const void* data, size_t size) {
  if (m_context && size > 0 && EVP_DigestUpdate(m_context.get(), data, size) != 1) {
    m_context.reset();
  }
  return m_context != nullptr;
}

std::string Md5::FinishBase64() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  std::string text;
  if (m_context && EVP_DigestFinal_ex(m_context.get(), digest, &length) == 1) {
    text = DigestBase64(digest, length);
  }
  Restart();
  return text;
}

}  // namespace zu
