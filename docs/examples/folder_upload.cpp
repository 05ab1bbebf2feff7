// Stores one file in the deployment's DR backup folder with ZUCloudService.
//   folder_upload USER GUID DIR/ FILE      (password in ZU_PASSWORD)
// The web console's URL is the "Cloud URL" setting of the settings file.
#include <ZUCloudService.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  const char* password = std::getenv("ZU_PASSWORD");
  if (argc != 5 || password == nullptr) {
    std::fprintf(stderr, "usage: ZU_PASSWORD=... folder_upload USER GUID DIR/ FILE\n");
    return 2;
  }
  ZUCloudService service;  // reads its settings (others at init and upload)
  std::string folderGUID, folderPath;
  if (service.init(argv[1], password, "zucloud", argv[2], folderGUID, folderPath, "", false) != 1) {
    std::fprintf(stderr, "set-up failed, see ZUCloudService.log\n");
    return 1;
  }
  std::string fileGUID;
  std::wstring message;
  if (service.UploadFile(argv[3], argv[4], folderPath, "", fileGUID, message) != 1) {
    std::fprintf(stderr, "upload failed: %ls\n", message.c_str());
    return 1;
  }
  std::printf("stored %s as %s\n", argv[4], fileGUID.c_str());
  return 0;
}
