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

Md5::Md5() : m_context(EVP_MD_CTX_new()) {
  m_ok = m_context != nullptr && EVP_DigestInit_ex(m_context, EVP_md5(), nullptr) == 1;
}

Md5::~Md5() { EVP_MD_CTX_free(m_context); }

Md5::Md5(Md5&& other) noexcept : m_context(other.m_context), m_ok(other.m_ok) {
  other.m_context = nullptr;
  other.m_ok = false;
}

Md5& Md5::operator=(Md5&& other) noexcept {
  if (this != &other) {
    EVP_MD_CTX_free(m_context);
    m_context = other.m_context;
    m_ok = other.m_ok;
    other.m_context = nullptr;
    other.m_ok = false;
  }
  return *this;
}

bool Md5::Update(const void* data, size_t size) {
  if (m_ok && size > 0) m_ok = EVP_DigestUpdate(m_context, data, size) == 1;
  return m_ok;
}

std::string Md5::FinishBase64() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  std::string text;
  if (m_ok && EVP_DigestFinal_ex(m_context, digest, &length) == 1) {
    text = DigestBase64(digest, length);
  }
  m_ok = m_context != nullptr && EVP_DigestInit_ex(m_context, EVP_md5(), nullptr) == 1;
  return text;
}

}  // namespace zu
