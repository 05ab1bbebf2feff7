// Put Block List (BlockList.h), and ZUCloudAzureService::UploadBlockList and
// CommitBlockList on top of it.
#include "blob/storage/BlockList.h"

#include <new>
#include <string>
#include <vector>

#include "ZUCloudAzureService.h"
#include "blob/storage/BlobPath.h"
#include "blob/storage/BlockId.h"
#include "blob/storage/StorageRequest.h"
#include "blob/storage/TokenRefresh.h"
#include "platform/http/ZuInternetGateway.h"
#include "platform/log/EvDebug.h"
#include "platform/text/FXString.h"
#include "platform/xml/XmlDom.h"
#include "session/ConsoleOperation.h"
#include "session/NoThrow.h"
#include "session/RetryPolicy.h"
#include "session/SessionParams.h"

namespace zu::blob {
namespace {

constexpr const char* kTag = "UploadBlockList";
constexpr int kBadRequest = 400;
constexpr const wchar_t* kFailedMessage = L"Error: Failed to upload chunk to cloud.";

// The block list body on one line. Block ids are Base64 text and need no
// escaping.
std::string BuildBlockListBody(const std::vector<std::string>& blockIds) {
  std::string body = "<?xml version=\"1.0\" encoding=\"utf-8\"?> <BlockList>";
  for (const std::string& id : blockIds) {
    body += "<Uncommitted>";
    body += id;
    body += "</Uncommitted>";
  }
  body += "</BlockList>";
  return body;
}

// What a failed attempt says about the blob.
enum class FailedCommit {
  kRefused,     // storage answered and did not commit; a resend may succeed
  kUnknown,     // no HTTP status came back: storage may have committed
  kBlocksGone,  // a resend refused with InvalidBlockList: the blocks were committed or dropped
};

// True for a storage error reply whose code is `code`.
bool HasErrorCode(const std::string& response, const char* code) {
  const xml::TreeResult tree = xml::ParseTree(response);
  if (tree.status != xml::ParseStatus::kOk || tree.root.name != "Error") return false;
  for (const xml::Node& child : tree.root.children) {
    if (child.name == "Code") return child.text == code;
  }
  return false;
}

FailedCommit ClassifyFailure(const ConsoleReply& reply, int status) {
  // A transport failure before any status, or after a 2xx status line whose
  // reply was then cut short. A request the gateway refused never left.
  if (reply.posted != 0 && status < 300 && !LIBCURL::RequestRefusedOnThisThread()) {
    return FailedCommit::kUnknown;
  }
  if (reply.attempt > 1 && status == kBadRequest &&
      HasErrorCode(reply.response, "InvalidBlockList")) {
    return FailedCommit::kBlocksGone;
  }
  return FailedCommit::kRefused;
}

// True when the ids carry an upload tag, so that no other upload's commit
// can name them.
bool IdsCarryTag(const std::vector<std::string>& ids) {
  unsigned int number = 0;
  std::string tag;
  return !ids.empty() && BlockNumberOfId(ids.front(), number, tag) && !tag.empty();
}

// The error line of a failed attempt, as it has always been written.
void LogFailedAttempt(const ConsoleReply& reply, int status, const std::string& fileName,
                      const std::string& body) {
  if (reply.posted == 0) {
    reply.log->Error(kTag,
                     "Error: Block list for file [%s] was answered with HTTP status [%d] instead "
                     "of [%d]; the commit is not confirmed. Upload attempt [%d]. Response: [%s]",
                     fileName.c_str(), status, kStoredStatus, reply.attempt,
                     reply.response.c_str());
  } else {
    reply.log->Error(kTag,
                     "Error: Failed to upload chunk to cloud for file [%s], Input XML [%s]. "
                     "Upload attempt [%d]. Curl Error Message [%s], Error response: [%s]",
                     fileName.c_str(), body.c_str(), reply.attempt,
                     reply.gateway.getErrorMsg().c_str(), reply.response.c_str());
  }
}

// Reads the committed block list: true when it is this commit. `failure`
// says why it could not be read. A token that cannot read (`unreadable`,
// kept across the commit's attempts) is not asked again: one line says so
// and the commit is not taken as done.
bool FindCommit(const SessionParams& params, const BlockCommit& commit, std::string& failure,
                bool& unreadable) {
  if (unreadable) {
    failure = NoReadPermissionText();
    return false;
  }
  const bool replyLost = LIBCURL::ReplyLostOnThisThread();
  const BlockListing listing = QueryBlockList(
      params, commit.blobUrl, commit.sasToken, commit.fileName, BlockListType::kCommitted,
      BackoffRetry(kCommittedListAttempts, commit.backoffCapSeconds, false));
  // The reading ran requests of its own: what the retry loop learns of the
  // attempt is the commit's again (it was not refused; its reply may have
  // been lost).
  LIBCURL::ClearRequestRefusedOnThisThread();
  if (replyLost) LIBCURL::NoteReplyLostOnThisThread();
  failure = listing.answered ? std::string() : listing.failure;
  if (listing.noReadPermission) {
    unreadable = true;
    params.log->Error(kTag,
                      "Warning: Cannot read the committed block list of file [%s] to learn "
                      "whether its commit was carried out: %s; the commit is not taken as done.",
                      commit.fileName.c_str(), failure.c_str());
  }
  return listing.answered && IsThisCommit(listing.blocks, commit.ids, commit.fileSize);
}

// After InvalidBlockList and a committed list that is not this commit: no
// resend can succeed.
AttemptResult BlocksGone(const ConsoleReply& reply, const BlockCommit& commit,
                         const std::string& failure) {
  const std::string why =
      failure.empty() ? std::string("the blob's committed block list is not this upload's")
                      : "the blob's committed block list could not be read (" + failure + ")";
  reply.log->Error(kTag,
                   "Error: Storage no longer holds the blocks of file [%s] uncommitted "
                   "(InvalidBlockList) and %s; the block list is not sent again.",
                   commit.fileName.c_str(), why.c_str());
  reply.errorMessage = FXString::ToWstring(
      "Error: Failed to upload file [" + commit.fileName +
      "] to cloud: storage refused its block list because it no longer holds the file's blocks "
      "uncommitted, and " +
      why + ". Please check ZUCloudService.log for more details.");
  return AttemptResult::kStop;
}

// One attempt's reply. Storage confirms a commit with 201 Created. Any other
// 2xx answer (an empty or foreign 200 from something between us and
// storage) proves nothing about the blob, so it is a failed attempt, never a
// success the completion report would then list.
AttemptResult ReadCommitReply(const SessionParams& params, const ConsoleReply& reply,
                              const BlockCommit& commit, const std::string& body,
                              StorageJudgement& refusal, bool& unreadable) {
  int status = 0;
  reply.gateway.getLastServerResponseCode(status);
  if (reply.posted == 0 && status == kStoredStatus) return AttemptResult::kSuccess;
  LogFailedAttempt(reply, status, commit.fileName, body);
  const StorageJudgement judgement =
      JudgeStorageReply(reply.gateway, reply.posted, reply.response, kStoredStatus);
  if (judgement.verdict == StorageVerdict::kTokenRefused ||
      judgement.verdict == StorageVerdict::kFinal) {
    refusal = judgement;  // CommitBlocks decides
    return AttemptResult::kStop;
  }
  const FailedCommit failed =
      commit.recognizeLostReply ? ClassifyFailure(reply, status) : FailedCommit::kRefused;
  const bool look = failed == FailedCommit::kBlocksGone ||
                    (failed == FailedCommit::kUnknown && IdsCarryTag(commit.ids));
  std::string failure;
  if (look && FindCommit(params, commit, failure, unreadable)) {
    reply.log->Error(kTag,
                     "Warning: The block list of file [%s] was found committed although the "
                     "reply to its commit was lost; the commit is taken as done.",
                     commit.fileName.c_str());
    return AttemptResult::kSuccess;
  }
  if (failed == FailedCommit::kBlocksGone) return BlocksGone(reply, commit, failure);
  reply.errorMessage = kFailedMessage;
  return AttemptResult::kRetry;
}

}  // namespace

bool IsThisCommit(const std::vector<ListedBlock>& committed, const std::vector<std::string>& ids,
                  unsigned long long fileSize) {
  if (committed.size() != ids.size()) return false;
  unsigned long long total = 0;
  for (size_t i = 0; i < ids.size(); ++i) {
    if (committed[i].name != ids[i] || committed[i].size > fileSize - total) return false;
    total += committed[i].size;
  }
  return total == fileSize;
}

namespace {

// One run of the commit's attempts with `token`; `refusal` receives the
// reply that stopped them when storage refused the commit with 403 or for
// good. `unreadable`: the committed list cannot be read (FindCommit).
int CommitWithToken(const SessionParams& params, const BlockCommit& commit,
                    StorageJudgement& refusal, bool& unreadable, std::wstring& errorMessage) {
  EvDebug* log = params.log;
  return RunConsoleOperation(params, kTag, kFailedMessage, errorMessage, [&](ConsoleOperation& op) {
    op.method = ConsoleMethod::kPut;
    op.url = commit.blobUrl + "?comp=blocklist&" + commit.sasToken;
    op.body = BuildBlockListBody(commit.ids);
    op.headers = ConsoleHeaders::kOwn;
    op.ownHeaders = [&](const std::string&) {
      ZuCURL::commandInfoList headers;
      AddCommitHeaders(headers, commit.fileMd5Base64, commit.accessTier);
      AddEncryptionData(headers, commit.encryptionData);
      return headers;
    };
    op.noGatewayLine = [log] {
      log->Error(kTag, "Error: Failed to initialize ZuInternetGateway.");
    };
    op.noGatewayMessage = L"Error: Failed to initialize ZuInternetGateway.";
    op.wait = FixedWaitRetry(params.retryCount, zu::kRetryWaitMs, false);
    op.lines = RetryLines{};
    op.read = [&params, &commit, &op, &refusal, &unreadable](const ConsoleReply& reply) {
      return ReadCommitReply(params, reply, commit, op.body, refusal, unreadable);
    };
  });
}

}  // namespace

int CommitBlocks(const SessionParams& params, const BlockCommit& commit,
                 std::wstring& errorMessage) {
  int committed = 0;
  bool unreadable = false;
  const RefreshedSend sent =
      SendWithRefresh(commit.tokens, commit.sasToken, [&](const std::string& token) {
        StorageJudgement refusal;
        // The committed list of a lost reply is read with the same token.
        BlockCommit current = commit;
        current.sasToken = token;
        committed = CommitWithToken(params, current, refusal, unreadable, errorMessage);
        if (committed != 0) refusal.verdict = StorageVerdict::kConfirmed;
        return refusal;
      });
  if (committed != 0 || !sent.final) return committed;
  const std::string message = FinalRefusalMessage(commit.fileName, sent.judgement, sent.meaning);
  params.log->Error(kTag, "%s The block list is not sent again.", message.c_str());
  errorMessage = FXString::ToWstring(message);
  return 0;
}

}  // namespace zu::blob

int ZUCloudAzureService::UploadBlockList(const std::vector<std::string>& blockIds,
                                         const std::string& remoteFolder,
                                         const std::string& fileName, const std::string& sasToken,
                                         std::wstring& errorMessage) {
  return CommitBlockList(blockIds, remoteFolder, fileName, sasToken, std::string(), std::string(),
                         errorMessage);
}

int ZUCloudAzureService::CommitBlockList(const std::vector<std::string>& blockIds,
                                         const std::string& remoteFolder,
                                         const std::string& fileName, const std::string& sasToken,
                                         const std::string& fileMd5Base64,
                                         const std::string& accessTier,
                                         std::wstring& errorMessage) {
  auto onFailure = [&errorMessage] {
    errorMessage = zu::blob::kFailedMessage;
    return 0;
  };
  return zu::NoThrow(m_evDbg.get(), zu::blob::kTag, onFailure, [&]() -> int {
    // The same encoded path the blocks were sent to.
    std::string blobPath;
    std::string problem;
    if (!zu::blob::BuildBlobPath(remoteFolder, fileName, blobPath, problem)) {
      const std::string text = zu::blob::RefusedNameMessage(fileName, problem);
      m_evDbg->Error(zu::blob::kTag, "%s", text.c_str());
      errorMessage = FXString::ToWstring(text);
      return 0;
    }
    // A host's own blocks: the file's length is not known here, so a lost
    // reply is not looked for.
    zu::blob::BlockCommit commit;
    commit.blobUrl = m_uploadURL + blobPath;
    commit.sasToken = sasToken;
    commit.fileName = fileName;
    commit.ids = blockIds;
    commit.fileMd5Base64 = fileMd5Base64;
    commit.accessTier = accessTier;
    return zu::blob::CommitBlocks(sessionParams(), commit, errorMessage);
  });
}
