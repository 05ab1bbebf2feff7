// The local files of a run: the paths of the command line, a directory
// standing for the regular files directly inside it.
#ifndef ZUCLOUD_TOOLS_LOCAL_FILES_H
#define ZUCLOUD_TOOLS_LOCAL_FILES_H

#include <string>

#include "command_line.h"

namespace zutool {

// The files named, a directory standing for the regular files in it; no
// two of them stored under one name.
bool CollectFiles(const CommandLine& line, std::string& error);

}  // namespace zutool

#endif  // ZUCLOUD_TOOLS_LOCAL_FILES_H
