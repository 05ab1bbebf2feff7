// Which record of the file list an UploadFile call fills, and what becomes
// of an earlier record when an upload replaces the blob it describes.
//
// A blob URL is one file in storage: the last upload to it is what a restore
// gets back. So every call that stores a file at a URL shares that URL's
// record, and the completion lists each URL at most once, with the size of
// the upload that is stored there now. A failed call changes that record as
// it would its own: it keeps it when nothing was sent, and otherwise the
// URL is left out of the completion (what it holds is no longer known). Records of different URLs
// (the same file name in two folders) stay apart. In Azure Functions mode a record is first of all
// a registered name (AddFileInfo): the set-up gives each name its token, so an upload of that name
// to another URL than the one its registered record already holds gets a record of its own beside
// it.
#ifndef ZUCLOUD_BLOB_SETUP_FILE_RECORDS_H
#define ZUCLOUD_BLOB_SETUP_FILE_RECORDS_H

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "blob/setup/FileInfo.h"

class EvDebug;

namespace zu::blob {

using FileList = std::vector<std::shared_ptr<FileInfo>>;
using FileIndex = std::unordered_map<std::string, unsigned long long>;

struct RecordMatch {
  // Null when Azure Functions mode has no record registered under the name.
  std::shared_ptr<FileInfo> record;
  // Azure Functions mode: the registered record, which holds the name's
  // token (the record itself, or the one beside which it was made).
  std::shared_ptr<FileInfo> registered;
  // Not in the list yet: appended once the file is opened.
  bool isNew = false;
};

// The record an upload of `fileName` to the blob `url` (storage URL and
// encoded path, as stored) fills: the one of that URL when there is one;
// else, in Azure Functions mode, the name's registered record unless it
// holds an upload to another URL; else a new one. A record found keeps its
// place in the list and its fields until the upload changes them.
RecordMatch MatchRecord(const FileList& list, const FileIndex& index, bool azureFunctions,
                        const std::string& fileName, const std::string& url);

// After `record` was stored at its URL: when it held an earlier upload of
// this set to that URL (`before` is the record as earlier calls left it),
// a warning line says that upload was replaced. Returns whether it was.
bool ReplaceEarlierUploads(EvDebug* log, const FileInfo& before, const FileInfo& record);

}  // namespace zu::blob

#endif  // ZUCLOUD_BLOB_SETUP_FILE_RECORDS_H
