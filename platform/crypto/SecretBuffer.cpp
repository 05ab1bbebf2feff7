// Secret pages: an anonymous mapping, MADV_DONTDUMP, mlock where allowed.
#include "platform/crypto/SecretBuffer.h"

#include <openssl/crypto.h>
#include <sys/mman.h>

#include <new>

namespace zu {

SecretBuffer::SecretBuffer(size_t size) : m_pages(size) {
  // Pages that a core would hold are never handed out for a secret.
  if (::madvise(m_pages.data(), m_pages.mapped(), MADV_DONTDUMP) != 0) throw std::bad_alloc();
  m_locked = ::mlock(m_pages.data(), m_pages.mapped()) == 0;
}

SecretBuffer::~SecretBuffer() { release(); }

SecretBuffer& SecretBuffer::operator=(SecretBuffer&& other) noexcept {
  if (this != &other) {
    release();
    m_pages = std::move(other.m_pages);
    m_locked = std::exchange(other.m_locked, false);
  }
  return *this;
}

void SecretBuffer::Wipe() {
  if (data() != nullptr) OPENSSL_cleanse(data(), size());
}

void SecretBuffer::release() {
  if (data() != nullptr) {
    OPENSSL_cleanse(data(), m_pages.mapped());
    if (m_locked) ::munlock(data(), m_pages.mapped());
  }
  m_locked = false;
}

}  // namespace zu
