// One file of a DR backup, shared by the file list and an upload in
// progress.
#ifndef ZUCLOUD_BLOB_FILE_INFO_H
#define ZUCLOUD_BLOB_FILE_INFO_H

#include <string>

struct FileInfo {
  std::string fileName;  // name without directory; key of the file index
  std::string url;       // storage URL + "/" + remote folder + "/" + name
  std::string sasToken;  // the file's own token (Azure Functions mode)
  unsigned long long fileSize = 0;
  bool uploaded = false;  // its block list was committed
};

#endif  // ZUCLOUD_BLOB_FILE_INFO_H
