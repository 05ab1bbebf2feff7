// The outcome of a gateway's call: the result it returns (0, the CURLcode of
// a transport failure, the status of a non-2xx reply, or -1 for a call the
// gateway refuses by itself), the texts and codes its getters report, and
// the notes on this thread that the retry policy reads after an attempt
// (refused, reply lost, deadline reached, the refusal's Retry-After).
#include <cstring>
#include <ctime>

#include "platform/host/FXFile.h"
#include "platform/http/GatewayImpl.h"
#include "platform/text/FXString.h"

namespace LIBCURL {

namespace {

// Result of a call the gateway refuses by itself (no handle, bad argument).
constexpr int kGatewayFailure = -1;

constexpr const char* kReplyLostText =
    "the connection closed before the reply; the request may have been carried out and was not "
    "sent again";

// Set by a request the gateway refused to send (see RequestRefusedOnThisThread).
thread_local bool t_requestRefused = false;
// Set by a request whose reused connection closed before any reply byte
// (see ReplyLostOnThisThread).
thread_local bool t_replyLost = false;
// The Retry-After of the last refused request (see RetryAfterHeaderOnThisThread).
thread_local RetryAfterNote t_retryAfter;
// Set by a request that ran until its deadline (DeadlineReachedOnThisThread).
thread_local bool t_deadlineReached = false;

// The value of the first header named `name` (any letter case), or "".
std::string FirstHeader(const ZuCURL::commandInfoList& headers, const char* name) {
  for (const auto& header : headers) {
    if (FXString::EqualsNoCase(header.name, name)) return header.value;
  }
  return std::string();
}

}  // namespace

bool RequestRefusedOnThisThread() { return t_requestRefused; }
void ClearRequestRefusedOnThisThread() {
  t_requestRefused = false;
  t_replyLost = false;
  t_retryAfter = RetryAfterNote();
  t_deadlineReached = false;
}
RetryAfterNote RetryAfterHeaderOnThisThread() { return t_retryAfter; }
void NoteRetryAfterHeaderOnThisThread(const RetryAfterNote& note) { t_retryAfter = note; }
bool DeadlineReachedOnThisThread() { return t_deadlineReached; }
void NoteDeadlineReachedOnThisThread() { t_deadlineReached = true; }
bool ReplyLostOnThisThread() { return t_replyLost; }
void NoteReplyLostOnThisThread() { t_replyLost = true; }

void ZuInternetGateway::Impl::clearOutcome() {
  sink.capExceeded = false;
  errorMsg.clear();
  lastStatus = 0;
  lastCurlCode = 0;
  lastCurlText.clear();
}

int ZuInternetGateway::Impl::transportFailure(CURLcode code, const char* detail, CURL* from) {
  lastCurlCode = static_cast<int>(code);
  lastCurlText = (detail && *detail) ? detail : curl_easy_strerror(code);
  // curl's text of a failed connect ("Couldn't connect to server") leaves
  // out the system's reason; "Connection refused" and its like follow it.
  if (from == nullptr) from = easy.get();
  long osError = 0;
  if (from != nullptr && curl_easy_getinfo(from, CURLINFO_OS_ERRNO, &osError) == CURLE_OK &&
      osError != 0) {
    const std::string reason = ErrnoText(static_cast<int>(osError));
    if (lastCurlText.find(reason) == std::string::npos) lastCurlText += " (" + reason + ")";
  }
  errorMsg = "curl error " + std::to_string(lastCurlCode) + ": " + lastCurlText;
  return lastCurlCode;
}

int ZuInternetGateway::Impl::gatewayFailure(const std::string& text) {
  errorMsg = text;
  t_requestRefused = true;
  return kGatewayFailure;
}

int ZuInternetGateway::Impl::outcome(const std::string& url, CURLcode rc, long status) {
  if (share) {
    // A completed request leaves a connection worth pooling; a transport
    // failure makes the next gateway for this origin probe again.
    const std::string origin = pool::OriginOf(url);
    pool::MarkReached(poolKey, origin, rc == CURLE_OK);
    lastOrigin = rc == CURLE_OK ? origin : std::string();
  }
  if (rc != CURLE_OK) {
    if (sendGuard.resendRefused) {
      // The reused connection closed before the first reply byte; the
      // server may have carried the request out. Reported like a reply
      // that never came on a new connection.
      t_replyLost = true;
      return transportFailure(CURLE_GOT_NOTHING, kReplyLostText);
    }
    if (sink.capExceeded) {
      return transportFailure(rc,
                              ("reply larger than " + std::to_string(sink.cap) + " bytes").c_str());
    }
    if ((rc == CURLE_SEND_ERROR || rc == CURLE_RECV_ERROR) && reusedBeforeAnyReply()) {
      // A kept-alive connection reset as the request arrived: the same
      // story as a reply lost on it (the server may have carried the
      // request out), told with its own error.
      t_replyLost = true;
    }
    if (rc == CURLE_OPERATION_TIMEDOUT) {
      curl_off_t spentUs = 0;
      if (curl_easy_getinfo(easy.get(), CURLINFO_TOTAL_TIME_T, &spentUs) == CURLE_OK &&
          spentUs / 1000 + 1000 >= deadlineMs) {
        t_deadlineReached = true;
      }
    }
    return transportFailure(rc, errorBuffer);
  }
  if (status < 200 || status > 299) {
    errorMsg = "HTTP status " + std::to_string(status);
    // Recorded as the server wrote it; the retry policy reads the wait.
    t_retryAfter = RetryAfterNote{FirstHeader(replyHeaders, "Retry-After"), std::time(nullptr)};
    return status > 0 ? static_cast<int>(status) : kGatewayFailure;
  }
  return 0;
}

bool ZuInternetGateway::Impl::reusedBeforeAnyReply() {
  long connects = -1;
  long code = -1;
  return curl_easy_getinfo(easy.get(), CURLINFO_NUM_CONNECTS, &connects) == CURLE_OK &&
         connects == 0 &&
         curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &code) == CURLE_OK && code == 0 &&
         replyHeaders.empty() && sink.body.empty();
}

}  // namespace LIBCURL
