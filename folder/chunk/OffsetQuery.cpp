#include "folder/chunk/OffsetQuery.h"

#include <utility>

#include "folder/chunk/UploadRequest.h"
#include "platform/log/EvDebug.h"
#include "platform/xml/CNMessage.h"
#include "session/ConsoleOperation.h"
#include "session/MessageReply.h"
#include "session/RetryLines.h"
#include "session/RetryPolicy.h"

namespace zu::folder {
namespace {

constexpr unsigned int kOffsetQueryWaitMs = 60000;

// Reads the reply to an offset query (see QueryOffset).
AttemptResult ReadHeldOffset(EvDebug* log, CNMessageBase& reply, const ConsoleReply& at,
                             bool zeroIsAnswer, long long& offset, std::string* fileGUID) {
  using namespace msg;
  const long long held =
      reply.getint64(kUploadChunkOffset.number, kUploadFileResp.key, kUploadChunkOffset.key);
  offset = held;
  if (fileGUID != nullptr) {
    *fileGUID = reply.getstring(kUploadFileGUID.number, kUploadFileGUID.tag, kUploadFileResp.key,
                                kUploadFileGUID.key);
    if (!fileGUID->empty()) return AttemptResult::kSuccess;
  }
  if (held > 0 || (zeroIsAnswer && held == 0)) return AttemptResult::kSuccess;
  offset = 0;
  log->Error(kOffsetTag, "Error: Chunk Offset received from webserver: [%lld], output XML: [%s].",
             held, at.response.c_str());
  return AttemptResult::kRetry;
}

// What the reply must be, and the lines when it is not.
MessageReplyRules OffsetReplyRules(EvDebug* log, const OffsetQuery& query) {
  MessageReplyRules rules;
  rules.mention = "chunkOffset";
  rules.postFailed.custom = [log, &query](const ConsoleReply& reply) {
    log->Error(kOffsetTag,
               "Error: Failed to get chunk offset for file [%s]. Upload attempt [%d]. Curl "
               "Error Message [%s], Error response: [%s]",
               query.fileName.c_str(), reply.attempt, reply.gateway.getErrorMsg().c_str(),
               reply.response.c_str());
  };
  rules.noMention.line = "Error: Webserver responded with response string: [%s].";
  rules.unreadable.line = "Error: Unserialization failed for string [%s].";
  return rules;
}

}  // namespace

bool QueryOffset(const SessionParams& params, const OffsetQuery& query, bool zeroIsAnswer,
                 long long& offset, std::string* fileGUID) {
  if (query.gateway == nullptr) return false;
  EvDebug* log = params.log;
  std::wstring unused;  // the chunk's own attempt words the caller's message
  return RunConsoleOperation(params, kOffsetTag, nullptr, unused, [&](ConsoleOperation& op) {
           op.url = query.url;
           op.bytes = "";  // no body: the reply tells the offset the server holds
           op.gateway = query.gateway;
           op.headers = ConsoleHeaders::kOwn;
           op.ownHeaders = [&query](const std::string&) { return query.headers; };
           op.wait = FixedWaitRetry(params.retryCount, kOffsetQueryWaitMs, false);
           // No total line: the caller reports the chunk as a whole.
           op.retryPrefix = FormatLogText(
               "Error: Failed to get last uploaded chunk offset to cloud for file [%s]. ",
               query.fileName.c_str());
           op.retryLineSet = kRetryingAfterLine;
           op.read = ReadMessageReply(OffsetReplyRules(log, query), msg::kUploadFileResp,
                                      [log, zeroIsAnswer, &offset, fileGUID](
                                          CNMessageBase& reply, const ConsoleReply& at) {
                                        return ReadHeldOffset(log, reply, at, zeroIsAnswer, offset,
                                                              fileGUID);
                                      });
         }) == 1;
}

}  // namespace zu::folder
