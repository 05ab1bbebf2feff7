// Blob service benchmark: ZUCloudAzureService::UploadFile of each file
// named on the command line, in order, after one init (API mode, the block
// size and stream count of the settings file, by default 16 MiB and 10).
// With several files the times printed are the sum over all of them (the
// many-small-files benchmark); it stops at the first file that fails.
//
// Settings come from the environment as for any host: ZUCLOUD_CONFIG (its
// "Cloud URL" names the web console), ZUCLOUD_LOG_DIR; the account from
// BENCH_USER / BENCH_PASSWORD, the deployment from BENCH_GUID and the remote
// folder from BENCH_FOLDER. Log-in and set-up (which yields the container
// URL and its SAS) run before the measurement starts; the completion report
// is not part of the benchmark.
#include <cstdio>
#include <string>

#include "ZUCloudAzureService.h"
#include "bench_common.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE...\n", argv[0]);
    return 2;
  }
  const std::string user = zubench::RequiredEnv("BENCH_USER");
  const std::string password = zubench::RequiredEnv("BENCH_PASSWORD");
  const std::string guid = zubench::RequiredEnv("BENCH_GUID");
  const std::string folder = zubench::RequiredEnv("BENCH_FOLDER");

  ZUCloudAzureService service;
  std::wstring message;
  if (service.init(user, password, "", guid, 1, 1, "bench-set", 1, 1, message, "") != 1) {
    std::fprintf(stderr, "blob benchmark: init failed: %s (see ZUCloudService.log)\n",
                 zubench::Narrow(message).c_str());
    return 1;
  }

  zubench::Measurement measurement;
  int result = 1;
  message.clear();
  measurement.start();
  for (int i = 1; i < argc && result == 1; ++i) {
    std::string dir;
    std::string name;
    zubench::SplitPath(argv[i], dir, name);
    result = service.UploadFile(dir, name, folder, message);
  }
  measurement.stop();

  measurement.print(result == 1, zubench::FileBytes(argc, argv), zubench::Narrow(message));
  return result == 1 ? 0 : 1;
}
