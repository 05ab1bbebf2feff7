// A scripted gateway that never touches the network, for tests of the
// session and service logic. Install with ScopedFakeGateways; every gateway
// the library creates then records its calls into one shared journal and
// answers requests from one shared script.
#ifndef ZUCLOUD_TESTS_SUPPORT_FAKE_GATEWAY_H
#define ZUCLOUD_TESTS_SUPPORT_FAKE_GATEWAY_H

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/http/ZuInternetGateway.h"
#include "support/EnvChange.h"

namespace zutest {

struct FakeReply {
  int result = 0;    // 0 = success
  std::string body;  // reply text
  int status = 200;  // HTTP status reported
  std::string errorText = "";
  // Reply headers getLastReplyHeader answers from (a HEAD reply's come
  // from its body instead, see doHeadOperation).
  ZuCURL::commandInfoList headers = {};
};

struct FakeRequest {
  std::string method;  // "POST", "PUT", "GET" or "HEAD"
  std::string url;
  std::string body;
  ZuCURL::commandInfoList headers;
  int gatewayId = 0;
  int pacedSharers = 0;  // the gateway's setSendPaced when sent (0: not paced)
};

struct FakeJournal {
  std::mutex mutex;
  int gatewaysCreated = 0;
  int connectAttempts = 0;
  int disconnects = 0;
  int deleted = 0;
  std::vector<bool> setSecuredCalls;
  std::vector<std::string> calls;  // "initialize", "setURL <url>", ...
  std::vector<FakeRequest> requests;
  // Replies consumed in order; when empty, `fallback` answers.
  std::deque<FakeReply> script;
  FakeReply fallback;
  int connectResult = 0;     // what connect() returns
  int initializeResult = 0;  // what initialize() returns
  int keepAliveResult = 0;
  // Optional hook deciding each reply (overrides script when set).
  std::function<FakeReply(const FakeRequest&)> responder;
};

// Makes `respond` the responder of `journal` for its own lifetime.
class ScopedResponder {
 public:
  ScopedResponder(FakeJournal& journal, std::function<FakeReply(const FakeRequest&)> respond)
      : m_journal(journal) {
    std::lock_guard<std::mutex> lock(m_journal.mutex);
    m_journal.responder = std::move(respond);
  }
  ~ScopedResponder() {
    std::lock_guard<std::mutex> lock(m_journal.mutex);
    m_journal.responder = nullptr;
  }
  ScopedResponder(const ScopedResponder&) = delete;
  ScopedResponder& operator=(const ScopedResponder&) = delete;

 private:
  FakeJournal& m_journal;
};

class FakeGateway : public LIBCURL::ZuInternetGateway {
 public:
  FakeGateway(EvDebug* log, std::shared_ptr<FakeJournal> journal, int id);
  ~FakeGateway() override;

  int initialize(int protocolType, int jobType) override;
  void setURL(const std::string& url) override;
  void setURLUserName(const std::string& name) override;
  void setURLPassword(const std::string& password) override;
  int setHTTPAuthentication(long scheme) override;
  int setKeepAlive(bool enable, long idleSeconds, long intervalSeconds) override;
  void setSecured(bool verify) override;
  int connect() override;
  int disConnet() override;
  int doPostOperation(const std::string& url, const std::string& body, std::string& response,
                      ZuCURL::commandInfoList headers) override;
  int doPostOperation(const std::string& url, const char* data, long length, std::string& response,
                      ZuCURL::commandInfoList headers) override;
  int doPutOperation(const std::string& url, const char* data, long length, std::string& response,
                     ZuCURL::commandInfoList headers) override;
  int doGetOperation(const std::string& url, std::string& response,
                     ZuCURL::commandInfoList headers) override;
  // The reply's body holds its headers, one "Name: value" per line.
  int doHeadOperation(const std::string& url, ZuCURL::commandInfoList& replyHeaders,
                      ZuCURL::commandInfoList headers) override;
  std::string getErrorMsg() override;
  void getLastServerResponseCode(int& status) override;
  void getLastCurlErrorCodeAndErrorMsg(int& code, std::string& text) override;
  std::string getLastReplyHeader(const std::string& name) override;
  void setSendPaced(int sharers) override { m_pacedSharers = sharers; }

 private:
  int answer(FakeRequest request, std::string& response);
  std::shared_ptr<FakeJournal> m_journal;
  int m_id;
  int m_pacedSharers = 0;
  FakeReply m_last;
};

// Installs fake gateways for the scope (restores the real ones after).
class ScopedFakeGateways {
 public:
  ScopedFakeGateways();
  FakeJournal& journal() { return *m_journal; }
  // Gateways created and not yet deleted.
  int gatewaysLeft() {
    std::lock_guard<std::mutex> lock(m_journal->mutex);
    return m_journal->gatewaysCreated - m_journal->deleted;
  }

 private:
  std::shared_ptr<FakeJournal> m_journal;
  ScopedEnvChange m_change;
};

// Records every wait requested through the sleep routine (no real sleep).
class ScopedSleepRecorder {
 public:
  ScopedSleepRecorder();
  std::vector<unsigned int> waits() const;

 private:
  struct State;
  static EnvChange Recording(const std::shared_ptr<State>& state);
  std::shared_ptr<State> m_state;
  ScopedEnvChange m_change;
};

}  // namespace zutest

#endif  // ZUCLOUD_TESTS_SUPPORT_FAKE_GATEWAY_H
