// Helpers shared by the operations of the folder upload service.
#ifndef ZUCLOUD_FOLDER_FOLDER_INTERNAL_H
#define ZUCLOUD_FOLDER_FOLDER_INTERNAL_H

#include <string>

#include "platform/text/PercentEncode.h"
#include "session/RetryPolicy.h"  // kRetryWaitMs, the wait after a failed attempt

namespace zu::folder {

// The message every cloud operation gives while the service is not
// initialised.
inline constexpr const wchar_t* kNotInitialized =
    L"Error: ZUCloudService not initialized, no user/password provided, call "
    L"ZUCloudService::init() first";

// `base` + "/api/drive/share/" + the share ID as one encoded path segment.
// The set-up refuses share IDs that could leave their segment ('/', '?',
// '#', "..", ...); the encoding keeps any other byte inside it too.
inline std::string SharePath(const std::string& base, const std::string& shareID) {
  return base + "/api/drive/share/" + zu::PercentEncode(shareID, "-_.~");
}

}  // namespace zu::folder

#endif  // ZUCLOUD_FOLDER_FOLDER_INTERNAL_H
