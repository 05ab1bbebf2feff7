#include "session/FileChange.h"

#include <cerrno>
#include <string>

#include "platform/host/FXFile.h"

namespace zu {

std::string DescribeFileChange(const FileIdentity& atStart, unsigned long long bytesRead,
                               const FileIdentity& atEnd) {
  if (bytesRead != atStart.size) {
    return "size " + std::to_string(atStart.size) + " bytes at the start, " +
           std::to_string(bytesRead) + (bytesRead > atStart.size ? " or more" : "") + " bytes read";
  }
  if (!atEnd.SameContentAs(atStart)) {
    if (atEnd.size != atStart.size) {
      return "size " + std::to_string(atStart.size) + " bytes at the start, " +
             std::to_string(atEnd.size) + " bytes at the end";
    }
    return "it was modified while it was read";
  }
  return std::string();
}

CPzError ConfirmFileEnd(SequentialFile& file, const FileIdentity& atStart,
                        unsigned long long bytesRead, std::string& change) {
  change.clear();
  char probe = 0;
  unsigned long long extra = 0;
  CPzError error = file.Read(&probe, 1, extra);
  FileIdentity now;
  if (!error.IsError()) error = file.Identity(now);
  if (!error.IsError()) change = DescribeFileChange(atStart, bytesRead + extra, now);
  return error;
}

std::string CannotOpenMessage(const std::string& sourceDir, const std::string& path,
                              const CPzError& error) {
  const std::string reason = error.Code() != 0 ? ErrnoText(error.Code()) : error.Message();
  std::string text = "Error: Cannot open file [" + path + "] to upload it: " + reason + ".";
  if (error.Code() == ENOENT && !sourceDir.empty() && sourceDir.back() != '/') {
    text += " The folder [" + sourceDir +
            "] and the file name are joined as given: end the folder with '/'.";
  }
  return text;
}

std::string FileChangedMessage(const std::string& fileName, const std::string& change) {
  return "Error: File [" + fileName + "] changed during the upload (" + change +
         "); it was not uploaded. Upload it again once nothing writes to it.";
}

}  // namespace zu
