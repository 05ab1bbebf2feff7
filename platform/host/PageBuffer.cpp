#include "platform/host/PageBuffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <new>

namespace zu {

PageBuffer::PageBuffer(size_t size) {
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  const size_t mapped = size == 0 ? page : ((size + page - 1) / page) * page;
  if (mapped < size) throw std::bad_alloc();
  void* p = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  m_data = static_cast<char*>(p);
  m_size = size;
  m_mapped = mapped;
}

PageBuffer::~PageBuffer() { release(); }

PageBuffer::PageBuffer(PageBuffer&& other) noexcept
    : m_data(other.m_data), m_size(other.m_size), m_mapped(other.m_mapped) {
  other.m_data = nullptr;
  other.m_size = other.m_mapped = 0;
}

PageBuffer& PageBuffer::operator=(PageBuffer&& other) noexcept {
  if (this != &other) {
    release();
    m_data = other.m_data;
    m_size = other.m_size;
    m_mapped = other.m_mapped;
    other.m_data = nullptr;
    other.m_size = other.m_mapped = 0;
  }
  return *this;
}

void PageBuffer::release() {
  if (m_data != nullptr) ::munmap(m_data, m_mapped);
  m_data = nullptr;
  m_size = m_mapped = 0;
}

}  // namespace zu
