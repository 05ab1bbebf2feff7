#include "blob/setup/FileRecords.h"

#include "blob/engine/FileUpload.h"
#include "platform/log/EvDebug.h"

namespace zu::blob {
namespace {

// The record of `url`, null when there is none. The same blob under two
// spellings ("a" + "b/c" and "a/b" + "c") is one record: a name holds no "/"
// in Azure Functions mode (AddFileInfo keeps what follows the last one), so
// there one URL is one name.
std::shared_ptr<FileInfo> RecordOfUrl(const FileList& list, const std::string& url) {
  for (const std::shared_ptr<FileInfo>& file : list) {
    if (file->url == url) return file;
  }
  return nullptr;
}

}  // namespace

RecordMatch MatchRecord(const FileList& list, const FileIndex& index, bool azureFunctions,
                        const std::string& fileName, const std::string& url) {
  RecordMatch match;
  if (azureFunctions) {
    auto it = index.find(fileName);
    if (it == index.end() || it->second >= list.size()) return match;
    match.registered = list[it->second];
  }
  match.record = RecordOfUrl(list, url);
  if (match.record) return match;
  const std::shared_ptr<FileInfo>& registered = match.registered;
  if (registered && !registered->uploaded) {
    match.record = registered;
    return match;
  }
  match.record = std::make_shared<FileInfo>();
  match.record->fileName = fileName;
  if (registered) match.record->sasToken = registered->sasToken;
  match.isNew = true;
  return match;
}

bool ReplaceEarlierUploads(EvDebug* log, const FileInfo& before, const FileInfo& record) {
  const bool replaced = before.uploaded && before.url == record.url;
  if (replaced) {
    log->Error(kUploadFileTag,
               "Warning: File [%s] was stored at [%s], where an earlier upload of this set was "
               "stored: that upload was replaced, and the completion lists the URL once, with "
               "the [%llu] bytes stored now.",
               record.fileName.c_str(), record.url.c_str(), record.fileSize);
  }
  return replaced;
}

}  // namespace zu::blob
