// Optional upload progress reports.
//
// A host registers one process-wide callback; both services then report,
// from the thread that sent the bytes, how many bytes of a file the cloud
// has confirmed so far. A host that registers nothing pays nothing.
#ifndef ZUCLOUD_ZU_UPLOAD_PROGRESS_H
#define ZUCLOUD_ZU_UPLOAD_PROGRESS_H

#include "ZuCloudExport.h"

extern "C" {

// `fileName` is the name given to UploadFile; `bytesSent` grows to
// `totalBytes` during one upload (a retried piece is not counted twice).
// The first report of an upload is where it starts: 0, or for a blob
// upload that resumes, the bytes the service already held.
typedef void (*ZuUploadProgressCallback)(void* context, const char* fileName,
                                         unsigned long long bytesSent,
                                         unsigned long long totalBytes);

// Registers `callback` (null unregisters). Returns once no call of the
// previous callback is running, so after unregistering no call follows.
ZUCLOUD_EXPORT void zuSetUploadProgressCallback(ZuUploadProgressCallback callback,
                                                void* context);
}

#endif  // ZUCLOUD_ZU_UPLOAD_PROGRESS_H
