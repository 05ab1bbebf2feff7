// The checks of a command line that name the service and its settings:
// the service, the settings file, and the options of the blob service only.
#ifndef ZUCLOUD_TOOLS_OPTION_CHECKS_H
#define ZUCLOUD_TOOLS_OPTION_CHECKS_H

#include <string>

#include "command_line.h"
#include "upload_options.h"

namespace zutool {

// The service and the settings file. The library reads the file itself;
// refuse here what would make it wait (a FIFO) or read nothing useful (a
// directory). The file decides where the password is sent and whether
// certificates are checked, so, as ssh does with its configuration, one that
// another user may change is refused too.
bool CheckServiceAndSettings(const UploadOptions& options, std::string& error);

// --md5, --verify, --tier and --encrypt-key belong to the blob service; the
// tier must be one the storage service knows.
bool CheckBlobSettings(CommandLine& line, std::string& error);

}  // namespace zutool

#endif  // ZUCLOUD_TOOLS_OPTION_CHECKS_H
