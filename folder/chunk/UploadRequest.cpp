#include "folder/chunk/UploadRequest.h"

namespace zu::folder {

std::string UploadBase(const std::string& sharePath) {
  return sharePath + "/file/action/upload?uploadType=chunkedFile";
}

ZuCURL::commandInfoList UploadHeaders(const std::string& sessionToken,
                                      const std::string& base64FileName,
                                      const std::string& fileSize, const std::string& modifiedTime,
                                      const std::string& base64ParentPath) {
  return {{"Accept", "application/xml"},
          {"Authtoken", sessionToken},
          {"FileName", base64FileName},
          {"FileSize", fileSize},
          {"FileModifiedtime", modifiedTime},
          {"ParentFolderPath", base64ParentPath},
          {"Content-Type", "application/octet-stream"}};
}

}  // namespace zu::folder
