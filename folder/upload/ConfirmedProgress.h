// Progress of one file: each offset the cloud confirmed beyond the highest
// reported, so that a restarted upload reports no byte twice.
#ifndef ZUCLOUD_FOLDER_UPLOAD_CONFIRMED_PROGRESS_H
#define ZUCLOUD_FOLDER_UPLOAD_CONFIRMED_PROGRESS_H

#include <string>

#include "session/UploadProgress.h"

namespace zu::folder {

class ConfirmedProgress {
 public:
  // Reports 0 of `size` bytes.
  ConfirmedProgress(const std::string& fileName, unsigned long long size)
      : m_fileName(fileName), m_size(size) {
    ReportUploadProgress(fileName, 0, size);
  }
  void Confirmed(long long offset) {
    const unsigned long long at = static_cast<unsigned long long>(offset);
    if (at <= m_reported) return;
    m_reported = at;
    ReportUploadProgress(m_fileName, at, m_size);
  }

 private:
  const std::string& m_fileName;
  unsigned long long m_size;
  unsigned long long m_reported = 0;
};

}  // namespace zu::folder

#endif  // ZUCLOUD_FOLDER_UPLOAD_CONFIRMED_PROGRESS_H
