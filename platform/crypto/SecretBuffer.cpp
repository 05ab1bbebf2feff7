// Secret pages: an anonymous mapping, MADV_DONTDUMP, mlock where allowed.
#include "platform/crypto/SecretBuffer.h"

#include <openssl/crypto.h>
#include <sys/mman.h>
#include <unistd.h>

#include <new>

namespace zu {

SecretBuffer::SecretBuffer(size_t size) {
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  const size_t mapped = size == 0 ? page : ((size + page - 1) / page) * page;
  if (mapped < size) throw std::bad_alloc();
  void* p = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  // Pages that a core would hold are never handed out for a secret.
  if (::madvise(p, mapped, MADV_DONTDUMP) != 0) {
    ::munmap(p, mapped);
    throw std::bad_alloc();
  }
  m_data = static_cast<unsigned char*>(p);
  m_size = size;
  m_mapped = mapped;
  m_locked = ::mlock(p, mapped) == 0;
}

SecretBuffer::~SecretBuffer() { release(); }

SecretBuffer::SecretBuffer(SecretBuffer&& other) noexcept
    : m_data(other.m_data),
      m_size(other.m_size),
      m_mapped(other.m_mapped),
      m_locked(other.m_locked) {
  other.m_data = nullptr;
  other.m_size = other.m_mapped = 0;
  other.m_locked = false;
}

SecretBuffer& SecretBuffer::operator=(SecretBuffer&& other) noexcept {
  if (this != &other) {
    release();
    m_data = other.m_data;
    m_size = other.m_size;
    m_mapped = other.m_mapped;
    m_locked = other.m_locked;
    other.m_data = nullptr;
    other.m_size = other.m_mapped = 0;
    other.m_locked = false;
  }
  return *this;
}

void SecretBuffer::Wipe() {
  if (m_data != nullptr) OPENSSL_cleanse(m_data, m_size);
}

void SecretBuffer::release() {
  if (m_data != nullptr) {
    OPENSSL_cleanse(m_data, m_mapped);
    if (m_locked) ::munlock(m_data, m_mapped);
    ::munmap(m_data, m_mapped);
  }
  m_data = nullptr;
  m_size = m_mapped = 0;
  m_locked = false;
}

}  // namespace zu
