// The folder service's chunked upload of one file into the drive share:
// UploadFile and its two steps as members of ZUCloudService. The requests
// live in chunk/ (UploadRequest.h tells the protocol), the passes over the
// file in upload/.
//
// The upload is append-only: a request's bytes land where the server's
// offset says. So the offset the server names, in a chunk's reply or an
// offset query, alone decides what comes next (chunk/HeldOffset.h): the
// chunk's end confirms it, its start sends it again, an earlier chunk
// boundary reads the file again from there in the same session, and
// anything else (0, off a boundary, inside the chunk, past it: bytes lost,
// or a request the server carried out twice) starts a new session from byte
// 0. Each going back counts against the retry count; a reply that names
// neither the chunk's start nor its end is never followed by a resend
// without asking first.
//
// Resources: one zero-filled buffer of m_chunkSize bytes per call, reused for
// every chunk; the file is read from front to back, once per pass; one
// gateway per chunk, kept for all its attempts and offset queries. All are
// held by RAII and released on every path. Offsets and sizes are 64-bit
// throughout.
#include <memory>
#include <string>
#include <utility>

#include "ZUCloudService.h"
#include "folder/FolderInternal.h"
#include "folder/chunk/OffsetQuery.h"
#include "folder/chunk/UploadRequest.h"
#include "folder/chunk/UploadSession.h"
#include "folder/upload/ChunkReader.h"
#include "folder/upload/ConfirmedProgress.h"
#include "folder/upload/UploadPasses.h"
#include "platform/host/PageBuffer.h"
#include "platform/http/SendPacer.h"
#include "platform/text/Base64.h"
#include "platform/xml/XmlDom.h"
#include "session/NoThrow.h"
#include "session/SessionParams.h"
#include "session/UploadTuning.h"

int ZUCloudService::GetChunkUploadSessionID(const std::string& parentPath,
                                            const std::string& fileName,
                                            const std::string& fileSize, long long chunkLength,
                                            const std::string& modifiedTime, const char* chunk,
                                            std::string& requestId, std::wstring& errorMessage) {
  const std::string uploadBase =
      zu::folder::UploadBase(zu::folder::SharePath(m_uploadURL, m_shareID));
  const zu::folder::SessionRequest request{uploadBase,   parentPath, fileName,   fileSize,
                                           modifiedTime, chunk,      chunkLength};
  return zu::folder::RequestUploadSession(sessionParams(), request, requestId, errorMessage);
}

bool ZUCloudService::GetChunkOffsetforUpload(LIBCURL::ZuInternetGateway* gateway,
                                             const std::string& url,
                                             std::list<ZuCURL::commandInfo>& headers,
                                             const std::string& fileName, long long& offset) {
  return zu::folder::QueryOffset(sessionParams(),
                                 zu::folder::OffsetQuery{gateway, url, headers, fileName}, false,
                                 offset, nullptr);
}

namespace {

// Some failures (the stream cannot be opened, an unreadable reply to the
// last chunk) set no message of their own; the caller still gets one.
int WithUploadMessage(int result, std::wstring& errorMessage) {
  if (result == 0 && errorMessage.empty()) {
    errorMessage =
        L"Error: Failed to upload file to cloud. Please check ZUCloudService.log for more "
        L"details.";
  }
  return result;
}

}  // namespace

int ZUCloudService::UploadFile(const std::string& sourceDir, const std::string& fileName,
                               const std::string& parentPath, const std::string& modifiedTime,
                               std::string& fileGUID, std::wstring& errorMessage) {
  const int result = zu::NoThrow(m_evDbg.get(), zu::folder::kUploadTag, 0, [&]() -> int {
    // One reference on the XML platform for the whole upload: each reply
    // parse then only bumps its reference count.
    zu::xml::PlatformScope xmlPlatform;
    EvDebug* log = m_evDbg.get();
    const std::string uploadBase =
        zu::folder::UploadBase(zu::folder::SharePath(m_uploadURL, m_shareID));
    if (!m_bInitialized) {
      errorMessage = zu::folder::kNotInitialized;
      return 0;
    }

    const zu::UploadTuning tuning = zu::ReadUploadTuning(1);
    const std::string path = sourceDir + fileName;
    zu::FileIdentity identity;
    std::unique_ptr<zu::folder::ChunkReader> reader = zu::folder::OpenForUpload(
        log, sourceDir, path, !tuning.keepPageCache, identity, errorMessage);
    if (!reader) return 0;
    const std::string fileSize = std::to_string(identity.size);

    // The operator's cap covers every file byte this process sends.
    zu::SendPacer::Global().SetRate(static_cast<unsigned long long>(tuning.maxMbps) * 125000ULL);
    const long long chunkCapacity = m_chunkSize;
    zu::PageBuffer buffer(static_cast<size_t>(chunkCapacity));  // zeroed, page-aligned
    zu::folder::ConfirmedProgress progress(fileName, identity.size);

    std::string sessionToken;
    if (!DoLogin(errorMessage, sessionToken, false)) return 0;

    const std::string base64FileName = zu::Base64OneLine(fileName);
    const std::string base64ParentPath = zu::Base64OneLine(parentPath);
    const zu::SessionParams params = sessionParams();
    const zu::folder::FileTarget target{
        params,         uploadBase,       path,         fileName,      fileSize,      modifiedTime,
        base64FileName, base64ParentPath, sessionToken, buffer.data(), chunkCapacity, progress};
    // Only a server that holds the whole file and named its GUID makes the
    // upload a success (chunk/LastChunk.h). A server that holds more bytes
    // than were sent gets the file again.
    return zu::folder::UploadInPasses(target, identity, std::move(reader), fileGUID, errorMessage);
  });
  return WithUploadMessage(result, errorMessage);
}
