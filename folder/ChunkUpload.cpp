// Resumable chunked upload of one file into the drive share.
//
// Protocol (every request a POST under the upload base URL of the set-up):
//  1. the upload-session request carries the first chunk and opens a session
//     ("forceRestart=true"), answered with a request ID;
//  2. one chunk request per further chunk, addressed by the request ID; the
//     one that follows the read reaching the end of the file carries
//     "FileEOF" (so does every later request) and is answered with the
//     file's GUID;
//  3. after a failed chunk attempt, a chunk request without a body asks how
//     many bytes the server holds, which decides whether the chunk is sent
//     again.
//
// Resources: one zero-filled buffer of m_chunkSize bytes per call, reused for
// every chunk; the file is read once from front to back; one gateway per
// chunk, kept for all its attempts and offset queries. All are held by RAII
// and released on every path. Offsets and sizes are 64-bit throughout.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ZUCloudService.h"
#include "folder/FolderInternal.h"
#include "platform/host/FXFile.h"
#include "platform/host/PageBuffer.h"
#include "platform/host/SequentialFile.h"
#include "platform/http/SendPacer.h"
#include "platform/http/ZuInternetGateway.h"
#include "platform/log/EvDebug.h"
#include "platform/text/Base64.h"
#include "platform/text/FXString.h"
#include "platform/xml/CNMessage.h"
#include "platform/xml/XmlDom.h"
#include "session/ConsoleOperation.h"
#include "session/FileChange.h"
#include "session/GatewaySession.h"
#include "session/MessageReply.h"
#include "session/NoThrow.h"
#include "session/RetryLines.h"
#include "session/UploadProgress.h"
#include "session/UploadTuning.h"

namespace {

constexpr const char* kUploadTag = "UploadFile";
constexpr const char* kSessionTag = "GetChunkUploadSessionID";
constexpr const char* kOffsetTag = "GetChunkOffsetforUpload";
constexpr unsigned int kOffsetQueryWaitMs = 60000;

std::string UploadBase(const std::string& uploadURL, const std::string& shareID) {
  return zu::folder::SharePath(uploadURL, shareID) + "/file/action/upload?uploadType=chunkedFile";
}

// Headers 1 to 7, the same for the session request, the chunk requests and
// the offset queries ("FileEOF" is appended by the upload loop).
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

std::string DecodeForLog(const std::string& base64) {
  std::string plain;
  base64Decode(base64, plain);
  return plain;
}

bool Contains(const std::string& text, const char* word) {
  return text.find(word) != std::string::npos;
}

// The upload's view of the file: it reads chunks front to back, knows when
// the end was reached, and tells when the bytes are no longer those of the
// file whose size was taken at the start.
class ChunkReader {
 public:
  ChunkReader(std::unique_ptr<zu::SequentialFile> file, const zu::FileIdentity& identity)
      : m_file(std::move(file)), m_identity(identity) {}

  // Reads up to `capacity` bytes; a read shorter than `capacity` reached the
  // end of the file, and a reader at the end reads 0 bytes. False on a read
  // error or a change (`problem` says which).
  bool Read(char* buffer, long long capacity, long long& length, std::string& problem) {
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
    zu::FileIdentity now = m_identity;
    if (m_atEnd) {
      error = m_file->Identity(now);
      if (error.IsError()) {
        problem = error.Message();
        return false;
      }
    }
    // Past the size taken at the start the file grew; at its end it must
    // have exactly that size and still be the same file.
    if (m_read > m_identity.size || m_atEnd) {
      m_change = zu::DescribeFileChange(m_identity, m_read, now);
      if (!m_change.empty()) return false;
    }
    return true;
  }

  bool AtEnd() const { return m_atEnd; }
  // How the file changed, or "" when it did not.
  const std::string& Change() const { return m_change; }

 private:
  std::unique_ptr<zu::SequentialFile> m_file;
  zu::FileIdentity m_identity;
  unsigned long long m_read = 0;
  bool m_atEnd = false;
  std::string m_change;
};

// Logs a failed read and sets the caller's message for it.
void ReadFailed(EvDebug* log, const ChunkReader& reader, const std::string& path,
                const std::string& fileName, const std::string& problem,
                std::wstring& errorMessage) {
  if (!reader.Change().empty()) {
    log->Error(kUploadTag, "Error: File [%s] changed during the upload: %s.", path.c_str(),
               reader.Change().c_str());
    errorMessage = FXString::ToWstring(zu::FileChangedMessage(fileName, reader.Change()));
    return;
  }
  log->Error(kUploadTag, "Error: Failed to read file [%s]. %s", path.c_str(), problem.c_str());
}

}  // namespace

int ZUCloudService::GetChunkUploadSessionID(const std::string& parentPath,
                                            const std::string& fileName,
                                            const std::string& fileSize, long long chunkLength,
                                            const std::string& modifiedTime, const char* chunk,
                                            std::string& requestId, std::wstring& errorMessage) {
  return zu::RunConsoleOperation(
      sessionParams(), kSessionTag, nullptr, errorMessage, [&](zu::ConsoleOperation& op) {
        op.url = UploadBase(m_uploadURL, m_shareID) + "&forceRestart=true";
        op.bytes = chunk != nullptr ? chunk : "";  // the file's first chunk
        op.length = chunk != nullptr ? static_cast<long>(chunkLength) : 0L;
        op.headers = zu::ConsoleHeaders::kOwnWithSession;
        op.ownHeaders = [&](const std::string& sessionToken) {
          return UploadHeaders(sessionToken, fileName, fileSize, modifiedTime, parentPath);
        };
        op.notInitialized =
            L"ZUCloudService not initialized, no user/password provided, call "
            L"ZUCloudService::init() first";
        op.noGatewayMessage = L"ZUInternetGateway not initialized";
        op.wait = zu::FixedWaitRetry(m_nRetryCount, zu::folder::kRetryWaitMs, false);
        op.retryPrefix =
            zu::FormatLogText("Error: Failed to get request Id for file: [%s], parent path: [%s]. ",
                              DecodeForLog(fileName).c_str(), DecodeForLog(parentPath).c_str());
        op.retryLineSet = zu::kRetryingAfterLine | zu::kTotalRetryCountLine;
        zu::MessageReplyRules rules;
        rules.mention = "requestId";
        rules.postFailed = {"Error: Failed to get upload session request ID. Error Message [%s]",
                            zu::FailureText::kGatewayError,
                            L"Error: Failed to get upload session request ID.", nullptr};
        rules.noMention = {"Error: webServer handler responded with error response [%s]",
                           zu::FailureText::kResponse,
                           L"Error: webServer handler responded with error response", nullptr};
        rules.unreadable = {"Error: Unserialization failed for string [%s]",
                            zu::FailureText::kResponse,
                            L"Error: Unserialization failed for response string", nullptr};
        op.read = zu::ReadMessageReply(std::move(rules), zu::msg::kUploadFileResp,
                                       [&requestId](CNMessageBase& reply, const zu::ConsoleReply&) {
                                         using namespace zu::msg;
                                         requestId = reply.getstring(
                                             kUploadRequestId.number, kUploadRequestId.tag,
                                             kUploadFileResp.key, kUploadRequestId.key);
                                         return zu::AttemptResult::kSuccess;
                                       });
      });
}

bool ZUCloudService::GetChunkOffsetforUpload(LIBCURL::ZuInternetGateway* gateway,
                                             const std::string& url,
                                             std::list<ZuCURL::commandInfo>& headers,
                                             const std::string& fileName, long long& offset) {
  if (gateway == nullptr) return false;
  EvDebug* log = m_evDbg.get();
  std::wstring unused;  // the chunk's own attempt words the caller's message
  return zu::RunConsoleOperation(
             sessionParams(), kOffsetTag, nullptr, unused, [&](zu::ConsoleOperation& op) {
               op.url = url;
               op.bytes = "";  // no body: the reply tells the offset the server holds
               op.gateway = gateway;
               op.headers = zu::ConsoleHeaders::kOwn;
               op.ownHeaders = [&headers](const std::string&) { return headers; };
               op.wait = zu::FixedWaitRetry(m_nRetryCount, kOffsetQueryWaitMs, false);
               // No total line: the caller reports the chunk as a whole.
               op.retryPrefix = zu::FormatLogText(
                   "Error: Failed to get last uploaded chunk offset to cloud for file [%s]. ",
                   fileName.c_str());
               op.retryLineSet = zu::kRetryingAfterLine;
               zu::MessageReplyRules rules;
               rules.mention = "chunkOffset";
               rules.postFailed.custom = [log, &fileName](const zu::ConsoleReply& reply) {
                 log->Error(
                     kOffsetTag,
                     "Error: Failed to get chunk offset for file [%s]. Upload attempt [%d]. Curl "
                     "Error Message [%s], Error response: [%s]",
                     fileName.c_str(), reply.attempt, reply.gateway.getErrorMsg().c_str(),
                     reply.response.c_str());
               };
               rules.noMention.line = "Error: Webserver responded with response string: [%s].";
               rules.unreadable.line = "Error: Unserialization failed for string [%s].";
               op.read = zu::ReadMessageReply(
                   std::move(rules), zu::msg::kUploadFileResp,
                   [log, &offset](CNMessageBase& reply, const zu::ConsoleReply& at) {
                     using namespace zu::msg;
                     const long long held = reply.getint64(
                         kUploadChunkOffset.number, kUploadFileResp.key, kUploadChunkOffset.key);
                     offset = held;
                     if (held > 0) return zu::AttemptResult::kSuccess;
                     offset = 0;
                     log->Error(
                         kOffsetTag,
                         "Error: Chunk Offset received from webserver: [%lld], output XML: [%s].",
                         held, at.response.c_str());
                     return zu::AttemptResult::kRetry;
                   });
             }) == 1;
}

namespace {

// Opens the file to upload and takes its size and identity; null (after the
// log line and the message) when it cannot.
std::unique_ptr<ChunkReader> OpenForUpload(EvDebug* log, const std::string& path,
                                           zu::FileIdentity& identity, std::wstring& errorMessage) {
  if (!FXFile::DoesFileExist(path)) {
    log->Error(kUploadTag, "Error: Source file path does not exists.");
    errorMessage = L"Error: Source file path does not exists.";
    return nullptr;
  }
  CPzError error;
  std::unique_ptr<zu::SequentialFile> file = zu::OpenSequentialFile(path, error);
  if (!file) {
    log->Error(kUploadTag,
               "Error: Cannot open the file to get the size, make sure you have permissions.");
    errorMessage = L"Error: Cannot open the file to get the size, make sure you have permissions.";
    return nullptr;
  }
  if (file->Identity(identity).IsError()) {
    log->Error(kUploadTag, "Error: Failed to get the size of the file.");
    errorMessage = L"Error: Failed to get the size of the file.";
    return nullptr;
  }
  return std::make_unique<ChunkReader>(std::move(file), identity);
}

// One chunk request after the session request: where it goes, what it
// carries and what its attempts need from the upload.
struct ChunkSend {
  ZUCloudService& service;
  EvDebug* log;
  const std::string& url;  // the chunk URL with the request ID
  ZuCURL::commandInfoList& headers;
  const std::string& fileName;
  const std::string& userName;
  int retryCount;
  const char* data;
  long long length;
  long long endOffset;  // file offset after this chunk
  bool last;            // carries "FileEOF": its reply names the file's GUID
};

// What the replies to the chunks tell the upload.
struct ChunkOutcome {
  std::string fileGUID;
  bool uploaded = false;  // the last chunk's reply carried the GUID
};

// After a failed attempt: asks the server how many bytes it holds. kSuccess
// when it holds the whole chunk, kStop when the query failed, kRetry when
// the chunk must be sent again.
zu::AttemptResult QueryHeldOffset(const ChunkSend& chunk, LIBCURL::ZuInternetGateway* gateway,
                                  int attempt) {
  long long held = 0;
  if (!chunk.service.GetChunkOffsetforUpload(gateway, chunk.url, chunk.headers, chunk.fileName,
                                             held)) {
    return zu::AttemptResult::kStop;
  }
  if (held > 0 && held == chunk.endOffset) {
    chunk.log->DebugLvl(5, kUploadTag,
                        "Success: upload of chunk to cloud for file [%s] was successfull. chunk "
                        "offset [%llu], Upload attempt [%d].",
                        chunk.fileName.c_str(), static_cast<unsigned long long>(held), attempt);
    return zu::AttemptResult::kSuccess;
  }
  chunk.log->Error(kUploadTag,
                   "Error: Last chunk wasn't uploaded. Chunk Offset received from webserver: "
                   "[%lld].",
                   held);
  return zu::AttemptResult::kRetry;
}

// Reads the reply to a chunk that was sent. `queryAfterFailure` tells
// whether a failure of this attempt asks for the held offset next time.
zu::AttemptResult ReadChunkReply(const ChunkSend& chunk, const std::string& response,
                                 bool& queryAfterFailure, ChunkOutcome& outcome,
                                 std::wstring& errorMessage) {
  using namespace zu::msg;
  EvDebug* log = chunk.log;
  const bool hasFileGuid = Contains(response, "fileGUID");
  if (response.empty() || !(hasFileGuid || Contains(response, "chunkOffset"))) {
    log->Error(kUploadTag, "Error: Webserver responded with response string: [%s].",
               response.c_str());
    return zu::AttemptResult::kRetry;
  }
  CNMessageBase reply(kUploadFileResp.type, kUploadFileResp.id);
  if (reply.unserialize(response.c_str()) != 0) {
    log->Error(kUploadTag, "Error: Unserialization failed for string [%s].", response.c_str());
    errorMessage = L"Error: Unserialization failed for response string";
    queryAfterFailure = true;
    return zu::AttemptResult::kRetry;
  }
  if (chunk.last) {
    if (hasFileGuid) {
      outcome.fileGUID = reply.getstring(kUploadFileGUID.number, kUploadFileGUID.tag,
                                         kUploadFileResp.key, kUploadFileGUID.key);
      outcome.uploaded = true;
      return zu::AttemptResult::kSuccess;
    }
    log->Error(kUploadTag, "Error: Unserialization failed for string [%s]", response.c_str());
    errorMessage = L"Error: Failed to login to cloud. Please check the internet connection";
    queryAfterFailure = true;
    return zu::AttemptResult::kRetry;
  }
  // Any positive offset confirms an intermediate chunk.
  const long long held =
      reply.getint64(kUploadChunkOffset.number, kUploadFileResp.key, kUploadChunkOffset.key);
  if (held > 0) return zu::AttemptResult::kSuccess;
  log->Error(kUploadTag, "Error: Chunk Offset received from webserver: [%lld], output XML: [%s].",
             held, response.c_str());
  return zu::AttemptResult::kRetry;
}

// One attempt at a chunk. From the second attempt on, the held offset is
// asked first, unless the attempt before already did and then resent the
// whole chunk from its first byte, whatever the server held.
zu::AttemptResult AttemptChunk(const ChunkSend& chunk, LIBCURL::ZuInternetGateway* gateway,
                               int attempt, bool& queryAfterFailure, ChunkOutcome& outcome,
                               std::wstring& errorMessage) {
  if (attempt > 1 && queryAfterFailure) {
    const zu::AttemptResult held = QueryHeldOffset(chunk, gateway, attempt);
    if (held != zu::AttemptResult::kRetry) return held;
    queryAfterFailure = false;
  }
  std::string response;
  if (gateway->doPostOperation(chunk.url, chunk.data, static_cast<long>(chunk.length), response,
                               chunk.headers) != 0) {
    chunk.log->Error(kUploadTag,
                     "Error: Failed to upload chunk to cloud for file [%s]. Upload attempt [%d]. "
                     "Curl Error Message [%s], Error response: [%s]",
                     chunk.fileName.c_str(), attempt, gateway->getErrorMsg().c_str(),
                     response.c_str());
    errorMessage = L"Error: Failed to upload chunk to cloud.";
    queryAfterFailure = true;
    return zu::AttemptResult::kRetry;
  }
  return ReadChunkReply(chunk, response, queryAfterFailure, outcome, errorMessage);
}

// Sends one chunk over a gateway of its own, kept for all its attempts and
// offset queries; false when every attempt failed.
bool SendChunk(const ChunkSend& chunk, ChunkOutcome& outcome, std::wstring& errorMessage) {
  EvDebug* log = chunk.log;
  zu::GatewayHolder gateway(log, chunk.service.initZuInternetGateway(chunk.url));
  if (!gateway) {
    log->Error(kUploadTag, "Error: Failed to initialize ZuInternetGateway.");
    errorMessage = L"Error: Failed to initialize ZuInternetGateway.";
    return false;
  }
  gateway->setSendPaced(1);

  const unsigned long long startOffset =
      static_cast<unsigned long long>(chunk.endOffset - chunk.length);
  const unsigned long long stopOffset = static_cast<unsigned long long>(chunk.endOffset);
  // An attempt stopped by a failed offset query was not completed.
  const zu::RetryOptions options = zu::FixedWaitRetry(
      chunk.retryCount, zu::folder::kRetryWaitMs, false, zu::TotalCount::kAttemptsBeforeEarlyStop);
  zu::RetryLines lines = zu::StandardRetryLines(
      log, kUploadTag,
      zu::FormatLogText("Error: Failed to upload chunk to cloud for file [%s], chunk offset "
                        "start: [%llu] end: [%llu]. ",
                        chunk.fileName.c_str(), startOffset, stopOffset),
      zu::kRetryingAfterLine);
  lines.totalRetryCount = [&](int total) {
    log->Error(kUploadTag,
               "Error: Failed to upload [%s] file to cloud. Failed chunk start offset: [%llu], "
               "end offset: [%llu]. Total retry attempts: [%d], API URL [%s], User Name [%s]",
               chunk.fileName.c_str(), startOffset, stopOffset, total, chunk.url.c_str(),
               chunk.userName.c_str());
  };

  bool queryAfterFailure = true;
  return zu::RunWithRetry(options, lines,
                          [&](int attempt) {
                            return AttemptChunk(chunk, gateway.get(), attempt, queryAfterFailure,
                                                outcome, errorMessage);
                          })
      .succeeded;
}

// Where the chunks come from: the reader, the buffer each chunk is read
// into, and what the read failure lines and progress reports name.
struct ChunkSource {
  ChunkReader& reader;
  char* buffer;
  long long capacity;
  const std::string& path;
  unsigned long long size;
};

// Reads the first chunk and opens the upload session with it: the request
// ID and the file offset after the chunk, or false (after the lines and the
// message).
bool StartUploadSession(ZUCloudService& service, EvDebug* log, const ChunkSource& source,
                        const std::string& fileName, const std::string& base64FileName,
                        const std::string& base64ParentPath, const std::string& fileSize,
                        const std::string& modifiedTime, long long& endOffset,
                        std::string& requestId, std::wstring& errorMessage) {
  long long chunkLength = 0;
  std::string problem;
  if (!source.reader.Read(source.buffer, source.capacity, chunkLength, problem)) {
    ReadFailed(log, source.reader, source.path, fileName, problem, errorMessage);
    return false;
  }
  endOffset = chunkLength;
  if (service.GetChunkUploadSessionID(base64ParentPath, base64FileName, fileSize, chunkLength,
                                      modifiedTime, source.buffer, requestId, errorMessage) != 1) {
    return false;
  }
  zu::ReportUploadProgress(fileName, static_cast<unsigned long long>(endOffset), source.size);
  return true;
}

// Reads and sends the chunks after `chunk` (the one that ended at its
// endOffset) up to the one that follows the read reaching the end of the
// file. False (after the lines and the message) when a read or a chunk
// failed.
bool SendRemainingChunks(ChunkSend chunk, const ChunkSource& source, ChunkOutcome& outcome,
                         std::wstring& errorMessage) {
  std::string problem;
  while (!chunk.last) {
    if (!source.reader.Read(source.buffer, source.capacity, chunk.length, problem)) {
      ReadFailed(chunk.log, source.reader, source.path, chunk.fileName, problem, errorMessage);
      return false;
    }
    chunk.endOffset += chunk.length;
    // Appended once, right after the read that found the end of the file;
    // from then on every request of this upload carries it.
    chunk.last = source.reader.AtEnd();
    if (chunk.last) chunk.headers.emplace_back("FileEOF", "1");
    if (!SendChunk(chunk, outcome, errorMessage)) return false;
    zu::ReportUploadProgress(chunk.fileName, static_cast<unsigned long long>(chunk.endOffset),
                             source.size);
  }
  return true;
}

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
  const int result = zu::NoThrow(m_evDbg.get(), kUploadTag, 0, [&]() -> int {
    // One reference on the XML platform for the whole upload: each reply
    // parse then only bumps its reference count.
    zu::xml::PlatformScope xmlPlatform;
    EvDebug* log = m_evDbg.get();
    std::string chunkUrl = UploadBase(m_uploadURL, m_shareID) + "&requestId=";
    if (!m_bInitialized) {
      errorMessage = zu::folder::kNotInitialized;
      return 0;
    }

    const std::string path = sourceDir + fileName;
    zu::FileIdentity identity;
    std::unique_ptr<ChunkReader> reader = OpenForUpload(log, path, identity, errorMessage);
    if (!reader) return 0;
    const unsigned long long size = identity.size;
    const std::string fileSize = std::to_string(size);

    // The operator's cap covers every file byte this process sends.
    zu::SendPacer::Global().SetRate(
        static_cast<unsigned long long>(zu::ReadUploadTuning(1).maxMbps) * 125000ULL);
    const long long chunkCapacity = m_chunkSize;
    zu::PageBuffer buffer(static_cast<size_t>(chunkCapacity));  // zeroed, page-aligned
    zu::ReportUploadProgress(fileName, 0, size);

    std::string sessionToken;
    if (!DoLogin(errorMessage, sessionToken, false)) return 0;

    const std::string base64FileName = zu::Base64OneLine(fileName);
    const std::string base64ParentPath = zu::Base64OneLine(parentPath);

    const ChunkSource source{*reader, buffer.data(), chunkCapacity, path, size};
    long long endOffset = 0;
    std::string requestId;
    if (!StartUploadSession(*this, log, source, fileName, base64FileName, base64ParentPath,
                            fileSize, modifiedTime, endOffset, requestId, errorMessage)) {
      return 0;
    }
    chunkUrl += requestId;
    ZuCURL::commandInfoList headers =
        UploadHeaders(sessionToken, base64FileName, fileSize, modifiedTime, base64ParentPath);

    ChunkOutcome outcome;
    const ChunkSend next{*this,         log,           chunkUrl, headers,   fileName, m_userName,
                         m_nRetryCount, buffer.data(), 0,        endOffset, false};
    if (!SendRemainingChunks(next, source, outcome, errorMessage)) return 0;
    if (outcome.uploaded) fileGUID = outcome.fileGUID;
    // Only a reply to the last chunk that carried the file's GUID counts; a
    // last chunk confirmed through the offset query alone does not.
    return outcome.uploaded ? 1 : 0;
  });
  return WithUploadMessage(result, errorMessage);
}
