// Delivery of upload progress to the host's callback (see
// include/ZuUploadProgress.h).
#ifndef ZUCLOUD_SESSION_UPLOAD_PROGRESS_H
#define ZUCLOUD_SESSION_UPLOAD_PROGRESS_H

#include <string>

namespace zu {

// Calls the registered callback, if any.
void ReportUploadProgress(const std::string& fileName, unsigned long long bytesSent,
                          unsigned long long totalBytes);

}  // namespace zu

#endif  // ZUCLOUD_SESSION_UPLOAD_PROGRESS_H
