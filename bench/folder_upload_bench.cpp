// Folder service benchmark: ZUCloudService::UploadFile of each file named on
// the command line, in order, into the deployment's DR backup folder, after
// one init. With several files the times printed are the sum over all of
// them (small files across a WAN-like link); it stops at the first file
// that fails.
//
// Settings come from the environment as for any host: ZUCLOUD_CONFIG (its
// "Cloud URL" names the web console), ZUCLOUD_LOG_DIR; the account from
// BENCH_USER / BENCH_PASSWORD, the deployment from BENCH_GUID and the
// modification-time string from BENCH_MTIME. Log-in and folder set-up run
// before the measurement starts.
#include <cstdio>
#include <string>

#include "ZUCloudService.h"
#include "bench_common.h"

int main(int argc, char** argv) {
  const zubench::Account account = zubench::AccountForFiles(argc, argv);
  const std::string mtime = zubench::RequiredEnv("BENCH_MTIME");

  ZUCloudService service;
  std::string folderGUID;
  std::string folderPath;
  if (service.init(account.user, account.password, "", account.guid, folderGUID, folderPath, "",
                   false) != 1) {
    std::fprintf(stderr, "folder benchmark: init failed (see ZUCloudService.log)\n");
    return 1;
  }
  std::printf("PARENT %s\n", folderPath.c_str());

  return zubench::MeasureUploads(
      argc, argv, [&](const std::string& dir, const std::string& name, std::wstring& message) {
        std::string fileGUID;
        return service.UploadFile(dir, name, folderPath, mtime, fileGUID, message);
      });
}
