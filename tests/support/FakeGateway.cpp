#include "support/FakeGateway.h"

#include <strings.h>

#include "platform/host/PzSleep.h"
#include "session/GatewaySession.h"

namespace zutest {

FakeGateway::FakeGateway(EvDebug* log, std::shared_ptr<FakeJournal> journal, int id)
    : LIBCURL::ZuInternetGateway(log, NoTransport{}), m_journal(std::move(journal)), m_id(id) {}

FakeGateway::~FakeGateway() {
  std::lock_guard<std::mutex> lock(m_journal->mutex);
  ++m_journal->deleted;
}

int FakeGateway::initialize(int protocolType, int jobType) {
  std::lock_guard<std::mutex> lock(m_journal->mutex);
  m_journal->calls.push_back("initialize " + std::to_string(protocolType) + " " +
                             std::to_string(jobType));
  return m_journal->initializeResult;
}

void FakeGateway::setURL(const std::string& url) {
  std::lock_guard<std::mutex> lock(m_journal->mutex);
  m_journal->calls.push_back("setURL " + url);
}

void FakeGateway::setURLUserName(const std::string& name) {
  std::lock_guard<std::mutex> lock(m_journal->mutex);
  m_journal->calls.push_back("setURLUserName " + name);
}

void FakeGateway::setURLPassword(const std::string& password) {
  std::lock_guard<std::mutex> lock(m_journal->mutex);
  m_journal->calls.push_back("setURLPassword " + password);
}

int FakeGateway::setHTTPAuthentication(long scheme) {
  std::lock_guard<std::mutex> lock(m_journal->mutex);
  m_journal->calls.push_back("setHTTPAuthentication " + std::to_string(scheme));
  return 0;
}

int FakeGateway::setKeepAlive(bool enable, long idleSeconds, long intervalSeconds) {
  std::lock_guard<std::mutex> lock(m_journal->mutex);
  m_journal->calls.push_back("setKeepAlive " + std::to_string(enable) + " " +
                             std::to_string(idleSeconds) + " " + std::to_string(intervalSeconds));
  return m_journal->keepAliveResult;
}

void FakeGateway::setSecured(bool verify) {
  std::lock_guard<std::mutex> lock(m_journal->mutex);
  m_journal->setSecuredCalls.push_back(verify);
}

int FakeGateway::connect() {
  std::lock_guard<std::mutex> lock(m_journal->mutex);
  ++m_journal->connectAttempts;
  if (m_journal->connectResult != 0) m_last.errorText = "Couldn't connect to server";
  return m_journal->connectResult;
}

int FakeGateway::disConnet() {
  std::lock_guard<std::mutex> lock(m_journal->mutex);
  ++m_journal->disconnects;
  return 0;
}

int FakeGateway::answer(FakeRequest request, std::string& response) {
  request.gatewayId = m_id;
  request.pacedSharers = m_pacedSharers;
  FakeReply reply;
  std::function<FakeReply(const FakeRequest&)> responder;
  {
    std::lock_guard<std::mutex> lock(m_journal->mutex);
    m_journal->requests.push_back(request);
    responder = m_journal->responder;
    if (!responder) {
      if (!m_journal->script.empty()) {
        reply = m_journal->script.front();
        m_journal->script.pop_front();
      } else {
        reply = m_journal->fallback;
      }
    }
  }
  if (responder) reply = responder(request);
  response = reply.body;
  m_last = reply;
  if (reply.result != 0 && m_last.errorText.empty()) m_last.errorText = "scripted failure";
  return reply.result;
}

int FakeGateway::doPostOperation(const std::string& url, const std::string& body,
                                 std::string& response, ZuCURL::commandInfoList headers) {
  return answer(FakeRequest{"POST", url, body, std::move(headers), 0}, response);
}

int FakeGateway::doPostOperation(const std::string& url, const char* data, long length,
                                 std::string& response, ZuCURL::commandInfoList headers) {
  std::string body = length > 0 && data != nullptr ? std::string(data, static_cast<size_t>(length))
                                                   : std::string();
  return answer(FakeRequest{"POST", url, std::move(body), std::move(headers), 0}, response);
}

int FakeGateway::doPutOperation(const std::string& url, const char* data, long length,
                                std::string& response, ZuCURL::commandInfoList headers) {
  std::string body = length > 0 && data != nullptr ? std::string(data, static_cast<size_t>(length))
                                                   : std::string();
  return answer(FakeRequest{"PUT", url, std::move(body), std::move(headers), 0}, response);
}

int FakeGateway::doGetOperation(const std::string& url, std::string& response,
                                ZuCURL::commandInfoList headers) {
  return answer(FakeRequest{"GET", url, std::string(), std::move(headers), 0}, response);
}

int FakeGateway::doHeadOperation(const std::string& url, ZuCURL::commandInfoList& replyHeaders,
                                 ZuCURL::commandInfoList headers) {
  std::string lines;
  const int result = answer(FakeRequest{"HEAD", url, std::string(), std::move(headers), 0}, lines);
  replyHeaders.clear();
  size_t start = 0;
  while (start < lines.size()) {
    size_t end = lines.find('\n', start);
    if (end == std::string::npos) end = lines.size();
    const std::string line = lines.substr(start, end - start);
    const size_t colon = line.find(':');
    if (colon != std::string::npos) {
      const size_t value = line.find_first_not_of(' ', colon + 1);
      replyHeaders.emplace_back(line.substr(0, colon),
                                value == std::string::npos ? "" : line.substr(value));
    }
    start = end + 1;
  }
  return result;
}

std::string FakeGateway::getErrorMsg() { return m_last.errorText; }

std::string FakeGateway::getLastReplyHeader(const std::string& name) {
  for (const ZuCURL::commandInfo& header : m_last.headers) {
    if (strcasecmp(header.name.c_str(), name.c_str()) == 0) return header.value;
  }
  return std::string();
}

void FakeGateway::getLastServerResponseCode(int& status) { status = m_last.status; }

void FakeGateway::getLastCurlErrorCodeAndErrorMsg(int& code, std::string& text) {
  code = 0;
  text = m_last.errorText;
}

namespace {

EnvChange FakeGatewayChange(const std::shared_ptr<FakeJournal>& journal) {
  EnvChange change;
  change.gateway = [journal](EvDebug* log) -> LIBCURL::ZuInternetGateway* {
    int id;
    {
      std::lock_guard<std::mutex> lock(journal->mutex);
      id = ++journal->gatewaysCreated;
    }
    return new FakeGateway(log, journal, id);
  };
  return change;
}

}  // namespace

ScopedFakeGateways::ScopedFakeGateways()
    : m_journal(std::make_shared<FakeJournal>()), m_change(FakeGatewayChange(m_journal)) {}

struct ScopedSleepRecorder::State {
  mutable std::mutex mutex;
  std::vector<unsigned int> waits;
};

EnvChange ScopedSleepRecorder::Recording(const std::shared_ptr<State>& state) {
  EnvChange change;
  change.sleep = [state](unsigned int ms) {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->waits.push_back(ms);
  };
  return change;
}

ScopedSleepRecorder::ScopedSleepRecorder()
    : m_state(std::make_shared<State>()), m_change(Recording(m_state)) {}

std::vector<unsigned int> ScopedSleepRecorder::waits() const {
  std::lock_guard<std::mutex> lock(m_state->mutex);
  return m_state->waits;
}

}  // namespace zutest
