#include "blob/UncommittedBlocks.h"

#include <new>

#include "platform/log/EvDebug.h"
#include "platform/text/Decimal.h"
#include "platform/xml/XmlDom.h"
#include "platform/http/ZuInternetGateway.h"
#include "session/GatewaySession.h"
#include "session/RetryPolicy.h"

namespace zu::blob {
namespace {

constexpr const char* kTag = "GetBlockList";
constexpr int kOk = 200;

const xml::Node* Child(const xml::Node& node, const char* name) {
  for (const xml::Node& child : node.children) {
    if (child.name == name) return &child;
  }
  return nullptr;
}

// Status codes after which asking again gives the same answer.
bool IsFinalStatus(int status) {
  return status >= 400 && status < 500 && status != 408 && status != 429;
}

}  // namespace

bool ParseUncommittedBlocks(const std::string& xml, std::map<std::string, unsigned long long>& sizes,
                            std::string& problem) {
  sizes.clear();
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
  const xml::Node* uncommitted = Child(tree.root, "UncommittedBlocks");
  if (uncommitted == nullptr) return true;  // the service holds none
  for (const xml::Node& block : uncommitted->children) {
    const xml::Node* name = Child(block, "Name");
    const xml::Node* size = Child(block, "Size");
    unsigned long long bytes = 0;
    if (block.name != "Block" || name == nullptr || name->text.empty() || size == nullptr ||
        !ParseDecimal(size->text, bytes)) {
      sizes.clear();
      problem = "the reply holds a block without a valid name and size";
      return false;
    }
    sizes[name->text] = bytes;
  }
  return true;
}

UncommittedBlocks QueryUncommittedBlocks(const SessionParams& params, const std::string& blobUrl,
                                         const std::string& sasToken,
                                         const std::string& fileName, int backoffCapSeconds) {
  UncommittedBlocks result;
  EvDebug* log = params.log;
  const std::string url = blobUrl + "?comp=blocklist&blocklisttype=uncommitted&" + sasToken;
  try {
    GatewayHolder gateway(params, OpenGateway(params, url));
    if (!gateway) {
      result.failure = "no connection to the storage service";
      return result;
    }
    RetryOptions options;
    options.limit = params.retryCount;
    options.wait = WaitKind::kBackoff;
    options.backoffCapSeconds = backoffCapSeconds;
    RetryLines lines;
    lines.retryingAfter = [&](unsigned int waitMs, int attempt) {
      log->Error(kTag, "Error: Failed to get the block list of file [%s]. Retrying after [%u] ms, "
                 "retry count [%d]", fileName.c_str(), waitMs, attempt);
    };
    const RetryOutcome outcome = RunWithRetry(options, lines, [&](int attempt) {
      std::string response;
      const int rc = gateway->doGetOperation(url, response, ZuCURL::commandInfoList{});
      int status = 0;
      gateway->getLastServerResponseCode(status);
      std::string problem;
      if (rc == 0 && status == kOk &&
          ParseUncommittedBlocks(response, result.sizes, problem)) {
        return AttemptResult::kSuccess;
      }
      if (rc == 0) {
        result.failure = status == kOk ? problem : "HTTP status " + std::to_string(status);
      } else {
        result.failure = gateway->getErrorMsg();
      }
      if (rc != 0 && IsFinalStatus(status)) {
        // The caller's one line tells why; asking again would not help.
        result.failure += ", response [" + response + "]";
        return AttemptResult::kStop;
      }
      log->Error(kTag, "Error: Failed to get the block list of file [%s]: %s. Attempt [%d]. URL "
                 "[%s]. Response: [%s]", fileName.c_str(), result.failure.c_str(), attempt,
                 url.c_str(), response.c_str());
      return AttemptResult::kRetry;
    });
    result.answered = outcome.succeeded;
    if (result.answered) result.failure.clear();
  } catch (const std::bad_alloc&) {
    result = UncommittedBlocks{};
    result.failure = "not enough memory";
  }
  return result;
}

}  // namespace zu::blob
