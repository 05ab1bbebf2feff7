// Tests of the libcurl HTTP gateway against a local Python server
// (tests/support/http_test_server.py), over HTTP and HTTPS with a CA made
// at test time.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/http/ConnectFailure.h"
#include "platform/http/ConnectionPool.h"
#include "platform/http/ZuInternetGateway.h"
#include "session/RetryAfter.h"
#include "support/ChildProcess.h"
#include "support/EnvChange.h"
#include "support/TestEnv.h"
#include "support/TestProxy.h"

using LIBCURL::GatewayLimits;
using LIBCURL::ZuInternetGateway;
using nlohmann::json;
using ZuCURL::commandInfo;
using ZuCURL::commandInfoList;

namespace {

constexpr int kCurlCouldntConnect = 7;
constexpr int kCurlOperationTimedOut = 28;
constexpr int kCurlWriteError = 23;
constexpr int kCurlPeerFailedVerification = 60;
constexpr int kCurlCaCertBadFile = 77;

std::string Sha256Hex(const char* data, size_t length) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  if (EVP_Digest(data, length, digest, &digestLength, EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("EVP_Digest failed");
  std::string hex;
  char byte[3];
  for (unsigned int i = 0; i < digestLength; ++i) {
    std::snprintf(byte, sizeof byte, "%02x", digest[i]);
    hex += byte;
  }
  return hex;
}

// Deterministic, non-repeating bytes (a plain pattern would hide offset
// mistakes).
// The echo server's account of a request of `method` says that it sent
// `length` bytes in one piece: with a Content-Length, no "Expect" and no
// chunked transfer encoding.
void ExpectWholeBody(const json& echo, const std::string& method, size_t length) {
  EXPECT_EQ(echo.at("method"), method);
  EXPECT_EQ(echo.at("length"), length) << method;
  EXPECT_EQ(echo.at("content_length"), std::to_string(length)) << method;
  EXPECT_TRUE(echo.at("expect").is_null()) << method;
  EXPECT_TRUE(echo.at("transfer_encoding").is_null()) << method;
}

std::vector<char> MakeBody(size_t length, unsigned seed) {
  std::vector<char> body(length);
  unsigned x = seed * 2654435761u + 1;
  for (size_t i = 0; i < length; ++i) {
    x = x * 1664525u + 1013904223u;
    body[i] = static_cast<char>(x >> 24);
  }
  return body;
}

std::vector<std::string> ServerArgs(const zutest::TempDir& dir, bool tls, const std::string& san) {
  std::vector<std::string> args = {"python3",
                                   zutest::SourceDir() + "/tests/support/http_test_server.py"};
  if (tls) {
    args.push_back("--tls-dir");
    args.push_back(dir.path());
    if (!san.empty()) {
      args.push_back("--san");
      args.push_back(san);
    }
  }
  return args;
}

// The local server, HTTP or HTTPS (certificates in its own directory).
class TestServer {
 public:
  explicit TestServer(bool tls, const std::string& san = "")
      : m_tls(tls), m_process(ServerArgs(m_dir, tls, san)) {
    m_port = std::stoi(m_process.readyLine("READY ", 30000));
  }
  std::string url(const std::string& path) const {
    return std::string(m_tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port) + path;
  }
  std::string caFile() const { return m_dir.file("ca.pem"); }
  int port() const { return m_port; }

 private:
  bool m_tls;
  zutest::TempDir m_dir;
  zutest::ChildProcess m_process;
  int m_port = 0;
};

std::unique_ptr<ZuInternetGateway> OpenGateway(const std::string& url, bool secured) {
  auto gw = std::make_unique<ZuInternetGateway>(nullptr);
  if (gw->initialize(3, 0) != 0) throw std::runtime_error("initialize failed");
  gw->setURL(url);
  gw->setSecured(secured);
  return gw;
}

struct Outcome {
  int result = 0;
  int status = 0;
  int curlCode = 0;
  std::string curlText;
  std::string error;
};

Outcome Collect(ZuInternetGateway& gw, int result) {
  Outcome o;
  o.result = result;
  gw.getLastServerResponseCode(o.status);
  gw.getLastCurlErrorCodeAndErrorMsg(o.curlCode, o.curlText);
  o.error = gw.getErrorMsg();
  return o;
}

// Header values with `name` (case-insensitive) in the order they arrived.
std::vector<std::string> HeaderValues(const json& echo, const std::string& name) {
  std::vector<std::string> values;
  for (const auto& pair : echo.at("headers")) {
    std::string n = pair.at(0).get<std::string>();
    if (strcasecmp(n.c_str(), name.c_str()) == 0) values.push_back(pair.at(1).get<std::string>());
  }
  return values;
}

class GatewayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_saved = ZuInternetGateway::Limits();
    GatewayLimits limits;
    limits.connectTimeoutSeconds = 10;
    limits.stallSeconds = 20;
    limits.maxReplyBytes = 16LL * 1024 * 1024;
    ZuInternetGateway::SetLimits(limits);
  }
  void TearDown() override { ZuInternetGateway::SetLimits(m_saved); }

  static TestServer& Http() {
    static TestServer server(false);  // stopped at process exit
    return server;
  }

 private:
  GatewayLimits m_saved;
};

// ---------------------------------------------------------------- bodies

TEST_F(GatewayTest, LargePostAndPutArriveByteIdentical) {
  auto gw = OpenGateway(Http().url("/"), false);
  const size_t kSize = 5u * 1024 * 1024;
  std::vector<char> postBody = MakeBody(kSize, 1);
  std::vector<char> putBody = MakeBody(kSize, 2);

  std::string response;
  int rc = gw->doPostOperation(Http().url("/echo"), postBody.data(),
                               static_cast<long>(postBody.size()), response, {});
  ASSERT_EQ(rc, 0) << gw->getErrorMsg();
  json post = json::parse(response);
  ExpectWholeBody(post, "POST", kSize);
  EXPECT_EQ(post.at("sha256"), Sha256Hex(postBody.data(), postBody.size()));

  rc = gw->doPutOperation(Http().url("/echo"), putBody.data(), static_cast<long>(putBody.size()),
                          response, {});
  ASSERT_EQ(rc, 0) << gw->getErrorMsg();
  json put = json::parse(response);
  ExpectWholeBody(put, "PUT", kSize);
  EXPECT_EQ(put.at("sha256"), Sha256Hex(putBody.data(), putBody.size()));
}

TEST_F(GatewayTest, TextPostSendsTheWholeString) {
  auto gw = OpenGateway(Http().url("/"), false);
  // Embedded NUL: the length comes from the string, not from strlen.
  std::string body("<Req>caf\xc3\xa9", 11);
  body.push_back('\0');
  body += "</Req>";
  std::string response;
  ASSERT_EQ(gw->doPostOperation(Http().url("/echo"), body, response, {}), 0) << gw->getErrorMsg();
  json echo = json::parse(response);
  EXPECT_EQ(echo.at("length"), body.size());
  EXPECT_EQ(echo.at("content_length"), std::to_string(body.size()));
  EXPECT_EQ(echo.at("sha256"), Sha256Hex(body.data(), body.size()));
}

TEST_F(GatewayTest, ZeroLengthRequestsSendNoBody) {
  auto gw = OpenGateway(Http().url("/"), false);
  std::string response;
  ASSERT_EQ(gw->doPostOperation(Http().url("/echo"), nullptr, 0, response, {}), 0)
      << gw->getErrorMsg();
  json post = json::parse(response);
  ExpectWholeBody(post, "POST", 0);

  const char data[] = "must not be sent";
  ASSERT_EQ(gw->doPutOperation(Http().url("/echo"), data, 0, response, {}), 0) << gw->getErrorMsg();
  json put = json::parse(response);
  EXPECT_EQ(put.at("method"), "PUT");
  EXPECT_EQ(put.at("length"), 0);
  EXPECT_EQ(put.at("content_length"), "0");
}

TEST_F(GatewayTest, InvalidBodyArgumentsAreRefused) {
  auto gw = OpenGateway(Http().url("/"), false);
  std::string response;
  EXPECT_NE(gw->doPostOperation(Http().url("/echo"), nullptr, 10, response, {}), 0);
  EXPECT_FALSE(gw->getErrorMsg().empty());
  const char data[] = "x";
  EXPECT_NE(gw->doPutOperation(Http().url("/echo"), data, -1, response, {}), 0);
  EXPECT_FALSE(gw->getErrorMsg().empty());
}

// ---------------------------------------------------------------- headers

TEST_F(GatewayTest, HeadersArriveInOrderAndNothingElseIsAdded) {
  auto gw = OpenGateway(Http().url("/"), false);
  commandInfoList headers;
  headers.emplace_back("X-Zeta", "1");
  headers.emplace_back("Content-Type", "application/xml");
  headers.emplace_back("X-Alpha", "two words");
  headers.emplace_back("X-Middle", "3");
  std::string response;
  ASSERT_EQ(gw->doPostOperation(Http().url("/echo"), std::string("<a/>"), response, headers), 0)
      << gw->getErrorMsg();
  json echo = json::parse(response);
  std::vector<std::string> order;
  for (const auto& pair : echo.at("headers")) {
    std::string n = pair.at(0).get<std::string>();
    if (n == "X-Zeta" || n == "Content-Type" || n == "X-Alpha" || n == "X-Middle")
      order.push_back(n + "=" + pair.at(1).get<std::string>());
  }
  EXPECT_EQ(order, (std::vector<std::string>{"X-Zeta=1", "Content-Type=application/xml",
                                             "X-Alpha=two words", "X-Middle=3"}));
  EXPECT_TRUE(HeaderValues(echo, "Expect").empty());

  // Without a Content-Type from the caller none is invented (no form type).
  ASSERT_EQ(gw->doPostOperation(Http().url("/echo"), std::string("x=1"), response, {}), 0);
  EXPECT_TRUE(HeaderValues(json::parse(response), "Content-Type").empty());
}

// A header or URL that could end a header line early (a session token from a
// hostile login reply, a name given by the host) is refused before anything
// leaves: the server sees no request at all, and the gateway stays usable.
TEST_F(GatewayTest, HeadersAndUrlsThatCouldSplitTheRequestAreNeverSent) {
  auto gw = OpenGateway(Http().url("/"), false);
  std::string response;
  ASSERT_EQ(gw->doPostOperation(Http().url("/count"), std::string(), response, {}), 0);
  const long before = std::stol(response);

  const std::string smuggled =
      "tok\r\nX-Injected: evil\r\nContent-Length: 0\r\n\r\nPOST /echo HTTP/1.1\r\nHost: x";
  struct Case {
    const char* what;
    std::string url;
    commandInfoList headers;
  };
  const std::vector<Case> cases = {
      {"CR LF in a value", Http().url("/echo"), {{"Authtoken", smuggled}}},
      {"bare LF in a value", Http().url("/echo"), {{"Authtoken", "tok\nX-Injected: evil"}}},
      {"bare CR in a value", Http().url("/echo"), {{"Authtoken", "tok\rX-Injected: evil"}}},
      {"NUL in a value", Http().url("/echo"), {{"Authtoken", std::string("tok\0evil", 8)}}},
      {"CR LF in a name", Http().url("/echo"), {{"X-A\r\nX-Injected", "v"}}},
      {"CR LF in the URL", Http().url("/echo?a=1\r\nX-Injected: evil"), {}},
      {"NUL in the URL", Http().url("/echo") + std::string("\0/../status/500", 15), {}},
  };
  for (const Case& c : cases) {
    response = "stale";
    Outcome o = Collect(*gw, gw->doPutOperation(c.url, "data", 4, response, c.headers));
    EXPECT_NE(o.result, 0) << c.what;
    EXPECT_EQ(o.curlCode, 0) << c.what << ": refused by the gateway, not by the transport";
    EXPECT_NE(o.error.find("not sent"), std::string::npos) << c.what << ": " << o.error;
    EXPECT_EQ(o.error.find("evil"), std::string::npos) << c.what << ": " << o.error;
    EXPECT_TRUE(response.empty()) << c.what;
  }

  ASSERT_EQ(gw->doPostOperation(Http().url("/count"), std::string(), response, {}), 0);
  EXPECT_EQ(std::stol(response), before + 1) << "a refused request reached the server";
  ASSERT_EQ(
      gw->doPostOperation(Http().url("/echo"), std::string("a"), response, {{"Authtoken", "tok"}}),
      0)
      << gw->getErrorMsg();
  const json echo = json::parse(response);
  EXPECT_EQ(HeaderValues(echo, "Authtoken"), std::vector<std::string>{"tok"});
  EXPECT_TRUE(HeaderValues(echo, "X-Injected").empty());

  // connect() refuses such a URL too.
  gw->setURL(Http().url("/\r\nX-Injected: evil"));
  EXPECT_NE(gw->connect(), 0);
  EXPECT_NE(gw->getErrorMsg().find("control character"), std::string::npos) << gw->getErrorMsg();
}

TEST_F(GatewayTest, UrlCredentialsAreNeverSent) {
  auto gw = OpenGateway(Http().url("/"), false);
  gw->setURLUserName("alice");
  gw->setURLPassword("s3cret");
  gw->setHTTPAuthentication(0);
  EXPECT_EQ(gw->base().getURLUserName(), "alice");
  EXPECT_EQ(gw->base().getURLPassword(), "s3cret");
  EXPECT_EQ(gw->base().getURL(), Http().url("/"));
  ASSERT_EQ(gw->connect(), 0) << gw->getErrorMsg();
  std::string response;
  ASSERT_EQ(gw->doPostOperation(Http().url("/echo"), std::string("a"), response, {}), 0);
  EXPECT_TRUE(HeaderValues(json::parse(response), "Authorization").empty());
  ASSERT_EQ(gw->doPostOperation(Http().url("/status/401"), std::string("a"), response, {}), 401);
  // A 401 does not make the gateway retry with the credentials.
  ASSERT_EQ(gw->doPostOperation(Http().url("/echo"), std::string("a"), response, {}), 0);
  EXPECT_TRUE(HeaderValues(json::parse(response), "Authorization").empty());
}

// ---------------------------------------------------------------- connection

TEST_F(GatewayTest, RequestsOfOneGatewayShareOneConnection) {
  auto gw = OpenGateway(Http().url("/"), false);
  ASSERT_EQ(gw->connect(), 0) << gw->getErrorMsg();
  std::string response;
  const char data[] = "abc";
  ASSERT_EQ(gw->doPostOperation(Http().url("/echo"), data, 3, response, {}), 0);
  json first = json::parse(response);
  ASSERT_EQ(gw->doPutOperation(Http().url("/echo?second"), data, 3, response, {}), 0);
  json second = json::parse(response);
  ASSERT_EQ(gw->doPostOperation(Http().url("/echo"), std::string("xy"), response, {}), 0);
  json third = json::parse(response);

  EXPECT_EQ(first.at("conn"), second.at("conn"));
  EXPECT_EQ(first.at("conn"), third.at("conn"));
  // Switching methods on the one handle keeps each request's own body.
  EXPECT_EQ(first.at("method"), "POST");
  EXPECT_EQ(second.at("method"), "PUT");
  EXPECT_EQ(third.at("method"), "POST");
  EXPECT_EQ(second.at("sha256"), Sha256Hex(data, 3));
  EXPECT_EQ(third.at("sha256"), Sha256Hex("xy", 2));

  // Another gateway has its own connection.
  auto other = OpenGateway(Http().url("/"), false);
  ASSERT_EQ(other->doPostOperation(Http().url("/echo"), data, 3, response, {}), 0);
  EXPECT_NE(json::parse(response).at("conn"), first.at("conn"));
}

TEST_F(GatewayTest, ConnectFailsWhenNothingListens) {
  std::string url = "http://127.0.0.1:" + std::to_string(zutest::UnusedLoopbackPort()) + "/";
  auto gw = OpenGateway(url, false);
  Outcome o = Collect(*gw, gw->connect());
  EXPECT_NE(o.result, 0);
  EXPECT_EQ(o.curlCode, kCurlCouldntConnect);
  EXPECT_FALSE(o.curlText.empty());
  EXPECT_NE(o.error.find("curl error 7"), std::string::npos) << o.error;

  std::string response = "stale";
  o = Collect(*gw, gw->doPostOperation(url + "echo", std::string("a"), response, {}));
  EXPECT_NE(o.result, 0);
  EXPECT_EQ(o.curlCode, kCurlCouldntConnect);
  EXPECT_EQ(o.status, 0);
  EXPECT_TRUE(response.empty());
  EXPECT_NE(o.error.find("curl error 7"), std::string::npos) << o.error;
}

TEST_F(GatewayTest, LifecycleMisuseIsReportedNotFatal) {
  std::string response;
  {
    ZuInternetGateway gw(nullptr);
    EXPECT_EQ(gw.disConnet(), 0);
    EXPECT_NE(gw.connect(), 0);
    EXPECT_NE(gw.doPostOperation(Http().url("/echo"), std::string("a"), response, {}), 0);
    EXPECT_FALSE(gw.getErrorMsg().empty());
    EXPECT_NE(gw.setKeepAlive(true, 30, 10), 0);
    EXPECT_NE(gw.initialize(4, 0), 0);
    EXPECT_NE(gw.initialize(3, 1), 0);
  }
  {
    auto gw = OpenGateway("", false);
    EXPECT_NE(gw->connect(), 0);  // no URL
    EXPECT_FALSE(gw->getErrorMsg().empty());
    gw->setURL(Http().url("/"));
    ASSERT_EQ(gw->connect(), 0) << gw->getErrorMsg();
    ASSERT_EQ(gw->doPostOperation(Http().url("/echo"), std::string("a"), response, {}), 0);
    EXPECT_EQ(gw->disConnet(), 0);
    EXPECT_NE(gw->doPostOperation(Http().url("/echo"), std::string("a"), response, {}), 0);
    EXPECT_EQ(gw->disConnet(), 0);
    // A new initialize makes the gateway usable again.
    ASSERT_EQ(gw->initialize(3, 0), 0);
    EXPECT_EQ(gw->doPostOperation(Http().url("/echo"), std::string("a"), response, {}), 0);
  }
}

TEST_F(GatewayTest, KeepAliveSettings) {
  auto gw = OpenGateway(Http().url("/"), false);
  EXPECT_EQ(gw->setKeepAlive(true, 30, 10), 0);
  EXPECT_NE(gw->setKeepAlive(true, -1, 10), 0);
  EXPECT_NE(gw->getErrorMsg().find("curl error"), std::string::npos) << gw->getErrorMsg();
  EXPECT_NE(gw->setKeepAlive(true, 30, -5), 0);
  std::string response;
  ASSERT_EQ(gw->doPostOperation(Http().url("/echo"), std::string("a"), response, {}), 0)
      << gw->getErrorMsg();
  EXPECT_EQ(gw->setKeepAlive(false, 0, 0), 0);
  EXPECT_EQ(gw->doPostOperation(Http().url("/echo"), std::string("a"), response, {}), 0)
      << gw->getErrorMsg();
}

// ---------------------------------------------------------------- HTTP status

TEST_F(GatewayTest, NonSuccessStatusFailsAndKeepsTheBody) {
  auto gw = OpenGateway(Http().url("/"), false);
  for (int code : {404, 500}) {
    std::string response = "stale";
    Outcome o = Collect(*gw, gw->doPostOperation(Http().url("/status/" + std::to_string(code)),
                                                 std::string("a"), response, {}));
    EXPECT_NE(o.result, 0);
    EXPECT_EQ(o.status, code);
    EXPECT_EQ(o.curlCode, 0);
    EXPECT_EQ(response, "body of status " + std::to_string(code));
    EXPECT_NE(o.error.find("HTTP status " + std::to_string(code)), std::string::npos) << o.error;
  }
  // 2xx other than 200 is success; the previous failure is cleared.
  std::string response = "stale";
  Outcome o = Collect(*gw, gw->doPutOperation(Http().url("/status/201"), "b", 1, response, {}));
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.status, 201);
  EXPECT_EQ(response, "body of status 201");
  EXPECT_TRUE(o.error.empty());
  EXPECT_EQ(o.curlCode, 0);
}

// A refusal's headers reach the caller: the service's error code by name
// (any letter case) and Retry-After for the retry policy.
TEST_F(GatewayTest, ARefusalsErrorCodeAndRetryAfterAreRead) {
  auto gw = OpenGateway(Http().url("/"), false);
  std::string response;
  LIBCURL::ClearRequestRefusedOnThisThread();
  Outcome o = Collect(*gw, gw->doGetOperation(Http().url("/status/503?Retry-After=42&"
                                                         "x-ms-error-code=ServerBusy"),
                                              response, {}));
  EXPECT_EQ(o.status, 503);
  EXPECT_EQ(gw->getLastReplyHeader("X-MS-Error-Code"), "ServerBusy");
  EXPECT_EQ(gw->getLastReplyHeader("x-ms-request-id"), "");
  EXPECT_EQ(zu::RetryAfterOnThisThread(), 42);
  // The next request's reply replaces them.
  o = Collect(*gw, gw->doGetOperation(Http().url("/status/500"), response, {}));
  EXPECT_EQ(gw->getLastReplyHeader("x-ms-error-code"), "");
}

// A failed connect in words: where (host and port, the scheme's default
// when the URL names none) and why, with what to change; never the URL's
// query or user name.
TEST(ConnectFailure, NamesWhereAndWhyInWords) {
  struct Row {
    int code;
    const char* text;
    const char* url;
    const char* expected;
  };
  const Row rows[] = {
      {7, "Failed to connect to h port 8 after 0 ms: Connection refused", "http://h:8/x",
       "cannot connect to h port 8: the connection was refused: nothing listens on that port "
       "[curl error 7: Failed to connect to h port 8 after 0 ms: Connection refused]"},
      {7, "Failed to connect to h port 443 after 3 ms: No route to host",
       "https://u:secret@h/x?sig=abc",
       "cannot connect to h port 443: the host cannot be reached [curl error 7: Failed to connect "
       "to h port 443 after 3 ms: No route to host]"},
      {6, "Could not resolve host: h.invalid", "http://h.invalid/x",
       "cannot connect to h.invalid port 80: the host name was not found (DNS); check the URL "
       "[curl error 6: Could not resolve host: h.invalid]"},
      {5, "Could not resolve proxy: p", "https://h/x",
       "cannot connect to h port 443: the proxy's host name was not found (DNS); check "
       "\"ZUCloudProxyURL\" and the proxy variables [curl error 5: Could not resolve proxy: p]"},
      {35, "error:0A00010B:SSL routines::wrong version number", "https://h:80/",
       "cannot connect to h port 80: the TLS handshake failed: the server does not speak TLS on "
       "that port (an https URL for an http server?) [curl error 35: "
       "error:0A00010B:SSL routines::wrong version number]"},
      {35, "TLS connect error: unexpected eof", "https://h/",
       "cannot connect to h port 443: the TLS handshake failed [curl error 35: TLS connect "
       "error: unexpected eof]"},
      {60, "SSL certificate problem: self-signed certificate", "https://h/",
       "cannot connect to h port 443: the server's certificate is not trusted: add its CA (a PEM "
       "file) with the environment variable ZUCLOUD_CA_FILE, or turn the check off with the "
       "setting \"nWebReportsIgnoreCertificateErrors\" [curl error 60: SSL certificate problem: "
       "self-signed certificate]"},
      {28, "Connection timed out after 30001 milliseconds", "http://h/",
       "cannot connect to h port 80: no answer within the connect time-out [curl error 28: "
       "Connection timed out after 30001 milliseconds]"},
      {0, "gateway not initialized", "not a url",
       "cannot connect to a URL curl cannot read: the connection failed [gateway not "
       "initialized]"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(LIBCURL::DescribeConnectFailure(row.code, row.text, row.url), row.expected);
  }
}

TEST_F(GatewayTest, RedirectsAreNotFollowed) {
  auto gw = OpenGateway(Http().url("/"), false);
  std::string response;
  Outcome o =
      Collect(*gw, gw->doPostOperation(Http().url("/redirect"), std::string("a"), response, {}));
  EXPECT_NE(o.result, 0);
  EXPECT_EQ(o.status, 302);
  EXPECT_TRUE(response.empty());  // not the /echo reply
}

// ---------------------------------------------------------------- limits

TEST_F(GatewayTest, RequestDeadlineGrowsWithTheBodyAndNeverOverflows) {
  GatewayLimits limits;  // defaults: 600 s plus the body at 4096 bytes/s
  struct Case {
    long baseSeconds;
    long long minRate;
    long long body;
    long expectedMs;
  } const cases[] = {
      {600, 4096, 0, 600000},
      {600, 4096, 16LL << 20, 600000 + 4096000},  // a 16 MiB block: 600 s + 4096 s
      {600, 4096, 1, 600001},                     // a part second rounds up
      {0, 0, 10, 11000},                          // below 1 counts as 1
      {600, 1, LLONG_MAX, LONG_MAX},
      {LONG_MAX, 1, 0, LONG_MAX},
      {1, LLONG_MAX, LLONG_MAX, 8388609000L},  // huge rates capped: no overflow
  };
  for (const Case& c : cases) {
    limits.deadlineBaseSeconds = c.baseSeconds;
    limits.deadlineMinBytesPerSecond = c.minRate;
    EXPECT_EQ(ZuInternetGateway::RequestDeadlineMs(limits, c.body), c.expectedMs)
        << c.baseSeconds << " s, " << c.minRate << " B/s, " << c.body << " bytes";
  }
}

// A server sending 2 bytes a second passes the stall guard (1 byte/s) for
// ever; the request deadline ends the attempt.
TEST_F(GatewayTest, TricklingReplyEndsAtTheRequestDeadline) {
  GatewayLimits limits = ZuInternetGateway::Limits();
  limits.deadlineBaseSeconds = 1;
  limits.deadlineMinBytesPerSecond = 1024 * 1024;
  ZuInternetGateway::SetLimits(limits);
  auto gw = OpenGateway(Http().url("/"), false);
  std::string response;
  Outcome o =
      Collect(*gw, gw->doPostOperation(Http().url("/trickle"), std::string("a"), response, {}));
  EXPECT_NE(o.result, 0);
  EXPECT_EQ(o.curlCode, kCurlOperationTimedOut) << o.error;
  EXPECT_NE(o.error.find("timed out after"), std::string::npos) << o.error;
  EXPECT_EQ(o.error.find("too slow"), std::string::npos) << "the stall guard ended it: " << o.error;

  // A 2 MiB body earns two more seconds (curl reports when it gave up).
  const std::vector<char> body = MakeBody(2u * 1024 * 1024, 5);
  o = Collect(*gw, gw->doPutOperation(Http().url("/trickle"), body.data(),
                                      static_cast<long>(body.size()), response, {}));
  EXPECT_EQ(o.curlCode, kCurlOperationTimedOut) << o.error;
  const size_t at = o.error.find("timed out after ");
  ASSERT_NE(at, std::string::npos) << o.error;
  EXPECT_GE(std::stol(o.error.substr(at + 16)), 3000) << o.error;
}

TEST_F(GatewayTest, StalledReplyIsAborted) {
  GatewayLimits limits = ZuInternetGateway::Limits();
  limits.stallSeconds = 1;
  ZuInternetGateway::SetLimits(limits);
  auto gw = OpenGateway(Http().url("/"), false);
  std::string response;
  // The server stays silent for 30 s; only the stall guard ends this sooner
  // with a time-out code (a server close would give a different one).
  Outcome o =
      Collect(*gw, gw->doPostOperation(Http().url("/stall"), std::string("a"), response, {}));
  EXPECT_NE(o.result, 0);
  EXPECT_EQ(o.curlCode, kCurlOperationTimedOut) << o.error;
  EXPECT_EQ(o.status, 200);
  EXPECT_NE(o.error.find("curl error 28"), std::string::npos) << o.error;
}

TEST_F(GatewayTest, EndlessReplyIsCutAtTheCap) {
  GatewayLimits limits = ZuInternetGateway::Limits();
  limits.maxReplyBytes = 1024 * 1024;
  ZuInternetGateway::SetLimits(limits);
  auto gw = OpenGateway(Http().url("/"), false);
  std::string response;
  Outcome o =
      Collect(*gw, gw->doPostOperation(Http().url("/endless"), std::string("a"), response, {}));
  EXPECT_NE(o.result, 0);
  EXPECT_EQ(o.curlCode, kCurlWriteError);
  EXPECT_LE(response.size(), static_cast<size_t>(limits.maxReplyBytes));
  EXPECT_NE(o.error.find("larger than 1048576"), std::string::npos) << o.error;
  EXPECT_TRUE(gw->replyTooLarge());

  // The gateway stays usable after the abort.
  ASSERT_EQ(gw->doPostOperation(Http().url("/echo"), std::string("a"), response, {}), 0)
      << gw->getErrorMsg();
  EXPECT_EQ(json::parse(response).at("length"), 1);
  EXPECT_FALSE(gw->replyTooLarge());

  // A gateway's own cap applies below the process-wide one, never above it.
  for (const long long cap : {64LL * 1024, 4LL * 1024 * 1024}) {
    gw->setMaxReplyBytes(cap);
    o = Collect(*gw, gw->doPostOperation(Http().url("/endless"), std::string("a"), response, {}));
    const long long applied = cap < limits.maxReplyBytes ? cap : limits.maxReplyBytes;
    EXPECT_NE(o.error.find("larger than " + std::to_string(applied)), std::string::npos) << o.error;
    EXPECT_TRUE(gw->replyTooLarge());
  }
}

// ---------------------------------------------------------------- TLS

class GatewayTlsTest : public GatewayTest {
 protected:
  static TestServer& Https() {
    static TestServer server(true);
    return server;
  }
};

TEST_F(GatewayTlsTest, UnknownCaIsRefusedWhenVerifying) {
  zutest::ScopedEnv noCa("ZUCLOUD_CA_FILE", std::nullopt);
  auto gw = OpenGateway(Https().url("/"), true);
  Outcome o = Collect(*gw, gw->connect());
  EXPECT_NE(o.result, 0);
  EXPECT_EQ(o.curlCode, kCurlPeerFailedVerification) << o.error;
  std::string response;
  o = Collect(*gw, gw->doPostOperation(Https().url("/echo"), std::string("a"), response, {}));
  EXPECT_NE(o.result, 0);
  EXPECT_EQ(o.curlCode, kCurlPeerFailedVerification) << o.error;
  EXPECT_NE(o.error.find("curl error 60"), std::string::npos) << o.error;
}

TEST_F(GatewayTlsTest, UnverifiedModeAcceptsTheUnknownCa) {
  zutest::ScopedEnv noCa("ZUCLOUD_CA_FILE", std::nullopt);
  auto gw = OpenGateway(Https().url("/"), false);
  ASSERT_EQ(gw->connect(), 0) << gw->getErrorMsg();
  std::string response;
  const std::vector<char> body = MakeBody(100000, 3);
  ASSERT_EQ(gw->doPutOperation(Https().url("/echo"), body.data(), static_cast<long>(body.size()),
                               response, {}),
            0)
      << gw->getErrorMsg();
  json first = json::parse(response);
  EXPECT_EQ(first.at("sha256"), Sha256Hex(body.data(), body.size()));
  ASSERT_EQ(gw->doPostOperation(Https().url("/echo"), std::string("b"), response, {}), 0);
  EXPECT_EQ(json::parse(response).at("conn"), first.at("conn"));
}

TEST_F(GatewayTlsTest, ExtraCaFileMakesVerificationPass) {
  zutest::ScopedEnv ca("ZUCLOUD_CA_FILE", Https().caFile());
  auto gw = OpenGateway(Https().url("/"), true);
  ASSERT_EQ(gw->connect(), 0) << gw->getErrorMsg();
  std::string response;
  ASSERT_EQ(gw->doPostOperation(Https().url("/echo"), std::string("abc"), response, {}), 0)
      << gw->getErrorMsg();
  EXPECT_EQ(json::parse(response).at("length"), 3);
}

TEST_F(GatewayTlsTest, UnreadableCaFileFailsVerification) {
  zutest::TempDir dir;
  zutest::ScopedEnv ca("ZUCLOUD_CA_FILE", dir.file("missing.pem"));
  auto gw = OpenGateway(Https().url("/"), true);
  Outcome o = Collect(*gw, gw->connect());
  EXPECT_NE(o.result, 0);
  EXPECT_EQ(o.curlCode, kCurlCaCertBadFile) << o.error;
}

TEST_F(GatewayTlsTest, HostNameIsCheckedOnlyWhenVerifying) {
  TestServer otherName(true, "DNS:other.invalid");
  zutest::ScopedEnv ca("ZUCLOUD_CA_FILE", otherName.caFile());
  std::string response;
  {
    auto gw = OpenGateway(otherName.url("/"), true);
    Outcome o =
        Collect(*gw, gw->doPostOperation(otherName.url("/echo"), std::string("a"), response, {}));
    EXPECT_NE(o.result, 0);
    EXPECT_EQ(o.curlCode, kCurlPeerFailedVerification) << o.error;
  }
  {
    auto gw = OpenGateway(otherName.url("/"), false);
    EXPECT_EQ(gw->doPostOperation(otherName.url("/echo"), std::string("a"), response, {}), 0)
        << gw->getErrorMsg();
  }
}

// ---------------------------------------------------------------- doubles, threads

// A test double in the way other components' tests make them.
class CannedGateway : public ZuInternetGateway {
 public:
  CannedGateway() : ZuInternetGateway(nullptr, NoTransport{}) {}
  int doPostOperation(const std::string&, const std::string& body, std::string& response,
                      commandInfoList) override {
    response = "canned:" + body;
    return 0;
  }
};

TEST_F(GatewayTest, NoTransportGatewayNeverTouchesTheNetwork) {
  auto gw = std::make_unique<CannedGateway>();
  std::string response;
  EXPECT_EQ(gw->doPostOperation(Http().url("/echo"), std::string("x"), response, {}), 0);
  EXPECT_EQ(response, "canned:x");
  // The base operations it does not override refuse to send.
  EXPECT_NE(gw->initialize(3, 0), 0);
  gw->setURL(Http().url("/"));
  EXPECT_NE(gw->connect(), 0);
  EXPECT_NE(gw->doPutOperation(Http().url("/echo"), "x", 1, response, {}), 0);
  EXPECT_FALSE(gw->getErrorMsg().empty());
  EXPECT_EQ(gw->disConnet(), 0);
  std::unique_ptr<ZuInternetGateway> asBase = std::move(gw);
  asBase.reset();  // destruction through the base class (checked by the sanitizers)
}

TEST_F(GatewayTest, SeparateGatewaysInSeparateThreads) {
  const int kThreads = 4;
  const int kRequests = 5;
  std::vector<std::string> failures(kThreads);
  std::vector<std::thread> threads;
  const std::string base = Http().url("/");
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures, &base] {
      try {
        auto gw = OpenGateway(base, false);
        if (gw->connect() != 0) {
          failures[t] = "connect: " + gw->getErrorMsg();
          return;
        }
        for (int i = 0; i < kRequests; ++i) {
          std::vector<char> body = MakeBody(64 * 1024 + static_cast<size_t>(i), 10u * t + i);
          std::string response;
          int rc = (i % 2 == 0) ? gw->doPostOperation(base + "echo", body.data(),
                                                      static_cast<long>(body.size()), response, {})
                                : gw->doPutOperation(base + "echo", body.data(),
                                                     static_cast<long>(body.size()), response, {});
          if (rc != 0) {
            failures[t] = "request: " + gw->getErrorMsg();
            return;
          }
          if (json::parse(response).at("sha256") != Sha256Hex(body.data(), body.size())) {
            failures[t] = "body mismatch";
            return;
          }
        }
        if (gw->disConnet() != 0) failures[t] = "disConnet: " + gw->getErrorMsg();
      } catch (const std::exception& e) {
        failures[t] = e.what();
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], "") << "thread " << t;
}

// ---------------------------------------------------------------- connection pool

// Keeps the connection pool active, as a live service object does.
class PoolUser {
 public:
  PoolUser() { LIBCURL::pool::AddUser(); }
  ~PoolUser() { LIBCURL::pool::RemoveUser(); }
  PoolUser(const PoolUser&) = delete;
  PoolUser& operator=(const PoolUser&) = delete;
};

class GatewayPoolTest : public GatewayTest {
 protected:
  // Connects a gateway (with reuse as given) and sends one GET; returns the
  // server's connection id of the request, or -1.
  static int OneRequest(const std::string& url, bool reuse, const std::string& path = "/echo") {
    auto gw = OpenGateway(url, false);
    gw->setConnectionReuse(reuse);
    std::string response;
    if (gw->connect() != 0 || gw->doGetOperation(url + path.substr(1), response, {}) != 0) {
      ADD_FAILURE() << gw->getErrorMsg();
      return -1;
    }
    const int conn = json::parse(response).at("conn").get<int>();
    EXPECT_EQ(gw->disConnet(), 0);
    return conn;
  }
};

TEST_F(GatewayPoolTest, LaterGatewaysUseTheFirstConnectionAndOpenNoOther) {
  PoolUser user;
  const std::string base = Http().url("/");
  const int first = OneRequest(base, true);
  // Neither a probe nor a request of the next gateways opens a connection:
  // an unpooled gateway afterwards gets the very next two ids (its probe,
  // then its request).
  EXPECT_EQ(OneRequest(base, true), first);
  EXPECT_EQ(OneRequest(base, true), first);
  EXPECT_EQ(LIBCURL::pool::IdleCount(), 1u);
  EXPECT_EQ(OneRequest(base, false), first + 2);
  // Unpooled gateways keep today's behaviour: a connection of their own.
  EXPECT_EQ(OneRequest(base, false), first + 4);
}

TEST_F(GatewayPoolTest, ConnectionClosedByTheServerWhilePooledIsReplacedSilently) {
  PoolUser user;
  const std::string base = Http().url("/");
  const int first = OneRequest(base, true, "/echo?idle_close");
  ASSERT_EQ(LIBCURL::pool::IdleCount(), 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  // The next gateway takes the dead connection from the pool: its request
  // still succeeds, on a new connection, at the first attempt.
  const int second = OneRequest(base, true);
  EXPECT_GT(second, first);
  EXPECT_EQ(OneRequest(base, true), second);
}

TEST_F(GatewayPoolTest, AServerStoppedWithItsConnectionPooledStillFailsTheConnect) {
  PoolUser user;
  auto server = std::make_unique<TestServer>(false);
  const std::string base = server->url("/");
  ASSERT_GT(OneRequest(base, true), 0);
  ASSERT_EQ(LIBCURL::pool::IdleCount(), 1u);
  server.reset();  // its connections close with it
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto gw = OpenGateway(base, false);
  gw->setConnectionReuse(true);
  Outcome o = Collect(*gw, gw->connect());
  EXPECT_EQ(o.curlCode, kCurlCouldntConnect) << o.error;
  EXPECT_EQ(LIBCURL::pool::IdleCount(), 0u);
}

TEST_F(GatewayPoolTest, ConnectionsIdleBeyondTheLimitAreClosedAndProbedAgain) {
  PoolUser user;
  zutest::EnvChange change;
  change.idleConnectionLifetime = std::chrono::milliseconds(150);
  zutest::ScopedEnvChange shortIdle(change);
  const std::string base = Http().url("/");
  const int first = OneRequest(base, true);
  OneRequest(base, true);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // The idle connection is closed rather than handed out, and the origin's
  // last answer is too old to stand for the check: probe, then a request.
  const int later = OneRequest(base, true);
  EXPECT_EQ(later, first + 2);
  EXPECT_EQ(LIBCURL::pool::IdleCount(), 1u);
}

// The pool's own idle lifetime, on the environment's clock: a connection
// idle one second less is handed out again, one idle a second more is
// closed and the origin probed again (a probe, then a request).
TEST_F(GatewayPoolTest, APooledConnectionOutlivesItsIdleLifetimeNever) {
  for (const long idleSeconds :
       {LIBCURL::pool::kMaxIdleSeconds - 1, LIBCURL::pool::kMaxIdleSeconds + 1}) {
    SCOPED_TRACE(idleSeconds);
    auto later = std::make_shared<std::atomic<long>>(0);
    zutest::EnvChange change;
    change.now = [later] {
      return std::chrono::steady_clock::now() + std::chrono::seconds(later->load());
    };
    zutest::ScopedEnvChange clock(change);
    PoolUser user;
    const std::string base = Http().url("/");
    const int first = OneRequest(base, true);
    later->store(idleSeconds);
    const int next = OneRequest(base, true);
    EXPECT_EQ(next, idleSeconds < LIBCURL::pool::kMaxIdleSeconds ? first : first + 2);
  }
}

// A request that fails in transport on an open gateway leaves the origin
// unchecked: the next gateway probes it again rather than trusting the
// earlier answer, and so learns it is gone.
TEST_F(GatewayPoolTest, ATransportFailureMakesTheNextGatewayProbeAgain) {
  PoolUser user;
  auto server = std::make_unique<TestServer>(false);
  const std::string base = server->url("/");
  auto gw = OpenGateway(base, false);
  gw->setConnectionReuse(true);
  std::string response;
  ASSERT_EQ(gw->connect(), 0) << gw->getErrorMsg();
  ASSERT_EQ(gw->doGetOperation(base + "echo", response, {}), 0) << gw->getErrorMsg();
  server.reset();
  EXPECT_NE(gw->doGetOperation(base + "echo", response, {}), 0);
  auto next = OpenGateway(base, false);
  next->setConnectionReuse(true);
  Outcome o = Collect(*next, next->connect());
  EXPECT_EQ(o.curlCode, kCurlCouldntConnect) << o.error;
}

// A connection busy all the time is still replaced once it is older than
// its lifetime (1 s here; libcurl counts whole seconds, so at 2 s), and not
// before.
TEST_F(GatewayPoolTest, ABusyConnectionIsReplacedOnceItsLifetimeIsOver) {
  zutest::EnvChange oneSecond;
  oneSecond.connectionLifetime = std::chrono::seconds(1);
  zutest::ScopedEnvChange shortLife(oneSecond);
  PoolUser user;
  auto gw = OpenGateway(Http().url("/"), false);
  const std::string base = Http().url("/");
  gw->setConnectionReuse(true);
  ASSERT_EQ(gw->connect(), 0) << gw->getErrorMsg();
  const auto start = std::chrono::steady_clock::now();
  std::set<int> early;
  std::set<int> late;
  for (int i = 0; i < 28; ++i) {
    std::string response;
    ASSERT_EQ(gw->doGetOperation(base + "echo", response, {}), 0) << gw->getErrorMsg();
    const auto age = std::chrono::steady_clock::now() - start;
    const int conn = json::parse(response).at("conn").get<int>();
    if (age < std::chrono::milliseconds(900)) early.insert(conn);
    if (age > std::chrono::milliseconds(2300)) late.insert(conn);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(early.size(), 1u);
  ASSERT_FALSE(late.empty());
  EXPECT_EQ(late.count(*early.begin()), 0u);
}

TEST_F(GatewayPoolTest, NoSocketIsLeftWhenTheLastUserLeaves) {
  const std::string base = Http().url("/");
  {
    PoolUser warmUp;  // libcurl's and OpenSSL's own one-time descriptors
    OneRequest(base, true);
  }
  const int before = zutest::CountOpenFds();
  LIBCURL::pool::AddUser();
  LIBCURL::pool::AddUser();
  OneRequest(base, true);
  OneRequest(base, true);
  // The pooled connection (and its handle's own descriptors).
  const int pooled = zutest::CountOpenFds();
  EXPECT_GT(pooled, before);
  auto open = OpenGateway(base, false);
  open->setConnectionReuse(true);
  ASSERT_EQ(open->connect(), 0) << open->getErrorMsg();
  std::string response;
  ASSERT_EQ(open->doGetOperation(base + "echo", response, {}), 0);
  EXPECT_EQ(zutest::CountOpenFds(), pooled);  // the gateway took it
  EXPECT_EQ(open->disConnet(), 0);
  ASSERT_EQ(open->initialize(3, 0), 0);
  ASSERT_EQ(open->connect(), 0) << open->getErrorMsg();
  ASSERT_EQ(open->doGetOperation(base + "echo", response, {}), 0);
  LIBCURL::pool::RemoveUser();
  EXPECT_EQ(zutest::CountOpenFds(), pooled);  // one user is left
  LIBCURL::pool::RemoveUser();
  // The pool is empty; the gateway still open closes its connection when it
  // is closed itself, instead of pooling it.
  EXPECT_EQ(LIBCURL::pool::IdleCount(), 0u);
  EXPECT_EQ(zutest::CountOpenFds(), pooled);
  EXPECT_EQ(open->disConnet(), 0);
  EXPECT_EQ(zutest::CountOpenFds(), before);
}

TEST_F(GatewayPoolTest, ParallelGatewaysNeverShareAConnectionAtOnce) {
  PoolUser user;
  const int kThreads = 4;
  const std::string base = Http().url("/");
  std::vector<std::vector<int>> conns(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &conns, &base] {
      for (int i = 0; i < 6; ++i) {
        auto gw = OpenGateway(base, false);
        gw->setConnectionReuse(true);
        std::vector<char> body = MakeBody(32 * 1024, 7u * t + i);
        std::string response;
        if (gw->connect() != 0 ||
            gw->doPutOperation(base + "echo", body.data(), static_cast<long>(body.size()), response,
                               {}) != 0) {
          conns[t].push_back(-1);
          continue;
        }
        json reply = json::parse(response);
        conns[t].push_back(reply.at("sha256") == Sha256Hex(body.data(), body.size())
                               ? reply.at("conn").get<int>()
                               : -2);
      }
    });
  }
  for (auto& th : threads) th.join();
  std::set<int> distinct;
  for (const auto& list : conns) {
    for (int c : list) {
      EXPECT_GT(c, 0);
      distinct.insert(c);
    }
  }
  // 24 requests over at most one connection per thread (plus a probe each
  // at the start, which is no request).
  EXPECT_LE(distinct.size(), static_cast<size_t>(kThreads));
}

// ---------------------------------------------------------------- exactly once

// The server's request count, read through `gw` (the count request itself
// included).
int ServerCount(ZuInternetGateway& gw, const std::string& base) {
  std::string response;
  if (gw.doGetOperation(base + "count", response, {}) != 0) {
    ADD_FAILURE() << gw.getErrorMsg();
    return -1;
  }
  return std::stoi(response);
}

// A request whose reused connection closes before the first reply byte
// reached the server: it fails, says so, and is not sent again (libcurl
// would resend it on a new connection by itself).
TEST_F(GatewayPoolTest, AReplyLostOnAReusedConnectionFailsAndIsNeverSentAgain) {
  PoolUser user;
  const std::string base = Http().url("/");
  const std::vector<char> body = MakeBody(100 * 1024, 3);
  struct Row {
    const char* what;
    std::function<int(ZuInternetGateway&, std::string&)> send;
  };
  const std::vector<Row> rows = {
      {"GET", [&](ZuInternetGateway& gw,
                  std::string& r) { return gw.doGetOperation(base + "lose", r, {}); }},
      {"POST with a body",
       [&](ZuInternetGateway& gw, std::string& r) {
         return gw.doPostOperation(base + "lose", body.data(), static_cast<long>(body.size()), r,
                                   {});
       }},
      {"empty POST",
       [&](ZuInternetGateway& gw, std::string& r) {
         return gw.doPostOperation(base + "lose", nullptr, 0, r, {});
       }},
      {"PUT",
       [&](ZuInternetGateway& gw, std::string& r) {
         return gw.doPutOperation(base + "lose", body.data(), static_cast<long>(body.size()), r,
                                  {});
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    OneRequest(base, true);  // leaves a connection in the pool
    auto gw = OpenGateway(base, false);
    gw->setConnectionReuse(true);
    ASSERT_EQ(gw->connect(), 0) << gw->getErrorMsg();
    const int before = ServerCount(*gw, base);
    std::string response;
    LIBCURL::ClearRequestRefusedOnThisThread();
    const Outcome lost = Collect(*gw, row.send(*gw, response));
    EXPECT_EQ(lost.curlCode, 52) << lost.error;
    EXPECT_EQ(lost.status, 0);
    EXPECT_TRUE(LIBCURL::ReplyLostOnThisThread());
    EXPECT_FALSE(LIBCURL::RequestRefusedOnThisThread());
    // The lost request and this count: the server saw the request once.
    EXPECT_EQ(ServerCount(*gw, base), before + 2);
    EXPECT_EQ(gw->disConnet(), 0);
  }
}

// A reused connection reset before a byte of the reply came, while the
// request is sent or just after: the same story as a lost reply (the next
// attempt goes at once). libcurl sends a request again by itself when it
// sees the reset while reading (refused: curl error 52), not while sending a
// body (curl error 55), so which of the two ends a large body's request
// varies from run to run: that row goes several times. On a new connection
// a reset is an ordinary failure.
TEST_F(GatewayPoolTest, AResetOnAReusedConnectionBeforeTheReplyCountsAsALostReply) {
  PoolUser user;
  static TestServer tls(true);
  const std::vector<char> body = MakeBody(64 * 1024 * 1024, 5);
  struct Row {
    const char* path;
    bool reused;
    long bodyBytes;
    int times;
    std::vector<int> codes;  // curl errors that may report it
  };
  const long large = static_cast<long>(body.size());
  const std::vector<Row> rows = {
      {"reset", true, 0, 1, {52, 56}},
      {"reset", true, 100 * 1024, 1, {52, 55, 56}},
      {"reset_early", true, large, 4, {52, 55, 56}},
      {"reset", false, 100 * 1024, 1, {55, 56}},
      {"reset_early", false, large, 1, {55, 56}},
  };
  for (const std::string& base : {Http().url("/"), tls.url("/")}) {
    for (const Row& row : rows) {
      for (int n = 0; n < row.times; ++n) {
        SCOPED_TRACE(base + row.path + (row.reused ? " reused " : " new ") +
                     std::to_string(row.bodyBytes));
        if (row.reused) OneRequest(base, true);  // leaves a connection in the pool
        auto gw = OpenGateway(base, false);
        gw->setConnectionReuse(row.reused);
        ASSERT_EQ(gw->connect(), 0) << gw->getErrorMsg();
        std::string response;
        LIBCURL::ClearRequestRefusedOnThisThread();
        const Outcome o = Collect(
            *gw, gw->doPutOperation(base + row.path, row.bodyBytes > 0 ? body.data() : nullptr,
                                    row.bodyBytes, response, {}));
        EXPECT_NE(std::find(row.codes.begin(), row.codes.end(), o.curlCode), row.codes.end())
            << "curl error " << o.curlCode << ": " << o.error;
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(LIBCURL::ReplyLostOnThisThread(), row.reused);
        EXPECT_EQ(gw->disConnet(), 0);
      }
    }
  }
}

// A reply nobody asked for, waiting on a connection, is never read as the
// next request's reply: neither on a connection taken from the pool nor on
// a gateway's own next request.
TEST_F(GatewayPoolTest, AStrayReplyIsNeverReadAsTheNextRequestsReply) {
  PoolUser user;
  const std::string base = Http().url("/");
  for (const char* stray : {"stray_now", "stray_late"}) {
    SCOPED_TRACE(stray);
    OneRequest(base, true, std::string("/echo?") + stray);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto pooled = OpenGateway(base, false);
    pooled->setConnectionReuse(true);
    ASSERT_EQ(pooled->connect(), 0) << pooled->getErrorMsg();
    std::string response;
    Outcome o = Collect(*pooled, pooled->doGetOperation(base + "status/500", response, {}));
    EXPECT_EQ(o.status, 500) << response;
    EXPECT_EQ(response, "body of status 500");

    ASSERT_EQ(pooled->doGetOperation(base + "echo?" + std::string(stray), response, {}), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    o = Collect(*pooled, pooled->doGetOperation(base + "status/404", response, {}));
    EXPECT_EQ(o.status, 404) << response;
    EXPECT_EQ(pooled->disConnet(), 0);
  }
}

// The sockets listed in /proc/<pid>/fd, as `ls -l` shows them.
int SocketLines(const std::string& listing) {
  int sockets = 0;
  for (size_t at = listing.find("socket:"); at != std::string::npos;
       at = listing.find("socket:", at + 1)) {
    ++sockets;
  }
  return sockets;
}

std::string ListDescriptors(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
  ::pclose(pipe);
  return out;
}

// A process started while connections wait in the pool inherits none of
// them, nor libcurl's socket pair of each handle.
TEST_F(GatewayPoolTest, AChildProcessInheritsNoSocketOfTheLibrary) {
  PoolUser user;
  const std::string base = Http().url("/");
  OneRequest(base, true);
  OneRequest(base, true, "/echo?idle_close");  // a handle whose connection closes
  ASSERT_GE(LIBCURL::pool::IdleCount(), 1u);
  const std::string own = ListDescriptors("ls -l /proc/" + std::to_string(::getpid()) + "/fd");
  // The pooled connection and the handle's socket pair.
  ASSERT_GE(SocketLines(own), 3) << own;
  const std::string child = ListDescriptors("ls -l /proc/$$/fd");
  EXPECT_EQ(SocketLines(child), 0) << child;
}

TEST_F(GatewayTlsTest, PooledConnectionsAreSharedOnlyUnderTheSameCertificateChecks) {
  PoolUser user;
  auto request = [](bool verify) -> int {
    auto gw = OpenGateway(Https().url("/"), verify);
    gw->setConnectionReuse(true);
    std::string response;
    if (gw->connect() != 0 || gw->doGetOperation(Https().url("/echo"), response, {}) != 0) {
      ADD_FAILURE() << gw->getErrorMsg();
      return -1;
    }
    return json::parse(response).at("conn").get<int>();
  };
  const int unchecked = request(false);
  EXPECT_EQ(request(false), unchecked);
  {
    zutest::ScopedEnv ca("ZUCLOUD_CA_FILE", Https().caFile());
    const int checked = request(true);
    EXPECT_NE(checked, unchecked);  // never the unverified connection
    EXPECT_EQ(request(true), checked);
  }
  // Without the CA file the server's certificate is unknown: the gateway
  // neither takes the connection verified with that file nor skips its
  // check.
  auto gw = OpenGateway(Https().url("/"), true);
  gw->setConnectionReuse(true);
  Outcome o = Collect(*gw, gw->connect());
  EXPECT_EQ(o.curlCode, kCurlPeerFailedVerification) << o.error;
}

// ---------------------------------------------------------------- proxies

// The proxy setting carries http (forwarded) and https (tunnelled) requests,
// with its credentials sent to the proxy only, and takes precedence over
// the environment; the bypass list goes around it; without settings the
// environment's proxy is used.
TEST_F(GatewayTlsTest, TheProxySettingCarriesRequestsAndTakesPrecedenceOverTheEnvironment) {
  zutest::TestProxy proxy;
  const std::string dead = "http://127.0.0.1:9";
  zutest::ScopedEnv http("http_proxy", dead), https("HTTPS_PROXY", dead),
      httpsLower("https_proxy", dead), noProxy("NO_PROXY", std::nullopt),
      noProxyLower("no_proxy", std::nullopt), ca("ZUCLOUD_CA_FILE", Https().caFile());
  struct Row {
    const char* what;
    std::string url;
    bool secured;
    std::string proxy;
    std::string bypass;
    bool ok;
    int tunnels;
    int forwarded;
  };
  const std::vector<Row> rows = {
      {"http through the proxy", Http().url("/echo"), false, proxy.url("ann:s3cr3t@"), "", true, 0,
       1},
      {"https tunnelled", Https().url("/echo"), true, proxy.url(), "", true, 1, 1},
      {"bypassed", Https().url("/echo"), true, proxy.url(), "127.0.0.1", true, 1, 1},
      {"the environment's dead proxy", Http().url("/echo"), false, "", "", false, 1, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto gw = OpenGateway(row.url, row.secured);
    gw->setProxy(row.proxy, row.bypass);
    std::string response;
    const Outcome o = Collect(*gw, gw->doGetOperation(row.url, response, {}));
    EXPECT_EQ(o.result == 0, row.ok) << o.error;
    const json stats = proxy.stats();
    EXPECT_EQ(stats.value("tunnels", -1), row.tunnels);
    EXPECT_EQ(stats.value("forwarded", -1), row.forwarded);
  }
  const json stats = proxy.stats();
  ASSERT_EQ(stats.at("authorization").size(), 1u);
  EXPECT_EQ(stats.at("authorization").at(0), "Basic YW5uOnMzY3IzdA==");  // ann:s3cr3t
}

// ---------------------------------------------------------------- probes in flight

// Copies bytes both ways between `client` and a new connection to
// 127.0.0.1:`port` until either side ends or `stop` is set.
void Relay(int client, int port, const std::atomic<bool>& stop) {
  const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    pollfd ends[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    char buffer[16384];
    bool open = true;
    while (open && !stop) {
      if (::poll(ends, 2, 50) <= 0) continue;
      for (int i = 0; i < 2 && open; ++i) {
        if (ends[i].revents == 0) continue;
        const ssize_t n = ::read(ends[i].fd, buffer, sizeof buffer);
        open = n > 0 && ::write(ends[1 - i].fd, buffer, static_cast<size_t>(n)) == n;
      }
    }
  }
  ::close(server);
}

// A door in front of a local server: it counts the connections it accepts
// and holds each (nothing sent, nothing passed on) until the test opens it,
// from then on relaying every connection to the server, or shuts it,
// closing every connection at once.
class HeldDoor {
 public:
  explicit HeldDoor(int serverPort) : m_serverPort(serverPort) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), length) != 0 ||
        ::listen(m_listen, 16) != 0 ||
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
      throw std::runtime_error("the door cannot listen");
    }
    m_port = ntohs(addr.sin_port);
    m_acceptor = std::thread([this] { AcceptAll(); });
  }
  ~HeldDoor() {
    m_stop = true;
    Decide(State::kShut);
    ::shutdown(m_listen, SHUT_RDWR);  // ends the accept() under way
    m_acceptor.join();
    for (std::thread& t : m_connections) t.join();
    ::close(m_listen);
  }
  HeldDoor(const HeldDoor&) = delete;
  HeldDoor& operator=(const HeldDoor&) = delete;

  std::string url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(m_port) + path;
  }
  int accepted() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_accepted;
  }
  void Open() { Decide(State::kOpen); }
  void Shut() { Decide(State::kShut); }

 private:
  enum class State { kHeld, kOpen, kShut };
  void Decide(State state) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_state == State::kHeld) m_state = state;
    m_decided.notify_all();
  }
  void AcceptAll() {
    for (;;) {
      const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      std::lock_guard<std::mutex> lock(m_mutex);
      ++m_accepted;
      m_connections.emplace_back([this, fd] { Serve(fd); });
    }
  }
  void Serve(int fd) {
    State state;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_decided.wait(lock, [this] { return m_state != State::kHeld; });
      state = m_state;
    }
    if (state == State::kOpen) Relay(fd, m_serverPort, m_stop);
    ::close(fd);
  }

  int m_serverPort;
  int m_listen = -1;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  std::mutex m_mutex;
  std::condition_variable m_decided;
  State m_state = State::kHeld;            // guarded by m_mutex
  int m_accepted = 0;                      // guarded by m_mutex
  std::vector<std::thread> m_connections;  // guarded by m_mutex (joined once alone)
  std::thread m_acceptor;
};

// Waits (up to 20 s) until `ready` holds; the test's checks tell the rest.
void AwaitCondition(const std::function<bool()>& ready) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!ready() && std::chrono::steady_clock::now() < giveUp)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// Uploader threads open their gateways to an origin not reached yet all at
// once: one probe goes out and the others wait for it, taking its outcome,
// a failure too, as their own. The first probe is held at the door until
// every other gateway waits.
TEST_F(GatewayTlsTest, GatewaysConnectingAtOnceWaitForOneProbeAndShareItsOutcome) {
  constexpr int kGateways = 4;
  struct Row {
    const char* what;
    bool reached;
    int connectionsAfterward;  // a request per gateway once reached, else one more connect
  };
  const std::vector<Row> rows = {{"the probe completes", true, 1 + kGateways},
                                 {"the probe's connection is closed", false, 2}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    HeldDoor door(Https().port());
    PoolUser user;
    std::vector<std::unique_ptr<ZuInternetGateway>> gateways;
    std::vector<Outcome> outcomes(kGateways);
    std::vector<std::thread> threads;
    // Every gateway is made before the first thread starts: the threads
    // read the vector that a later push_back would move.
    for (int i = 0; i < kGateways; ++i) {
      gateways.push_back(OpenGateway(door.url("/"), false));
      gateways.back()->setConnectionReuse(true);
    }
    for (int i = 0; i < kGateways; ++i) {
      ZuInternetGateway* gateway = gateways[i].get();
      threads.emplace_back(
          [&outcomes, gateway, i] { outcomes[i] = Collect(*gateway, gateway->connect()); });
    }
    AwaitCondition([&door] {
      return door.accepted() >= 1 && LIBCURL::pool::ProbeWaiterCount() == kGateways - 1;
    });
    EXPECT_EQ(door.accepted(), 1);
    if (row.reached) door.Open();
    if (!row.reached) door.Shut();
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(door.accepted(), 1);
    EXPECT_EQ(LIBCURL::pool::ProbeWaiterCount(), 0u);
    for (const Outcome& o : outcomes) {
      EXPECT_EQ(o.result == 0, row.reached) << o.error;
      EXPECT_EQ(o.curlCode, outcomes[0].curlCode);
      EXPECT_EQ(o.curlText, outcomes[0].curlText);
    }
    std::string response;
    for (auto& gw : gateways) {
      if (!row.reached) break;
      EXPECT_EQ(gw->doGetOperation(door.url("/echo"), response, {}), 0) << gw->getErrorMsg();
    }
    // A failed probe is not remembered: the next connect probes again.
    EXPECT_EQ(row.reached || gateways[0]->connect() != 0, true);
    EXPECT_EQ(door.accepted(), row.connectionsAfterward);
    gateways.clear();
  }
}

}  // namespace
