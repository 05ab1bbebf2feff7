#include "folder/upload/ChunkReader.h"

#include <utility>

#include "folder/chunk/UploadRequest.h"
#include "platform/log/EvDebug.h"
#include "platform/text/FXString.h"
#include "session/FileChange.h"

namespace zu::folder {

ChunkReader::ChunkReader(std::unique_ptr<SequentialFile> file, const FileIdentity& identity,
                         bool dropPages)
    : m_file(std::move(file)), m_identity(identity), m_dropPages(dropPages) {
  m_file->DropPagesAfterRead(dropPages);
}

bool ChunkReader::Read(char* buffer, long long capacity, long long& length, std::string& problem) {
  length = 0;
  if (m_atEnd) return true;
  unsigned long long got = 0;
  CPzError error = m_file->Read(buffer, static_cast<unsigned long long>(capacity), got);
  if (error.IsError()) {
    problem = error.Message();
    return false;
  }
  m_read += got;
  length = static_cast<long long>(got);
  m_atEnd = got < static_cast<unsigned long long>(capacity);
  // At its end the file must have exactly the size taken at the start and
  // still be the same file.
  if (m_atEnd) {
    error = ConfirmFileEnd(*m_file, m_identity, m_read, m_change);
    if (error.IsError()) {
      problem = error.Message();
      return false;
    }
    return m_change.empty();
  }
  // Past the size taken at the start the file grew.
  if (m_read > m_identity.size) {
    m_change = DescribeFileChange(m_identity, m_read, m_identity);
    return false;
  }
  return true;
}

CPzError ChunkReader::SkipTo(long long offset) {
  m_read = static_cast<unsigned long long>(offset);
  return m_file->Skip(m_read);
}

std::unique_ptr<ChunkReader> OpenForUpload(EvDebug* log, const std::string& sourceDir,
                                           const std::string& path, bool dropPages,
                                           FileIdentity& identity, std::wstring& errorMessage) {
  CPzError error;
  std::unique_ptr<SequentialFile> file = OpenSequentialFile(path, error);
  if (file) error = file->Identity(identity);
  if (!file || error.IsError()) {
    const std::string message = CannotOpenMessage(sourceDir, path, error);
    log->Error(kUploadTag, "%s", message.c_str());
    errorMessage = FXString::ToWstring(message);
    return nullptr;
  }
  return std::make_unique<ChunkReader>(std::move(file), identity, dropPages);
}

std::unique_ptr<ChunkReader> ReopenForRestart(EvDebug* log, const std::string& path,
                                              const std::string& fileName,
                                              const FileIdentity& identity, bool dropPages,
                                              std::wstring& errorMessage) {
  CPzError error;
  std::unique_ptr<SequentialFile> file = OpenSequentialFile(path, error);
  FileIdentity again;
  if (file) error = file->Identity(again);
  if (!file || error.IsError()) {
    log->Error(kUploadTag, "Error: Failed to open file [%s] again to restart its upload. %s",
               path.c_str(), error.Message().c_str());
    errorMessage = L"Error: Failed to open the file again to restart its upload.";
    return nullptr;
  }
  if (!again.SameContentAs(identity)) {
    // Never "": the identities differ.
    const std::string change = DescribeFileChange(identity, identity.size, again);
    log->Error(kUploadTag, "Error: File [%s] changed during the upload: %s.", path.c_str(),
               change.c_str());
    errorMessage = FXString::ToWstring(FileChangedMessage(fileName, change));
    return nullptr;
  }
  return std::make_unique<ChunkReader>(std::move(file), identity, dropPages);
}

void ReadFailed(EvDebug* log, const ChunkReader& reader, const std::string& path,
                const std::string& fileName, const std::string& problem,
                std::wstring& errorMessage) {
  if (!reader.Change().empty()) {
    log->Error(kUploadTag, "Error: File [%s] changed during the upload: %s.", path.c_str(),
               reader.Change().c_str());
    errorMessage = FXString::ToWstring(FileChangedMessage(fileName, reader.Change()));
    return;
  }
  log->Error(kUploadTag, "Error: Failed to read file [%s]. %s", path.c_str(), problem.c_str());
}

}  // namespace zu::folder
