#include "local_files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "regular_file.h"
#include "stored_names.h"

namespace zutool {
namespace {

std::string FormatTime(time_t t) {
  char buf[32];
  struct tm tmv;
  gmtime_r(&t, &tmv);
  strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tmv);
  return buf;
}

// Why the entry `name` of a folder is not uploaded, "" when it is a
// regular file (`st` then its status).
std::string SkipReason(const std::string& path, struct stat& st) {
  if (stat(path.c_str(), &st) != 0) return std::string("cannot be read: ") + std::strerror(errno);
  if (S_ISREG(st.st_mode)) return std::string();
  if (S_ISDIR(st.st_mode)) {
    return "a directory (only the regular files directly inside a folder are uploaded)";
  }
  return std::string(FileKind(st.st_mode)) + ", not a regular file";
}

// The regular files directly inside the folder `path`; a warning names
// each entry left out, and the folder when it holds no file to upload.
bool AddFolder(const std::string& path, UploadOptions& options, std::string& error) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) {
    error = "cannot read directory " + path + ": " + std::strerror(errno);
    return false;
  }
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  std::string base = path.back() == '/' ? path : path + "/";
  size_t added = 0;
  for (const auto& name : names) {
    struct stat inner;
    const std::string why = SkipReason(base + name, inner);
    if (!why.empty()) {
      options.warnings.push_back("skipped " + base + name + ": " + why);
      continue;
    }
    options.files.push_back(
        {base, name, static_cast<unsigned long long>(inner.st_size), FormatTime(inner.st_mtime)});
    ++added;
  }
  if (added == 0) options.warnings.push_back("folder " + path + " holds no regular file to upload");
  return true;
}

bool AddFile(const std::string& path, UploadOptions& options, std::string& error) {
  std::vector<LocalFile>& files = options.files;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) return AddFolder(path, options, error);
  if (!S_ISREG(st.st_mode)) {
    error = path + " is not a regular file";
    return false;
  }
  if (access(path.c_str(), R_OK) != 0) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  size_t slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? "./" : path.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  files.push_back(
      {directory, name, static_cast<unsigned long long>(st.st_size), FormatTime(st.st_mtime)});
  return true;
}

}  // namespace

bool CollectFiles(const CommandLine& line, std::string& error) {
  if (line.paths.empty()) {
    error = "no files to upload";
    return false;
  }
  for (const auto& path : line.paths) {
    if (!AddFile(path, line.options, error)) return false;
  }
  if (line.options.files.empty()) {
    error = "no regular files found to upload in " + line.paths.front();
    for (size_t i = 1; i < line.paths.size(); ++i) error += ", " + line.paths[i];
    return false;
  }
  return CheckStoredNamesDiffer(line.options, error);
}

}  // namespace zutool
