// Folder service benchmark: one ZUCloudService::UploadFile of the file named
// on the command line into the deployment's DR backup folder.
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
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  const std::string user = zubench::RequiredEnv("BENCH_USER");
  const std::string password = zubench::RequiredEnv("BENCH_PASSWORD");
  const std::string guid = zubench::RequiredEnv("BENCH_GUID");
  const std::string mtime = zubench::RequiredEnv("BENCH_MTIME");
  std::string dir;
  std::string name;
  zubench::SplitPath(argv[1], dir, name);

  ZUCloudService service;
  std::string folderGUID;
  std::string folderPath;
  if (service.init(user, password, "", guid, folderGUID, folderPath, "", false) != 1) {
    std::fprintf(stderr, "folder benchmark: init failed (see ZUCloudService.log)\n");
    return 1;
  }
  std::printf("PARENT %s\n", folderPath.c_str());

  zubench::Measurement measurement;
  std::string fileGUID;
  std::wstring message;
  measurement.start();
  const int result = service.UploadFile(dir, name, folderPath, mtime, fileGUID, message);
  measurement.stop();

  unsigned long long bytes = 0;
  if (FILE* f = std::fopen(argv[1], "rb")) {
    std::fseek(f, 0, SEEK_END);
    bytes = static_cast<unsigned long long>(std::ftell(f));
    std::fclose(f);
  }
  measurement.print(result == 1, bytes, zubench::Narrow(message));
  return result == 1 ? 0 : 1;
}
