#include "stored_names.h"

#include <map>

namespace zutool {

std::string BlobFolder(const UploadOptions& options) {
  return options.remoteFolder.empty() ? "DRBackup" : options.remoteFolder;
}

std::string StoredName(const UploadOptions& options, const LocalFile& file) {
  if (options.service != "blob") return file.name;
  // "/f//g/" is the folder "f/g"; an empty folder puts the file at the top.
  std::string path;
  const std::string folder = BlobFolder(options) + "/";
  size_t start = 0;
  for (size_t end = folder.find('/'); end != std::string::npos;
       start = end + 1, end = folder.find('/', start)) {
    if (end > start) path += folder.substr(start, end - start) + "/";
  }
  return path + file.name;
}

bool CheckStoredNamesDiffer(const UploadOptions& options, std::string& error) {
  std::map<std::string, const LocalFile*> seen;
  for (const LocalFile& file : options.files) {
    const std::string name = StoredName(options, file);
    const auto found = seen.emplace(name, &file);
    if (found.second) continue;
    const LocalFile& first = *found.first->second;
    const std::string where =
        options.service == "blob"
            ? "the blob " + name
            : "the file " + name + " of " +
                  (options.remoteFolder.empty() ? std::string("the DR backup folder")
                                                : "the folder " + options.remoteFolder);
    error = first.directory + first.name + " and " + file.directory + file.name +
            " would be stored under one name, " + where +
            ", where the second would replace the first; give each file of a run a name of "
            "its own";
    return false;
  }
  return true;
}

}  // namespace zutool
