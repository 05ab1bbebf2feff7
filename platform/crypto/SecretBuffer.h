// Memory for secrets: key bytes and the text they are read from. Each
// buffer is a mapping of its own, whole pages, that a core dump leaves out
// (MADV_DONTDUMP) and that is locked into memory when the process's
// RLIMIT_MEMLOCK allows it, so that the bytes are neither written to swap
// nor carried off the machine by a crash collector. The bytes are wiped
// (OPENSSL_cleanse) before the pages are given back.
//
// Nothing here is process-wide: only these pages are left out of a core;
// the rest of the process dumps as the host configured it.
//
// What these buffers do not cover: a live OpenSSL context (a cipher, key
// derivation or MAC in use) holds its own copy of its key in OpenSSL's heap
// until it is freed; OpenSSL wipes that copy when it frees the context.
#ifndef ZUCLOUD_PLATFORM_CRYPTO_SECRET_BUFFER_H
#define ZUCLOUD_PLATFORM_CRYPTO_SECRET_BUFFER_H

#include <cstddef>
#include <utility>

#include "platform/host/PageBuffer.h"

namespace zu {

class SecretBuffer {
 public:
  // No memory.
  SecretBuffer() = default;
  // `size` zeroed bytes (at least one page is mapped); throws
  // std::bad_alloc when the system has no memory for them or cannot leave
  // them out of a core dump.
  explicit SecretBuffer(size_t size);
  ~SecretBuffer();
  // A move hands the pages over; the source holds no memory afterwards.
  SecretBuffer(SecretBuffer&& other) noexcept
      : m_pages(std::move(other.m_pages)), m_locked(std::exchange(other.m_locked, false)) {}
  SecretBuffer& operator=(SecretBuffer&& other) noexcept;
  SecretBuffer(const SecretBuffer&) = delete;
  SecretBuffer& operator=(const SecretBuffer&) = delete;

  unsigned char* data() const { return reinterpret_cast<unsigned char*>(m_pages.data()); }
  char* chars() const { return m_pages.data(); }
  size_t size() const { return m_pages.size(); }
  // Whether the pages are locked in memory (false when RLIMIT_MEMLOCK did
  // not allow it; they are still left out of a core dump).
  bool locked() const { return m_locked; }
  // Sets every byte to zero; the memory stays.
  void Wipe();

 private:
  // Wipes and unlocks the pages; m_pages gives them back.
  void release();
  PageBuffer m_pages;
  bool m_locked = false;
};

}  // namespace zu

#endif  // ZUCLOUD_PLATFORM_CRYPTO_SECRET_BUFFER_H
