// Large I/O buffers straight from the system: zeroed, page-aligned memory
// (anonymous mappings) that costs nothing until it is touched. Reading a
// file into a page-aligned buffer is several times cheaper for the kernel
// than into a heap block, whose start lies a few bytes past a page
// boundary.
#ifndef ZUCLOUD_PLATFORM_PAGE_BUFFER_H
#define ZUCLOUD_PLATFORM_PAGE_BUFFER_H

#include <cstddef>

namespace zu {

class PageBuffer {
 public:
  PageBuffer() = default;
  // `size` zeroed bytes (at least one page); throws std::bad_alloc when the
  // system has no memory for them.
  explicit PageBuffer(size_t size);
  ~PageBuffer();
  PageBuffer(PageBuffer&& other) noexcept;
  PageBuffer& operator=(PageBuffer&& other) noexcept;
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;

  char* data() const { return m_data; }
  size_t size() const { return m_size; }
  // The bytes mapped: `size` rounded up to whole pages (0 with no memory).
  size_t mapped() const { return m_mapped; }

 private:
  void release();
  char* m_data = nullptr;
  size_t m_size = 0;
  size_t m_mapped = 0;
};

}  // namespace zu

#endif  // ZUCLOUD_PLATFORM_PAGE_BUFFER_H
