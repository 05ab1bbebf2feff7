// What zucloud-upload prints for --help and --version.
#ifndef ZUCLOUD_TOOLS_HELP_TEXT_H
#define ZUCLOUD_TOOLS_HELP_TEXT_H

#include <string>

namespace zutool {

// --help: every option in one line, and an example for each service.
std::string HelpText();
// --version.
std::string VersionText();

}  // namespace zutool

#endif  // ZUCLOUD_TOOLS_HELP_TEXT_H
