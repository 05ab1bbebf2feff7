#include "blob/storage/UncommittedBlocks.h"

#include <new>
#include <utility>

#include "blob/storage/StorageRequest.h"
#include "platform/http/ZuInternetGateway.h"
#include "platform/log/EvDebug.h"
#include "platform/text/Decimal.h"
#include "platform/xml/XmlDom.h"
#include "session/ConsoleOperation.h"

namespace zu::blob {
namespace {

constexpr const char* kTag = "GetBlockList";
constexpr int kOk = 200;
// The service holds at most 100,000 uncommitted blocks per blob (and
// commits at most 50,000); a block list entry of an id of up to 64 bytes
// takes some 130 bytes. A larger reply, or one listing more blocks, is not a
// list the service sent: it is not parsed (a DOM of it would cost some 25
// times its size); a resumed upload then starts from the first block, and a
// commit is not taken as found.
constexpr long long kMaxReplyBytes = 8LL * 1024 * 1024;
constexpr size_t kMaxUncommittedBlocks = 100000;

// Elements named "Block" in `xml`, counted on the raw text before any parse
// ("<BlockList" is not one).
size_t CountBlockElements(const std::string& xml) {
  size_t count = 0;
  for (size_t pos = xml.find("<Block"); pos != std::string::npos;
       pos = xml.find("<Block", pos + 6)) {
    const char next = pos + 6 < xml.size() ? xml[pos + 6] : '\0';
    if (next == '>' || next == '/' || next == ' ' || next == '\t' || next == '\r' || next == '\n') {
      ++count;
    }
  }
  return count;
}

const char* TooManyBlocksProblem() {
  return "the reply lists more than 100000 blocks, more than the service holds for a blob";
}

const xml::Node* Child(const xml::Node& node, const char* name) {
  for (const xml::Node& child : node.children) {
    if (child.name == name) return &child;
  }
  return nullptr;
}

const char* ListTypeName(BlockListType type) {
  return type == BlockListType::kCommitted ? "committed" : "uncommitted";
}

// "block list" as the log lines of a resume have always named it; the
// committed list says so.
const char* ListLineName(BlockListType type) {
  return type == BlockListType::kCommitted ? "committed block list" : "block list";
}

// One attempt's reply: the blocks of the list asked for into `result`, or
// why there are none (in result.failure).
AttemptResult ReadBlockListReply(const ConsoleReply& reply, const std::string& fileName,
                                 const std::string& url, BlockListType type, BlockListing& result) {
  const int rc = reply.posted;
  int status = 0;
  reply.gateway.getLastServerResponseCode(status);
  result.status = status;
  // Asking again would bring the same oversized answer: the caller's one
  // line tells why.
  if (rc != 0 && reply.gateway.replyTooLarge()) {
    result.failure =
        "the reply is larger than 8 MiB, more than the service's 100000 "
        "uncommitted blocks take";
    return AttemptResult::kStop;
  }
  if (rc == 0 && status == kOk && CountBlockElements(reply.response) > kMaxUncommittedBlocks) {
    result.failure = TooManyBlocksProblem();
    return AttemptResult::kStop;
  }
  std::string problem;
  if (rc == 0 && status == kOk && ParseBlockList(reply.response, type, result.blocks, problem)) {
    return AttemptResult::kSuccess;
  }
  if (rc == 0) {
    result.failure = status == kOk ? problem : "HTTP status " + std::to_string(status);
  } else {
    result.failure = reply.gateway.getErrorMsg();
  }
  if (rc != 0 && IsFinalReadStatus(status)) {
    // The caller's one line tells why; asking again would not help.
    result.noReadPermission =
        IsPermissionRefusal(status, StorageErrorCode(reply.gateway, reply.response));
    result.failure = result.noReadPermission
                         ? NoReadPermissionText()
                         : result.failure + ", response [" + reply.response + "]";
    return AttemptResult::kStop;
  }
  reply.log->Error(kTag,
                   "Error: Failed to get the %s of file [%s]: %s. Attempt [%d]. URL [%s]. "
                   "Response: [%s]",
                   ListLineName(type), fileName.c_str(), result.failure.c_str(), reply.attempt,
                   url.c_str(), reply.response.c_str());
  return AttemptResult::kRetry;
}

}  // namespace

bool ParseBlockList(const std::string& xml, BlockListType type, std::vector<ListedBlock>& blocks,
                    std::string& problem) {
  blocks.clear();
  if (CountBlockElements(xml) > kMaxUncommittedBlocks) {
    problem = TooManyBlocksProblem();
    return false;
  }
  const xml::TreeResult tree = xml::ParseTree(xml);
  if (tree.status != xml::ParseStatus::kOk) {
    problem = "the reply is not well-formed XML" +
              (tree.message.empty() ? std::string() : " (" + tree.message + ")");
    return false;
  }
  if (tree.root.name != "BlockList") {
    problem = "the reply is not a block list";
    return false;
  }
  const xml::Node* list =
      Child(tree.root, type == BlockListType::kCommitted ? "CommittedBlocks" : "UncommittedBlocks");
  if (list == nullptr) return true;  // the service holds none
  for (const xml::Node& block : list->children) {
    const xml::Node* name = Child(block, "Name");
    const xml::Node* size = Child(block, "Size");
    ListedBlock listed;
    if (block.name != "Block" || name == nullptr || name->text.empty() || size == nullptr ||
        !ParseDecimal(size->text, listed.size)) {
      blocks.clear();
      problem = "the reply holds a block without a valid name and size";
      return false;
    }
    listed.name = name->text;
    blocks.push_back(std::move(listed));
  }
  return true;
}

bool ParseUncommittedBlocks(const std::string& xml,
                            std::map<std::string, unsigned long long>& sizes,
                            std::string& problem) {
  sizes.clear();
  std::vector<ListedBlock> blocks;
  if (!ParseBlockList(xml, BlockListType::kUncommitted, blocks, problem)) return false;
  for (const ListedBlock& block : blocks) sizes[block.name] = block.size;
  return true;
}

BlockListing QueryBlockList(const SessionParams& params, const std::string& blobUrl,
                            const std::string& sasToken, const std::string& fileName,
                            BlockListType type, const RetryOptions& wait) {
  BlockListing result;
  EvDebug* log = params.log;
  try {
    ConsoleOperation op;
    op.method = ConsoleMethod::kGet;
    op.url = blobUrl + "?comp=blocklist&blocklisttype=" + ListTypeName(type) + "&" + sasToken;
    op.headers = ConsoleHeaders::kOwn;
    op.ownHeaders = [](const std::string&) { return ZuCURL::commandInfoList{}; };
    op.maxReplyBytes = kMaxReplyBytes;
    op.noGatewayMessage = nullptr;
    op.noGatewayLine = [&result] { result.failure = "no connection to the storage service"; };
    op.wait = wait;
    RetryLines lines;
    lines.retryingAfter = [&](unsigned int waitMs, int attempt) {
      log->Error(kTag,
                 "Error: Failed to get the %s of file [%s]. Retrying after [%u] ms, retry "
                 "count [%d]",
                 ListLineName(type), fileName.c_str(), waitMs, attempt);
    };
    op.lines = std::move(lines);
    op.read = [&](const ConsoleReply& reply) {
      return ReadBlockListReply(reply, fileName, op.url, type, result);
    };
    std::wstring unused;  // the caller's one line tells why
    result.answered = RunConsoleStep(params, kTag, op, unused) == 1;
    if (result.answered) result.failure.clear();
  } catch (const std::bad_alloc&) {
    result = BlockListing{};
    result.failure = "not enough memory";
  }
  return result;
}

UncommittedBlocks QueryUncommittedBlocks(const SessionParams& params, const std::string& blobUrl,
                                         const std::string& sasToken, const std::string& fileName,
                                         int backoffCapSeconds) {
  UncommittedBlocks result;
  BlockListing listing =
      QueryBlockList(params, blobUrl, sasToken, fileName, BlockListType::kUncommitted,
                     BackoffRetry(params.retryCount, backoffCapSeconds, false));
  result.answered = listing.answered;
  result.status = listing.status;
  result.noReadPermission = listing.noReadPermission;
  result.failure = std::move(listing.failure);
  try {
    for (const ListedBlock& block : listing.blocks) result.sizes[block.name] = block.size;
  } catch (const std::bad_alloc&) {
    result = UncommittedBlocks{};
    result.failure = "not enough memory";
  }
  return result;
}

}  // namespace zu::blob
