// The name under which each file of a run is stored, and the refusal of a
// run in which two files would share one: the second upload would replace
// the first, and both would be reported stored.
#ifndef ZUCLOUD_TOOLS_STORED_NAMES_H
#define ZUCLOUD_TOOLS_STORED_NAMES_H

#include <string>

#include "upload_options.h"

namespace zutool {

// The blob service's folder of a run: --remote-folder, or DRBackup.
std::string BlobFolder(const UploadOptions& options);

// What `file` is stored as. Blob: the blob path, the run's folder without
// its empty segments followed by the name, as the blob service forms it
// (blob/storage/BlobPath.cpp; the tool reaches only the library's public
// interface, so it cannot call it). Folder: the name in the run's folder.
std::string StoredName(const UploadOptions& options, const LocalFile& file);

// False, with `error` naming both local paths and the name they would
// share, when two files of the run would be stored under one name.
bool CheckStoredNamesDiffer(const UploadOptions& options, std::string& error);

}  // namespace zutool

#endif  // ZUCLOUD_TOOLS_STORED_NAMES_H
