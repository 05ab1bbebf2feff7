// A host program built against the installed library with only its public
// headers: constructs both services and encodes a URL component.
#include <ZUCloudAzureService.h>
#include <ZUCloudService.h>
#include <ZuUploadProgress.h>
#include <ZuUrlEncode.h>

#include <cstdio>
#include <cstring>
#include <string>

int main() {
  ZUCloudService folder;
  ZUCloudAzureService blob;
  std::wstring message;
  std::string token;
  // Neither service is initialised: both refuse without touching the network.
  if (folder.DoLogin(message, token, true) != 0 || message.empty()) return 2;
  if (blob.isValidAccount(message) != 0) return 3;
  char out[64];
  if (urlEncode(out, "a b/c+d", 7) != 1 || std::strcmp(out, "a%20b/c%2Bd") != 0) return 4;
  zuSetUploadProgressCallback(nullptr, nullptr);
  std::puts("host ok");
  return 0;
}
