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
// The upload is append-only: a request's bytes land where the server's
// offset says. So the offset the server names, in a chunk's reply or an
// offset query, alone decides what comes next (HeldOffset.h): the chunk's
// end confirms it, its start sends it again, an earlier chunk boundary reads
// the file again from there in the same session, and anything else (0, off
// a boundary, inside the chunk, past it: bytes lost, or a request the server
// carried out twice) starts a new session from byte 0. Each going back
// counts against the retry count; a reply that names neither the chunk's
// start nor its end is never followed by a resend without asking first.
//
// Resources: one zero-filled buffer of m_chunkSize bytes per call, reused for
// every chunk; the file is read from front to back, once per pass; one
// gateway per chunk, kept for all its attempts and offset queries. All are
// held by RAII and released on every path. Offsets and sizes are 64-bit
// throughout.
#include <algorithm>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ZUCloudService.h"
#include "folder/FolderInternal.h"
#include "folder/HeldOffset.h"
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
#include "session/RetryPolicy.h"
#include "session/SessionParams.h"
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
  // `dropPages`: the pages read leave the page cache (SequentialFile.h).
  ChunkReader(std::unique_ptr<zu::SequentialFile> file, const zu::FileIdentity& identity,
              bool dropPages)
      : m_file(std::move(file)), m_identity(identity), m_dropPages(dropPages) {
    m_file->DropPagesAfterRead(dropPages);
  }

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
    // At its end the file must have exactly the size taken at the start and
    // still be the same file.
    if (m_atEnd) {
      error = zu::ConfirmFileEnd(*m_file, m_identity, m_read, m_change);
      if (error.IsError()) {
        problem = error.Message();
        return false;
      }
      return m_change.empty();
    }
    // Past the size taken at the start the file grew.
    if (m_read > m_identity.size) {
      m_change = zu::DescribeFileChange(m_identity, m_read, m_identity);
      return false;
    }
    return true;
  }

  // Moves a reader fresh from its file to `offset`, where the next Read
  // starts (a pass that goes on from a chunk boundary the server holds).
  CPzError SkipTo(long long offset) {
    m_read = static_cast<unsigned long long>(offset);
    return m_file->Skip(m_read);
  }

  bool AtEnd() const { return m_atEnd; }
  bool DropsPages() const { return m_dropPages; }
  // How the file changed, or "" when it did not.
  const std::string& Change() const { return m_change; }

 private:
  std::unique_ptr<zu::SequentialFile> m_file;
  zu::FileIdentity m_identity;
  bool m_dropPages;
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
        op.wait = zu::FixedWaitRetry(m_nRetryCount, zu::kRetryWaitMs, false);
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

namespace {

// An offset query: the chunk URL, the upload's headers and the chunk's
// gateway.
struct OffsetQuery {
  LIBCURL::ZuInternetGateway* gateway;
  const std::string& url;
  std::list<ZuCURL::commandInfo>& headers;
  const std::string& fileName;
};

// Reads the reply to an offset query (see QueryOffset).
zu::AttemptResult ReadHeldOffset(EvDebug* log, CNMessageBase& reply, const zu::ConsoleReply& at,
                                 bool zeroIsAnswer, long long& offset, std::string* fileGUID) {
  using namespace zu::msg;
  const long long held =
      reply.getint64(kUploadChunkOffset.number, kUploadFileResp.key, kUploadChunkOffset.key);
  offset = held;
  if (fileGUID != nullptr) {
    *fileGUID = reply.getstring(kUploadFileGUID.number, kUploadFileGUID.tag, kUploadFileResp.key,
                                kUploadFileGUID.key);
    if (!fileGUID->empty()) return zu::AttemptResult::kSuccess;
  }
  if (held > 0 || (zeroIsAnswer && held == 0)) return zu::AttemptResult::kSuccess;
  offset = 0;
  log->Error(kOffsetTag, "Error: Chunk Offset received from webserver: [%lld], output XML: [%s].",
             held, at.response.c_str());
  return zu::AttemptResult::kRetry;
}

// Asks the server how many bytes of the file it holds. True once a reply
// named an offset above 0 (with `zeroIsAnswer`, 0 too: a server that lost
// the session's bytes) or, when `fileGUID` is given, the file's GUID
// (whatever the offset: an empty file's is 0); `fileGUID` then receives the
// GUID the reply named ("" for none).
bool QueryOffset(const zu::SessionParams& params, const OffsetQuery& query, bool zeroIsAnswer,
                 long long& offset, std::string* fileGUID) {
  if (query.gateway == nullptr) return false;
  EvDebug* log = params.log;
  std::wstring unused;  // the chunk's own attempt words the caller's message
  return zu::RunConsoleOperation(
             params, kOffsetTag, nullptr, unused, [&](zu::ConsoleOperation& op) {
               op.url = query.url;
               op.bytes = "";  // no body: the reply tells the offset the server holds
               op.gateway = query.gateway;
               op.headers = zu::ConsoleHeaders::kOwn;
               op.ownHeaders = [&query](const std::string&) { return query.headers; };
               op.wait = zu::FixedWaitRetry(params.retryCount, kOffsetQueryWaitMs, false);
               // No total line: the caller reports the chunk as a whole.
               op.retryPrefix = zu::FormatLogText(
                   "Error: Failed to get last uploaded chunk offset to cloud for file [%s]. ",
                   query.fileName.c_str());
               op.retryLineSet = zu::kRetryingAfterLine;
               zu::MessageReplyRules rules;
               rules.mention = "chunkOffset";
               rules.postFailed.custom = [log, &query](const zu::ConsoleReply& reply) {
                 log->Error(
                     kOffsetTag,
                     "Error: Failed to get chunk offset for file [%s]. Upload attempt [%d]. Curl "
                     "Error Message [%s], Error response: [%s]",
                     query.fileName.c_str(), reply.attempt, reply.gateway.getErrorMsg().c_str(),
                     reply.response.c_str());
               };
               rules.noMention.line = "Error: Webserver responded with response string: [%s].";
               rules.unreadable.line = "Error: Unserialization failed for string [%s].";
               op.read = zu::ReadMessageReply(
                   std::move(rules), zu::msg::kUploadFileResp,
                   [log, zeroIsAnswer, &offset, fileGUID](CNMessageBase& reply,
                                                          const zu::ConsoleReply& at) {
                     return ReadHeldOffset(log, reply, at, zeroIsAnswer, offset, fileGUID);
                   });
             }) == 1;
}

}  // namespace

bool ZUCloudService::GetChunkOffsetforUpload(LIBCURL::ZuInternetGateway* gateway,
                                             const std::string& url,
                                             std::list<ZuCURL::commandInfo>& headers,
                                             const std::string& fileName, long long& offset) {
  return QueryOffset(sessionParams(), OffsetQuery{gateway, url, headers, fileName}, false, offset,
                     nullptr);
}

namespace {

// Opens the file to upload (`sourceDir` and the file name joined into
// `path`) and takes its size and identity; null, after the log line and the
// message naming the path and the reason, when it cannot.
std::unique_ptr<ChunkReader> OpenForUpload(EvDebug* log, const std::string& sourceDir,
                                           const std::string& path, bool dropPages,
                                           zu::FileIdentity& identity, std::wstring& errorMessage) {
  CPzError error;
  std::unique_ptr<zu::SequentialFile> file = zu::OpenSequentialFile(path, error);
  if (file) error = file->Identity(identity);
  if (!file || error.IsError()) {
    const std::string message = zu::CannotOpenMessage(sourceDir, path, error);
    log->Error(kUploadTag, "%s", message.c_str());
    errorMessage = FXString::ToWstring(message);
    return nullptr;
  }
  return std::make_unique<ChunkReader>(std::move(file), identity, dropPages);
}

// Opens the file again for a pass from byte 0; null (after the line and the
// message) when it cannot be opened or is no longer the file whose identity
// the upload took at its start.
std::unique_ptr<ChunkReader> ReopenForRestart(EvDebug* log, const std::string& path,
                                              const std::string& fileName,
                                              const zu::FileIdentity& identity, bool dropPages,
                                              std::wstring& errorMessage) {
  CPzError error;
  std::unique_ptr<zu::SequentialFile> file = zu::OpenSequentialFile(path, error);
  zu::FileIdentity again;
  if (file) error = file->Identity(again);
  if (!file || error.IsError()) {
    log->Error(kUploadTag, "Error: Failed to open file [%s] again to restart its upload. %s",
               path.c_str(), error.Message().c_str());
    errorMessage = L"Error: Failed to open the file again to restart its upload.";
    return nullptr;
  }
  if (!again.SameContentAs(identity)) {
    // Never "": the identities differ.
    const std::string change = zu::DescribeFileChange(identity, identity.size, again);
    log->Error(kUploadTag, "Error: File [%s] changed during the upload: %s.", path.c_str(),
               change.c_str());
    errorMessage = FXString::ToWstring(zu::FileChangedMessage(fileName, change));
    return nullptr;
  }
  return std::make_unique<ChunkReader>(std::move(file), identity, dropPages);
}

// Progress of one file: each offset the cloud confirmed beyond the highest
// reported, so that a restarted upload reports no byte twice.
class ConfirmedProgress {
 public:
  ConfirmedProgress(const std::string& fileName, unsigned long long size)
      : m_fileName(fileName), m_size(size) {
    zu::ReportUploadProgress(fileName, 0, size);
  }
  void Confirmed(long long offset) {
    const unsigned long long at = static_cast<unsigned long long>(offset);
    if (at <= m_reported) return;
    m_reported = at;
    zu::ReportUploadProgress(m_fileName, at, m_size);
  }

 private:
  const std::string& m_fileName;
  unsigned long long m_size;
  unsigned long long m_reported = 0;
};

// One chunk request after the session request: where it goes, what it
// carries and what its attempts need from the upload.
struct ChunkSend {
  ZUCloudService& service;
  const zu::SessionParams& params;  // retries, user name, the offset queries
  EvDebug* log;
  const std::string& url;  // the chunk URL with the request ID
  ZuCURL::commandInfoList& headers;
  const std::string& fileName;
  const char* data;
  long long length;
  long long endOffset;  // file offset after this chunk
  bool last;            // carries "FileEOF": its reply names the file's GUID
  long long chunkSize;  // of every chunk but the last: the upload's boundaries
};

// What the replies to the chunks tell the upload.
struct ChunkOutcome {
  std::string fileGUID;
  bool uploaded = false;  // the server confirmed the whole file and named its GUID
  // The server named an offset neither the chunk's start nor its end: the
  // upload goes on from `from`, an earlier chunk boundary it holds, or
  // starts again from byte 0 with a new session.
  bool goesBack = false;
  long long from = 0;
  long long held = 0;     // the offset it named then
  long long sentEnd = 0;  // and the end of the chunk
};

// The step the server's offset `held` gives the chunk: kSuccess when it
// confirms it, kRetry (sending the chunk again, without asking first) when
// the server holds everything before it, kStop with `outcome` telling where
// the upload goes on otherwise.
zu::AttemptResult FollowHeldOffset(const ChunkSend& chunk, long long held, bool& queryAfterFailure,
                                   ChunkOutcome& outcome) {
  const zu::folder::HeldDecision next = zu::folder::JudgeHeldOffset(
      held, chunk.endOffset - chunk.length, chunk.endOffset, chunk.chunkSize);
  switch (next.step) {
    case zu::folder::HeldStep::kConfirmed:
      return zu::AttemptResult::kSuccess;
    case zu::folder::HeldStep::kResendChunk:
      chunk.log->Error(kUploadTag,
                       "Error: Last chunk wasn't uploaded. Chunk Offset received from webserver: "
                       "[%lld].",
                       held);
      queryAfterFailure = false;
      return zu::AttemptResult::kRetry;
    case zu::folder::HeldStep::kReadFrom:
    case zu::folder::HeldStep::kRestart:
      break;
  }
  outcome.goesBack = true;
  outcome.from = next.from;
  outcome.held = held;
  outcome.sentEnd = chunk.endOffset;
  return zu::AttemptResult::kStop;
}

// After a failed attempt: asks the server how many bytes it holds. kSuccess
// when it holds the chunk exactly (for the last chunk: the whole file, with
// its GUID), kRetry when it holds everything before the chunk (which is
// then sent again), kStop when the query failed or the upload goes back
// (`outcome` says where). A last chunk whose query named no GUID asks once
// more; `askedAgain` is that second query.
zu::AttemptResult QueryHeldOffset(const ChunkSend& chunk, LIBCURL::ZuInternetGateway* gateway,
                                  int attempt, ChunkOutcome& outcome, std::wstring& errorMessage,
                                  bool askedAgain = false) {
  long long held = 0;
  std::string guid;
  if (!QueryOffset(chunk.params, OffsetQuery{gateway, chunk.url, chunk.headers, chunk.fileName},
                   true, held, &guid)) {
    return zu::AttemptResult::kStop;
  }
  if (held != chunk.endOffset) {
    bool unused = false;  // the caller sends the chunk again without asking
    return FollowHeldOffset(chunk, held, unused, outcome);
  }
  if (chunk.last && guid.empty()) {
    if (askedAgain) {
      chunk.log->Error(kUploadTag,
                       "Error: The server holds all [%lld] bytes of file [%s] but named no "
                       "fileGUID, also when asked again.",
                       held, chunk.fileName.c_str());
      errorMessage =
          L"Error: The cloud holds the whole file but named no file GUID for it; the upload is "
          L"not confirmed.";
      return zu::AttemptResult::kStop;
    }
    chunk.log->Error(kUploadTag,
                     "Warning: The server holds all [%lld] bytes of file [%s] but named no "
                     "fileGUID; asking for it once more.",
                     held, chunk.fileName.c_str());
    return QueryHeldOffset(chunk, gateway, attempt, outcome, errorMessage, true);
  }
  chunk.log->DebugLvl(5, kUploadTag,
                      "Success: upload of chunk to cloud for file [%s] was successfull. chunk "
                      "offset [%llu], Upload attempt [%d].",
                      chunk.fileName.c_str(), static_cast<unsigned long long>(held), attempt);
  if (chunk.last) {
    outcome.fileGUID = guid;
    outcome.uploaded = true;
  }
  return zu::AttemptResult::kSuccess;
}

// The reply to the last chunk: it confirms the file when it names the GUID
// and, when it names an offset too, that offset is the file's size. Any
// other offset it names decides as the server's offset does.
zu::AttemptResult ReadLastChunkReply(const ChunkSend& chunk, const CNMessageBase& reply,
                                     const std::string& response, long long held,
                                     bool& queryAfterFailure, ChunkOutcome& outcome,
                                     std::wstring& errorMessage) {
  using namespace zu::msg;
  EvDebug* log = chunk.log;
  if (Contains(response, "chunkOffset") && held != chunk.endOffset) {
    log->Error(kUploadTag, "Error: Chunk Offset received from webserver: [%lld], output XML: [%s].",
               held, response.c_str());
    return FollowHeldOffset(chunk, held, queryAfterFailure, outcome);
  }
  const std::string guid = Contains(response, "fileGUID")
                               ? reply.getstring(kUploadFileGUID.number, kUploadFileGUID.tag,
                                                 kUploadFileResp.key, kUploadFileGUID.key)
                               : std::string();
  if (guid.empty()) {
    log->Error(kUploadTag, "Error: Unserialization failed for string [%s]", response.c_str());
    errorMessage = L"Error: Failed to login to cloud. Please check the internet connection";
    queryAfterFailure = true;
    return zu::AttemptResult::kRetry;
  }
  outcome.fileGUID = guid;
  outcome.uploaded = true;
  return zu::AttemptResult::kSuccess;
}

// Reads the reply to a chunk that was sent. `queryAfterFailure` tells
// whether a failure of this attempt asks for the held offset next time.
zu::AttemptResult ReadChunkReply(const ChunkSend& chunk, const std::string& response,
                                 bool& queryAfterFailure, ChunkOutcome& outcome,
                                 std::wstring& errorMessage) {
  using namespace zu::msg;
  EvDebug* log = chunk.log;
  if (response.empty() || !(Contains(response, "fileGUID") || Contains(response, "chunkOffset"))) {
    log->Error(kUploadTag, "Error: Webserver responded with response string: [%s].",
               response.c_str());
    queryAfterFailure = true;
    return zu::AttemptResult::kRetry;
  }
  CNMessageBase reply(kUploadFileResp.type, kUploadFileResp.id);
  if (reply.unserialize(response.c_str()) != 0) {
    log->Error(kUploadTag, "Error: Unserialization failed for string [%s].", response.c_str());
    errorMessage = L"Error: Unserialization failed for response string";
    queryAfterFailure = true;
    return zu::AttemptResult::kRetry;
  }
  // 0 when the reply names no offset.
  const long long held =
      reply.getint64(kUploadChunkOffset.number, kUploadFileResp.key, kUploadChunkOffset.key);
  if (chunk.last) {
    return ReadLastChunkReply(chunk, reply, response, held, queryAfterFailure, outcome,
                              errorMessage);
  }
  // Only the offset of the chunk's end confirms it (a chunk before the last
  // one is never empty, so that offset is above 0). A reply that names no
  // offset tells nothing: the next attempt asks.
  if (held == chunk.endOffset) return zu::AttemptResult::kSuccess;
  log->Error(kUploadTag, "Error: Chunk Offset received from webserver: [%lld], output XML: [%s].",
             held, response.c_str());
  if (!Contains(response, "chunkOffset")) {
    queryAfterFailure = true;
    return zu::AttemptResult::kRetry;
  }
  return FollowHeldOffset(chunk, held, queryAfterFailure, outcome);
}

// The request of one attempt at a chunk. From the second attempt on, the
// held offset is asked first, unless the attempt before already did and
// then resent the whole chunk from its first byte, whatever the server
// held; an answer of that question that decides the attempt goes to
// `decided`, and nothing is sent.
int SendChunkAttempt(const ChunkSend& chunk, LIBCURL::ZuInternetGateway& gateway, int attempt,
                     bool& queryAfterFailure, std::optional<zu::AttemptResult>& decided,
                     ChunkOutcome& outcome, std::string& response, std::wstring& errorMessage) {
  decided.reset();
  if (attempt > 1 && queryAfterFailure) {
    const zu::AttemptResult held = QueryHeldOffset(chunk, &gateway, attempt, outcome, errorMessage);
    if (held != zu::AttemptResult::kRetry) {
      decided = held;
      return 0;
    }
    queryAfterFailure = false;
  }
  return gateway.doPostOperation(chunk.url, chunk.data, static_cast<long>(chunk.length), response,
                                 chunk.headers);
}

// What one attempt at a chunk came to.
zu::AttemptResult ReadChunkAttempt(const ChunkSend& chunk, const zu::ConsoleReply& reply,
                                   const std::optional<zu::AttemptResult>& decided,
                                   bool& queryAfterFailure, ChunkOutcome& outcome) {
  if (decided) return *decided;
  if (reply.posted != 0) {
    chunk.log->Error(kUploadTag,
                     "Error: Failed to upload chunk to cloud for file [%s]. Upload attempt [%d]. "
                     "Curl Error Message [%s], Error response: [%s]",
                     chunk.fileName.c_str(), reply.attempt, reply.gateway.getErrorMsg().c_str(),
                     reply.response.c_str());
    reply.errorMessage = L"Error: Failed to upload chunk to cloud.";
    queryAfterFailure = true;
    return zu::AttemptResult::kRetry;
  }
  return ReadChunkReply(chunk, reply.response, queryAfterFailure, outcome, reply.errorMessage);
}

// Sends one chunk over a gateway of its own, kept for all its attempts and
// offset queries; false when every attempt failed, or when the upload goes
// back to an earlier offset (`outcome` says so).
bool SendChunk(const ChunkSend& chunk, ChunkOutcome& outcome, std::wstring& errorMessage) {
  EvDebug* log = chunk.log;
  zu::GatewayHolder gateway(log, chunk.service.initZuInternetGateway(chunk.url));
  if (!gateway) {
    log->Error(kUploadTag, "Error: Failed to initialize ZuInternetGateway.");
    errorMessage = zu::NoGatewayMessage(L"Error: Failed to initialize ZuInternetGateway.");
    return false;
  }
  gateway->setSendPaced(1);

  const unsigned long long startOffset =
      static_cast<unsigned long long>(chunk.endOffset - chunk.length);
  const unsigned long long stopOffset = static_cast<unsigned long long>(chunk.endOffset);
  zu::ConsoleOperation op;
  op.gateway = gateway.get();
  op.headers = zu::ConsoleHeaders::kOwn;
  op.ownHeaders = [&chunk](const std::string&) { return chunk.headers; };
  // An attempt stopped by a failed offset query was not completed.
  op.wait = zu::FixedWaitRetry(chunk.params.retryCount, zu::kRetryWaitMs, false,
                               zu::TotalCount::kAttemptsBeforeEarlyStop);
  op.lines = zu::StandardRetryLines(
      log, kUploadTag,
      zu::FormatLogText("Error: Failed to upload chunk to cloud for file [%s], chunk offset "
                        "start: [%llu] end: [%llu]. ",
                        chunk.fileName.c_str(), startOffset, stopOffset),
      zu::kRetryingAfterLine);
  op.lines->totalRetryCount = [&](int total) {
    if (outcome.goesBack) return;  // the upload's restart line tells
    log->Error(kUploadTag,
               "Error: Failed to upload [%s] file to cloud. Failed chunk start offset: [%llu], "
               "end offset: [%llu]. Total retry attempts: [%d], API URL [%s], User Name [%s]",
               chunk.fileName.c_str(), startOffset, stopOffset, total, chunk.url.c_str(),
               chunk.params.userName.c_str());
  };
  bool queryAfterFailure = true;
  std::optional<zu::AttemptResult> decided;  // by the offset query, nothing sent
  op.send = [&](LIBCURL::ZuInternetGateway& to, const ZuCURL::commandInfoList&,
                std::string& response, int attempt) {
    return SendChunkAttempt(chunk, to, attempt, queryAfterFailure, decided, outcome, response,
                            errorMessage);
  };
  op.read = [&](const zu::ConsoleReply& reply) {
    return ReadChunkAttempt(chunk, reply, decided, queryAfterFailure, outcome);
  };
  return zu::RunConsoleStep(chunk.params, kUploadTag, op, errorMessage) == 1;
}

// One file's upload as each pass over it sees it: where it goes, what
// names it, the buffer its chunks are read into and its progress.
struct FileTarget {
  ZUCloudService& service;
  const zu::SessionParams& params;
  const std::string& chunkBase;  // the chunk URL up to the request ID
  const std::string& path;
  const std::string& fileName;
  const std::string& fileSize;
  const std::string& modifiedTime;
  const std::string& base64FileName;
  const std::string& base64ParentPath;
  const std::string& sessionToken;
  char* buffer;
  long long capacity;
  ConfirmedProgress& progress;
};

// Reads the first chunk and opens the upload session with it: the request
// ID and the file offset after the chunk, or false (after the lines and the
// message).
bool StartUploadSession(const FileTarget& target, ChunkReader& reader, long long& endOffset,
                        std::string& requestId, std::wstring& errorMessage) {
  long long chunkLength = 0;
  std::string problem;
  if (!reader.Read(target.buffer, target.capacity, chunkLength, problem)) {
    ReadFailed(target.params.log, reader, target.path, target.fileName, problem, errorMessage);
    return false;
  }
  endOffset = chunkLength;
  if (target.service.GetChunkUploadSessionID(target.base64ParentPath, target.base64FileName,
                                             target.fileSize, chunkLength, target.modifiedTime,
                                             target.buffer, requestId, errorMessage) != 1) {
    return false;
  }
  target.progress.Confirmed(endOffset);
  return true;
}

// Reads and sends the chunks after `chunk` (the one that ended at its
// endOffset) up to the one that follows the read reaching the end of the
// file. False (after the lines and the message) when a read or a chunk
// failed.
bool SendRemainingChunks(ChunkSend chunk, const FileTarget& target, ChunkReader& reader,
                         ChunkOutcome& outcome, std::wstring& errorMessage) {
  std::string problem;
  while (!chunk.last) {
    if (!reader.Read(target.buffer, target.capacity, chunk.length, problem)) {
      ReadFailed(chunk.log, reader, target.path, chunk.fileName, problem, errorMessage);
      return false;
    }
    chunk.endOffset += chunk.length;
    // Appended once, right after the read that found the end of the file;
    // from then on every request of this pass carries it.
    chunk.last = reader.AtEnd();
    if (chunk.last) chunk.headers.emplace_back("FileEOF", "1");
    if (!SendChunk(chunk, outcome, errorMessage)) return false;
    target.progress.Confirmed(chunk.endOffset);
  }
  return true;
}

// One pass over the file, from byte 0 (`from` 0: the session request with
// the first chunk opens a new session, whose ID goes to `requestId`) or
// from `from`, a chunk boundary the server of session `requestId` holds,
// then the chunks after it. True once the server confirmed the whole file;
// false when it did not or the upload goes back (`outcome` says which).
// "FileEOF" is sent from the read that reaches the end in this pass on.
bool UploadPass(const FileTarget& target, ChunkReader& reader, long long from,
                std::string& requestId, ChunkOutcome& outcome, std::wstring& errorMessage) {
  long long endOffset = from;
  if (from == 0) {
    if (!StartUploadSession(target, reader, endOffset, requestId, errorMessage)) return false;
  } else {
    const CPzError skipped = reader.SkipTo(from);
    if (skipped.IsError()) {
      ReadFailed(target.params.log, reader, target.path, target.fileName, skipped.Message(),
                 errorMessage);
      return false;
    }
  }
  const std::string chunkUrl = target.chunkBase + requestId;
  ZuCURL::commandInfoList headers =
      UploadHeaders(target.sessionToken, target.base64FileName, target.fileSize,
                    target.modifiedTime, target.base64ParentPath);
  const ChunkSend next{target.service, target.params,   target.params.log, chunkUrl,
                       headers,        target.fileName, target.buffer,     0,
                       endOffset,      false,           target.capacity};
  return SendRemainingChunks(next, target, reader, outcome, errorMessage) && outcome.uploaded;
}

// Pass `pass` (from 1) over the file; each after the first opens the file
// again and starts where the pass before it went back to: byte 0 with a new
// session, or a chunk boundary the server holds. kRetryNow when the upload
// goes back again.
zu::AttemptResult RunPass(const FileTarget& target, const zu::FileIdentity& identity, int pass,
                          int restarts, std::unique_ptr<ChunkReader>& reader,
                          std::string& requestId, ChunkOutcome& outcome,
                          std::wstring& errorMessage) {
  EvDebug* log = target.params.log;
  long long from = 0;
  if (pass > 1) {
    from = outcome.from;
    if (from == 0) {
      log->Error(kUploadTag,
                 "Error: The server holds [%lld] bytes of file [%s] where [%lld] were sent; its "
                 "upload starts again from byte 0 (restart [%d] of [%d]).",
                 outcome.held, target.fileName.c_str(), outcome.sentEnd, pass - 1, restarts);
    } else {
      log->Error(kUploadTag,
                 "Error: The server holds [%lld] bytes of file [%s] where [%lld] were sent; its "
                 "upload goes on from byte [%lld], read again (restart [%d] of [%d]).",
                 outcome.held, target.fileName.c_str(), outcome.sentEnd, from, pass - 1, restarts);
    }
    outcome = ChunkOutcome();
    reader = ReopenForRestart(log, target.path, target.fileName, identity, reader->DropsPages(),
                              errorMessage);
    if (!reader) return zu::AttemptResult::kStop;
  }
  if (UploadPass(target, *reader, from, requestId, outcome, errorMessage)) {
    return zu::AttemptResult::kSuccess;
  }
  return outcome.goesBack ? zu::AttemptResult::kRetryNow : zu::AttemptResult::kStop;
}

// Uploads the file in passes: the first from byte 0, then one more each time
// the server named an offset that sends the upload back, up to the retry
// count of them. 1 once the server confirmed the whole file.
int UploadInPasses(const FileTarget& target, const zu::FileIdentity& identity,
                   std::unique_ptr<ChunkReader> reader, std::string& fileGUID,
                   std::wstring& errorMessage) {
  const int restarts = std::max(target.params.retryCount, 0);
  zu::RetryOptions options;
  options.limit = restarts + 1;
  options.wait = zu::WaitKind::kNone;
  ChunkOutcome outcome;
  std::string requestId;
  const zu::RetryOutcome passes = zu::RunWithRetry(options, zu::RetryLines{}, [&](int pass) {
    return RunPass(target, identity, pass, restarts, reader, requestId, outcome, errorMessage);
  });
  if (passes.succeeded) {
    fileGUID = outcome.fileGUID;
    return 1;
  }
  if (outcome.goesBack) {
    target.params.log->Error(
        kUploadTag,
        "Error: The server holds [%lld] bytes of file [%s] where [%lld] were sent, after [%d] "
        "restarts of its upload; the file was not uploaded.",
        outcome.held, target.fileName.c_str(), outcome.sentEnd, restarts);
    errorMessage =
        outcome.held > outcome.sentEnd
            ? L"Error: The cloud holds more bytes of the file than were sent, also after its "
              L"upload was started again; the file was not uploaded."
            : L"Error: The cloud holds fewer bytes of the file than were sent, also after its "
              L"upload was started again; the file was not uploaded.";
  }
  return 0;
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
    const std::string chunkBase = UploadBase(m_uploadURL, m_shareID) + "&requestId=";
    if (!m_bInitialized) {
      errorMessage = zu::folder::kNotInitialized;
      return 0;
    }

    const zu::UploadTuning tuning = zu::ReadUploadTuning(1);
    const std::string path = sourceDir + fileName;
    zu::FileIdentity identity;
    std::unique_ptr<ChunkReader> reader =
        OpenForUpload(log, sourceDir, path, !tuning.keepPageCache, identity, errorMessage);
    if (!reader) return 0;
    const std::string fileSize = std::to_string(identity.size);

    // The operator's cap covers every file byte this process sends.
    zu::SendPacer::Global().SetRate(static_cast<unsigned long long>(tuning.maxMbps) * 125000ULL);
    const long long chunkCapacity = m_chunkSize;
    zu::PageBuffer buffer(static_cast<size_t>(chunkCapacity));  // zeroed, page-aligned
    ConfirmedProgress progress(fileName, identity.size);

    std::string sessionToken;
    if (!DoLogin(errorMessage, sessionToken, false)) return 0;

    const std::string base64FileName = zu::Base64OneLine(fileName);
    const std::string base64ParentPath = zu::Base64OneLine(parentPath);
    const zu::SessionParams params = sessionParams();
    const FileTarget target{
        *this,        params,         chunkBase,        path,         fileName,      fileSize,
        modifiedTime, base64FileName, base64ParentPath, sessionToken, buffer.data(), chunkCapacity,
        progress};
    // Only a server that holds the whole file and named its GUID makes the
    // upload a success: through the last chunk's reply or, when that reply
    // was lost, the offset query (asked once more when it named no GUID).
    // A server that holds more bytes than were sent gets the file again.
    return UploadInPasses(target, identity, std::move(reader), fileGUID, errorMessage);
  });
  return WithUploadMessage(result, errorMessage);
}
