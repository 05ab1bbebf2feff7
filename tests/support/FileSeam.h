// Local files as the upload engines see them, with read errors on demand
// (through the library's environment).
#ifndef ZUCLOUD_TESTS_SUPPORT_FILE_SEAM_H
#define ZUCLOUD_TESTS_SUPPORT_FILE_SEAM_H

#include <atomic>

#include "support/EnvChange.h"

namespace zutest {

// For its lifetime every file an engine opens is the real file, except that
// a read reaching past the first `failFrom` bytes fails with EIO. Reads
// that fail are counted.
class ScopedReadFailure {
 public:
  explicit ScopedReadFailure(unsigned long long failFrom);
  ScopedReadFailure(const ScopedReadFailure&) = delete;
  ScopedReadFailure& operator=(const ScopedReadFailure&) = delete;

  int failedReads() const { return m_failedReads.load(); }

 private:
  std::atomic<int> m_failedReads{0};
  ScopedEnvChange m_change;  // after the counter it reports to
};

}  // namespace zutest

#endif  // ZUCLOUD_TESTS_SUPPORT_FILE_SEAM_H
