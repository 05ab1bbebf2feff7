#include "blob/storage/BlobPath.h"

#include "platform/text/PercentEncode.h"

namespace zu::blob {
namespace {

constexpr const char* kUnreserved = "-_.~";
// The most characters the storage service allows in a blob name.
constexpr size_t kMaxBlobNameCharacters = 1024;

// Characters (UTF-8 sequences) of `text`: every byte but continuation bytes.
size_t CharacterCount(const std::string& text) {
  size_t count = 0;
  for (const unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++count;
  }
  return count;
}

// Appends "/" + each encoded segment of `name`; false with `problem` set
// when a segment cannot be stored. Empty segments of the remote folder (an
// empty folder, a "/" at either end or twice) add nothing, so the path never
// holds "//"; in the file name they are refused.
bool AppendSegments(const std::string& name, const char* what, bool skipEmpty, std::string& path,
                    std::string& problem) {
  size_t start = 0;
  while (true) {
    const size_t end = name.find('/', start);
    const std::string segment =
        name.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (segment == "." || segment == "..") {
      problem = std::string("the ") + what + " holds a \".\" or \"..\" segment";
      return false;
    }
    if (segment.empty() && !skipEmpty) {
      problem = std::string("the ") + what + " holds an empty segment (\"//\" or \"/\" at an end)";
      return false;
    }
    // The service drops a trailing dot: "dot." would become the blob "dot".
    if (!segment.empty() && segment.back() == '.') {
      problem = std::string("the ") + what + " holds a segment that ends in a \".\"";
      return false;
    }
    if (!segment.empty()) path.push_back('/');
    for (unsigned char c : segment) {
      if (c < 0x20 || c == 0x7F) {
        problem = std::string("the ") + what + " holds a control character (such as NUL, CR or LF)";
        return false;
      }
      zu::AppendPercentEncoded(path, c, kUnreserved);
    }
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

}  // namespace

bool BuildBlobPath(const std::string& remoteFolder, const std::string& fileName, std::string& path,
                   std::string& problem) {
  path.clear();
  problem.clear();
  if (fileName.empty()) {
    problem = "the file name is empty";
    return false;
  }
  if (!AppendSegments(remoteFolder, "remote folder", true, path, problem)) return false;
  if (!AppendSegments(fileName, "file name", false, path, problem)) return false;
  // The service refuses longer names on every attempt: refused here, before
  // any request.
  if (CharacterCount(remoteFolder) + 1 + CharacterCount(fileName) > kMaxBlobNameCharacters) {
    problem = "the remote folder and file name together are longer than the " +
              std::to_string(kMaxBlobNameCharacters) + " characters a blob name may have";
    return false;
  }
  return true;
}

std::string RefusedNameMessage(const std::string& fileName, const std::string& problem) {
  // The name is shown with its control characters replaced, so the message
  // stays one printable line.
  std::string shown;
  for (unsigned char c : fileName)
    shown.push_back(c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c));
  return "Error: Cannot upload file [" + shown + "]: " + problem +
         ", which cannot be stored as a blob name. Nothing was sent.";
}

}  // namespace zu::blob
