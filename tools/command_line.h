// The command line of zucloud-upload, shared by the parser and the checks
// that run once every argument has been read.
#ifndef ZUCLOUD_TOOLS_COMMAND_LINE_H
#define ZUCLOUD_TOOLS_COMMAND_LINE_H

#include <string>
#include <vector>

#include "upload_options.h"

namespace zutool {

// The command line as it is read: the options, and what is checked once
// every argument has been seen.
struct CommandLine {
  UploadOptions& options;
  std::string passwordEnv;
  std::string passwordFile;
  std::vector<std::string> paths;
  std::string tier;  // as typed
  std::string proxyPasswordEnv;
  std::string proxyPasswordFile;
};

}  // namespace zutool

#endif  // ZUCLOUD_TOOLS_COMMAND_LINE_H
