// Stores one file as an Azure block blob with ZUCloudAzureService and
// reports the DR backup as complete.
//   blob_upload USER GUID DIR/ FILE        (password in ZU_PASSWORD)
// The web console's URL and the mode are settings of the settings file.
#include <ZUCloudAzureService.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  const char* password = std::getenv("ZU_PASSWORD");
  if (argc != 5 || password == nullptr) {
    std::fprintf(stderr, "usage: ZU_PASSWORD=... blob_upload USER GUID DIR/ FILE\n");
    return 2;
  }
  const unsigned int jobId = 7;
  const int backupLevel = 0;     // full
  ZUCloudAzureService service;   // reads its settings (others at init, upload)
  service.AddFileInfo(argv[4]);  // needed in Azure Functions mode only
  std::wstring message;
  if (service.init(argv[1], password, "zucloud", argv[2], /*vestrumId=*/1, jobId,
                   /*setId=*/"set-1", backupLevel, /*fullJobId=*/jobId, message, "") != 1) {
    std::fprintf(stderr, "set-up failed: %ls\n", message.c_str());
    return 1;
  }
  if (service.UploadFile(argv[3], argv[4], "DRBackup", message) != 1) {
    std::fprintf(stderr, "upload failed: %ls\n", message.c_str());
    return 1;
  }
  if (service.ExecuteDRCompleteWorkflow(jobId, backupLevel, message) != 1) {
    std::fprintf(stderr, "completion failed: %ls\n", message.c_str());
    return 1;
  }
  std::printf("stored %s and reported the backup\n", argv[4]);
  return 0;
}
