// The upload's view of the file: it reads chunks front to back, knows when
// the end was reached, and tells when the bytes are no longer those of the
// file whose size was taken at the start. The file is read once per pass.
#ifndef ZUCLOUD_FOLDER_UPLOAD_CHUNK_READER_H
#define ZUCLOUD_FOLDER_UPLOAD_CHUNK_READER_H

#include <memory>
#include <string>

#include "platform/host/FXFile.h"
#include "platform/host/SequentialFile.h"

class EvDebug;

namespace zu::folder {

class ChunkReader {
 public:
  // `dropPages`: the pages read leave the page cache (SequentialFile.h).
  ChunkReader(std::unique_ptr<SequentialFile> file, const FileIdentity& identity, bool dropPages);

  // Reads up to `capacity` bytes; a read shorter than `capacity` reached the
  // end of the file, and a reader at the end reads 0 bytes. False on a read
  // error or a change (`problem` says which).
  bool Read(char* buffer, long long capacity, long long& length, std::string& problem);

  // Moves a reader fresh from its file to `offset`, where the next Read
  // starts (a pass that goes on from a chunk boundary the server holds).
  CPzError SkipTo(long long offset);

  bool AtEnd() const { return m_atEnd; }
  bool DropsPages() const { return m_dropPages; }
  // How the file changed, or "" when it did not.
  const std::string& Change() const { return m_change; }

 private:
  std::unique_ptr<SequentialFile> m_file;
  FileIdentity m_identity;
  bool m_dropPages;
  unsigned long long m_read = 0;
  bool m_atEnd = false;
  std::string m_change;
};

// Opens the file to upload (`sourceDir` and the file name joined into
// `path`) and takes its size and identity; null, after the log line and the
// message naming the path and the reason, when it cannot.
std::unique_ptr<ChunkReader> OpenForUpload(EvDebug* log, const std::string& sourceDir,
                                           const std::string& path, bool dropPages,
                                           FileIdentity& identity, std::wstring& errorMessage);

// Opens the file again for a later pass; null (after the line and the
// message) when it cannot be opened or is no longer the file whose identity
// the upload took at its start.
std::unique_ptr<ChunkReader> ReopenForRestart(EvDebug* log, const std::string& path,
                                              const std::string& fileName,
                                              const FileIdentity& identity, bool dropPages,
                                              std::wstring& errorMessage);

// Logs a failed read and, for a file that changed, sets the caller's
// message for it.
void ReadFailed(EvDebug* log, const ChunkReader& reader, const std::string& path,
                const std::string& fileName, const std::string& problem,
                std::wstring& errorMessage);

}  // namespace zu::folder

#endif  // ZUCLOUD_FOLDER_UPLOAD_CHUNK_READER_H
