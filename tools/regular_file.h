// The files zucloud-upload or the library reads whole (the settings file,
// the password files) are regular files; anything else is refused by kind.
#ifndef ZUCLOUD_TOOLS_REGULAR_FILE_H
#define ZUCLOUD_TOOLS_REGULAR_FILE_H

#include <sys/stat.h>

#include <string>

namespace zutool {

// What a file of `mode` is, for a message: "a directory", "a FIFO",
// "a socket", "a device" or "not a regular file", as the library words it
// (platform/host/ZuSettings.cpp; the tool reaches only the library's public
// interface, so it cannot call it).
const char* FileKind(mode_t mode);

// Opens a file the tool or the library reads whole, refusing anything but a
// regular file. O_NONBLOCK keeps open() from waiting for a writer on a FIFO;
// the type is taken from the opened descriptor, so it is the file read.
// Returns the descriptor, or -1 with `error` set.
int OpenRegularFile(const std::string& path, const std::string& what, struct stat& st,
                    std::string& error);

}  // namespace zutool

#endif  // ZUCLOUD_TOOLS_REGULAR_FILE_H
