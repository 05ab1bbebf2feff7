/// @file ZuUploadProgress.h
/// @brief Optional upload progress reports.
///
/// A host registers one process-wide callback; both services then report,
/// from the thread that sent the bytes, how many bytes of a file the cloud
/// has confirmed so far. A host that registers nothing pays nothing.
/// The callback may be registered at any time, before or between uploads.
#ifndef ZUCLOUD_ZU_UPLOAD_PROGRESS_H
#define ZUCLOUD_ZU_UPLOAD_PROGRESS_H

#include "ZuCloudExport.h"

extern "C" {

/// @brief A host's progress callback.
///
/// `fileName` is the name given to UploadFile; `bytesSent` grows to
/// `totalBytes` during one upload (a retried piece is not counted twice).
/// The first report of an upload is where it starts: 0, or for a blob
/// upload that resumes, the bytes the service already held. It is called
/// from the library's threads (the blob service's uploaders, possibly
/// several at once) and must not call zuSetUploadProgressCallback(), which
/// waits for running calls to end.
/// @param context the pointer given to zuSetUploadProgressCallback().
/// @param fileName the file's name as given to UploadFile.
/// @param bytesSent bytes of the file the cloud has confirmed so far.
/// @param totalBytes the file's size.
typedef void (*ZuUploadProgressCallback)(void* context, const char* fileName,
                                         unsigned long long bytesSent,
                                         unsigned long long totalBytes);

/// @brief Registers `callback` for every service object of the process.
///
/// Returns once no call of the previous callback is running, so after
/// unregistering no call follows. Sends nothing.
/// @param callback the new callback; null unregisters.
/// @param context handed to every call of `callback`.
ZUCLOUD_EXPORT void zuSetUploadProgressCallback(ZuUploadProgressCallback callback, void* context);
}

#endif  // ZUCLOUD_ZU_UPLOAD_PROGRESS_H
