// Helpers shared by the operations of the folder upload service.
#ifndef ZUCLOUD_FOLDER_FOLDER_INTERNAL_H
#define ZUCLOUD_FOLDER_FOLDER_INTERNAL_H

namespace zu::folder {

// The message every cloud operation gives while the service is not
// initialised.
inline constexpr const wchar_t* kNotInitialized =
    L"Error: ZUCloudService not initialized, no user/password provided, call "
    L"ZUCloudService::init() first";

// Wait after a failed web-console or chunk attempt.
inline constexpr unsigned int kRetryWaitMs = 120000;

}  // namespace zu::folder

#endif  // ZUCLOUD_FOLDER_FOLDER_INTERNAL_H
