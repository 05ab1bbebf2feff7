// The local file of an upload as both services report it: one that cannot
// be opened, and one that changed while it was uploaded. Both services take
// a file's identity before its first byte is read and compare what they
// read, and the file's identity after the last read, with it. A file whose
// bytes differ from the ones it had at the start is never reported
// uploaded.
#ifndef ZUCLOUD_SESSION_FILE_CHANGE_H
#define ZUCLOUD_SESSION_FILE_CHANGE_H

#include <string>

#include "platform/host/SequentialFile.h"

namespace zu {

// What changed, as a phrase for the log and the caller ("size 10 bytes at
// the start, 12 bytes read"), or "" when `bytesRead` and `atEnd` agree with
// `atStart`.
std::string DescribeFileChange(const FileIdentity& atStart, unsigned long long bytesRead,
                               const FileIdentity& atEnd);

// The check every reader makes where the file should end: `bytesRead` bytes
// read, the size the file had at the start unless it changed. Reads one byte
// more (a file that grew has one) and takes the file's identity again;
// `change` is DescribeFileChange's phrase for them, "" when the file ended
// where expected and is still the file it was. A failed read or identity is
// returned as the error, with `change` left "".
CPzError ConfirmFileEnd(SequentialFile& file, const FileIdentity& atStart,
                        unsigned long long bytesRead, std::string& change);

// The caller's message for a file that cannot be opened: the path the
// service joined from `sourceDir` and the file name, and why (the error's
// errno in words). A missing file whose folder does not end in '/' says
// that the two are joined as given.
std::string CannotOpenMessage(const std::string& sourceDir, const std::string& path,
                              const CPzError& error);

// The caller's message for a file that changed during its upload.
std::string FileChangedMessage(const std::string& fileName, const std::string& change);

}  // namespace zu

#endif  // ZUCLOUD_SESSION_FILE_CHANGE_H
