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
  const zubench::Account account = zubench::AccountForFiles(argc, argv);
  const std::string folder = zubench::RequiredEnv("BENCH_FOLDER");

  ZUCloudAzureService service;
  std::wstring message;
  if (service.init(account.user, account.password, "", account.guid, 1, 1, "bench-set", 1, 1,
                   message, "") != 1) {
    std::fprintf(stderr, "blob benchmark: init failed: %s (see ZUCloudService.log)\n",
                 zubench::Narrow(message).c_str());
    return 1;
  }

  return zubench::MeasureUploads(
      argc, argv, [&](const std::string& dir, const std::string& name, std::wstring& msg) {
        return service.UploadFile(dir, name, folder, msg);
      });
}
