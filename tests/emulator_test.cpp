// The cloud emulator driven over plain HTTP(S) with libcurl: login and
// sessions, journal, fault injection, folder set-up, folder creation, the
// chunked upload protocol and TLS. The faults that spoil a reply are read
// off raw connections, which see every byte sent. The library's own tests
// rely on every behaviour checked here.
#include "support/Emulator.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/TestEnv.h"

namespace {

using nlohmann::json;
using zutest::Emulator;
using zutest::EmulatorOptions;

const char* kGoodLogin =
    "<CheckCredentialReq><userName>ann</userName><password>czNjcjN0</password>"
    "<extraCredential>x-extra</extraCredential></CheckCredentialReq>";
const char* kSetupPath = "/api/Workflow/Setup_DRBackup_ZUCloudV2/Action/Execute";

std::string Sha256Hex(const std::string& data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr);
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < len; ++i) {
    out += hex[md[i] >> 4];
    out += hex[md[i] & 15];
  }
  return out;
}

std::string Base64(const std::string& data) {
  std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                          reinterpret_cast<const unsigned char*>(data.data()),
                          static_cast<int>(data.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

// Text of the first <tag>...</tag>, nullopt when the element is absent.
std::optional<std::string> Tag(const std::string& xml, const std::string& tag) {
  auto open = xml.find("<" + tag + ">");
  if (open == std::string::npos) return std::nullopt;
  open += tag.size() + 2;
  auto close = xml.find("</" + tag + ">", open);
  if (close == std::string::npos) return std::nullopt;
  return xml.substr(open, close - open);
}

bool IsHexToken(const std::string& s) {
  return s.size() == 32 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The document without a leading XML declaration.
std::string WithoutDeclaration(const std::string& xml) {
  if (xml.rfind("<?xml", 0) != 0) return xml;
  auto end = xml.find("?>");
  return end == std::string::npos ? xml : xml.substr(end + 2);
}

struct Reply {
  CURLcode rc = CURLE_OK;
  long status = 0;
  std::string body;
};

size_t Append(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// One curl handle: consecutive requests reuse its connection (keep-alive).
class Client {
 public:
  explicit Client(std::string ca = "") : m_ca(std::move(ca)), m_curl(curl_easy_init()) {}
  ~Client() { curl_easy_cleanup(m_curl); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  Reply post(const std::string& url, const std::string& body,
             const std::vector<std::string>& headers = {}, bool fresh = false) {
    curl_easy_reset(m_curl);
    Reply r;
    curl_slist* list = nullptr;
    for (const auto& h : headers) list = curl_slist_append(list, h.c_str());
    list = curl_slist_append(list, "Expect:");
    curl_easy_setopt(m_curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(m_curl, CURLOPT_POST, 1L);
    curl_easy_setopt(m_curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(m_curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(m_curl, CURLOPT_WRITEFUNCTION, Append);
    curl_easy_setopt(m_curl, CURLOPT_WRITEDATA, &r.body);
    curl_easy_setopt(m_curl, CURLOPT_TIMEOUT, 20L);  // nothing here may hang
    curl_easy_setopt(m_curl, CURLOPT_NOSIGNAL, 1L);
    if (fresh) curl_easy_setopt(m_curl, CURLOPT_FRESH_CONNECT, 1L);
    if (!m_ca.empty()) curl_easy_setopt(m_curl, CURLOPT_CAINFO, m_ca.c_str());
    r.rc = curl_easy_perform(m_curl);
    curl_easy_getinfo(m_curl, CURLINFO_RESPONSE_CODE, &r.status);
    curl_slist_free_all(list);
    return r;
  }

 private:
  std::string m_ca;
  CURL* m_curl;
};

// A connection that sees every byte the emulator sends: replies are taken
// off it one by one, and nothing after one is lost.
class RawConnection {
 public:
  explicit RawConnection(int port) : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ADD_FAILURE() << "cannot connect to port " << port;
    }
  }
  ~RawConnection() {
    if (m_fd >= 0) ::close(m_fd);
  }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  // POSTs `body` to `url`'s path and query.
  void post(const std::string& url, const std::string& body,
            const std::vector<std::string>& headers = {}) {
    std::string request =
        "POST " + url.substr(url.find('/', url.find("//") + 2)) +
        " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    for (const auto& h : headers) request += h + "\r\n";
    request += "\r\n" + body;
    EXPECT_EQ(::send(m_fd, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
  }

  // The next whole reply (status and body); nullopt when the connection
  // ends, or stays silent for 20 s, first.
  std::optional<Reply> reply() {
    size_t head = 0;
    while ((head = m_buffer.find("\r\n\r\n")) == std::string::npos) {
      if (!fill()) return std::nullopt;
    }
    const size_t field = m_buffer.find("\r\nContent-Length: ");
    if (m_buffer.rfind("HTTP/1.1 ", 0) != 0 || field == std::string::npos || field > head) {
      ADD_FAILURE() << "not a reply with a length: " << m_buffer.substr(0, head);
      return std::nullopt;
    }
    const size_t end = head + 4 + std::stoul(m_buffer.substr(field + 18));
    while (m_buffer.size() < end) {
      if (!fill()) return std::nullopt;
    }
    Reply r;
    r.status = std::stol(m_buffer.substr(9, 3));
    r.body = m_buffer.substr(head + 4, end - head - 4);
    m_buffer.erase(0, end);
    return r;
  }

  // Every byte not yet taken, read until the server closes the connection
  // (or stays silent for 20 s).
  std::string rest() {
    while (fill()) {
    }
    return std::exchange(m_buffer, "");
  }
  bool closedByServer() const { return m_closed; }

 private:
  bool fill() {
    pollfd ready{m_fd, POLLIN, 0};
    if (m_closed || ::poll(&ready, 1, 20000) != 1) return false;
    char data[65536];
    const ssize_t n = ::recv(m_fd, data, sizeof data, 0);
    m_closed = n == 0;
    if (n <= 0) return false;
    m_buffer.append(data, static_cast<size_t>(n));
    return true;
  }

  int m_fd;
  bool m_closed = false;
  std::string m_buffer;
};

std::string LoginBody(const std::string& user, const std::string& passwordB64) {
  return "<CheckCredentialReq><userName>" + user + "</userName><password>" + passwordB64 +
         "</password><extraCredential></extraCredential></CheckCredentialReq>";
}

std::string SetupBody(const std::string& guid, int folderType) {
  return "<Workflow_StartWorkflow><options><inputs><VestrumGUID>" + guid +
         "</VestrumGUID><FolderType>" + std::to_string(folderType) +
         "</FolderType></inputs></options><outputFormat>0</outputFormat></Workflow_StartWorkflow>";
}

class EmulatorTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_emu = std::make_unique<Emulator>(); }
  static void TearDownTestSuite() { s_emu.reset(); }
  void SetUp() override { emu().reset(); }

  static Emulator& emu() { return *s_emu; }

  std::string login(Client& c) {
    Reply r = c.post(emu().consoleUrl() + "/api/Login", kGoodLogin);
    EXPECT_EQ(r.status, 200);
    auto token = Tag(r.body, "sessionToken");
    EXPECT_TRUE(token && !token->empty()) << r.body;
    return token.value_or("");
  }

  // Runs the set-up workflow and returns the share id.
  std::string setup(Client& c, const std::string& token, const std::string& guid = "g-1") {
    Reply r = c.post(emu().consoleUrl() + kSetupPath + "?outputonly=true", SetupBody(guid, 1),
                     {"Accept: application/xml", "Authtoken: " + token});
    EXPECT_EQ(r.status, 200) << r.body;
    return Tag(r.body, "shareID").value_or("");
  }

  static std::vector<std::string> UploadHeaders(const std::string& token, const std::string& name,
                                                size_t size, bool eof) {
    std::vector<std::string> h = {"Accept: application/xml",
                                  "Authtoken: " + token,
                                  "FileName: " + Base64(name),
                                  "FileSize: " + std::to_string(size),
                                  "FileModifiedtime: 2024-06-01T10:00:00Z",
                                  "ParentFolderPath: " + Base64("\\DRBackup\\g-1\\set 1"),
                                  "Content-Type: application/octet-stream"};
    if (eof) h.push_back("FileEOF: 1");
    return h;
  }

  static std::string UploadUrl(const std::string& share, const std::string& query) {
    return emu().uploadUrl() + "/api/drive/share/" + share +
           "/file/action/upload?uploadType=chunkedFile&" + query;
  }

  // The client's protocol: session with the first chunk, then one request per
  // further chunk; FileEOF from the read that reaches the end on. Returns the
  // file GUID of the last reply ("" when it carried none).
  std::string upload(Client& c, const std::string& token, const std::string& share,
                     const std::string& name, const std::string& content) {
    const size_t chunk = 4194304;
    size_t end = std::min(chunk, content.size());
    Reply r = c.post(UploadUrl(share, "forceRestart=true"), content.substr(0, end),
                     UploadHeaders(token, name, content.size(), false));
    EXPECT_EQ(r.status, 200) << r.body;
    auto requestId = Tag(r.body, "requestId");
    EXPECT_TRUE(requestId && !requestId->empty()) << r.body;
    EXPECT_EQ(Tag(r.body, "chunkOffset"), std::to_string(end));
    for (;;) {
      size_t len = std::min(chunk, content.size() - end);
      std::string part = content.substr(end, len);
      end += len;
      bool eof = end == content.size();
      r = c.post(UploadUrl(share, "requestId=" + requestId.value_or("")), part,
                 UploadHeaders(token, name, content.size(), eof));
      EXPECT_EQ(r.status, 200) << r.body;
      if (eof) return Tag(r.body, "fileGUID").value_or("");
      EXPECT_EQ(Tag(r.body, "chunkOffset"), std::to_string(end));
      EXPECT_EQ(Tag(r.body, "fileGUID"), std::nullopt);
    }
  }

  static std::unique_ptr<Emulator> s_emu;
};

std::unique_ptr<Emulator> EmulatorTest::s_emu;

TEST_F(EmulatorTest, LoginAcceptsTheAccountAndRejectsWrongCredentials) {
  Client c;
  const std::string url = emu().consoleUrl() + "/api/Login";
  Reply ok = c.post(url, kGoodLogin, {"Accept: application/xml"});
  ASSERT_EQ(ok.rc, CURLE_OK);
  EXPECT_EQ(ok.status, 200);
  EXPECT_TRUE(IsHexToken(Tag(ok.body, "sessionToken").value_or(""))) << ok.body;
  EXPECT_EQ(ok.body.find("<Error>"), std::string::npos);
  std::string second = Tag(c.post(url, kGoodLogin).body, "sessionToken").value_or("");
  EXPECT_NE(second, Tag(ok.body, "sessionToken").value_or(""));

  // Wrong password, unknown user, and the clear password where Base64 belongs.
  for (const auto& body : {LoginBody("ann", Base64("wrong")), LoginBody("bob", Base64("s3cr3t")),
                           LoginBody("ann", "s3cr3t")}) {
    Reply bad = c.post(url, body);
    EXPECT_EQ(bad.status, 200) << body;
    EXPECT_EQ(Tag(bad.body, "errorText"), "Invalid user name or password") << body;
    EXPECT_EQ(Tag(bad.body, "sessionToken"), "") << body;
  }

  EXPECT_EQ(c.post(url, "<CheckCredentialReq><userName>").status, 400);
  EXPECT_EQ(c.post(url,
                   "<!DOCTYPE x [<!ENTITY a \"ann\">]><CheckCredentialReq><userName>&a;"
                   "</userName></CheckCredentialReq>")
                .status,
            400);

  json logins = emu().state()["logins"];
  ASSERT_EQ(logins.size(), 5u);
  EXPECT_EQ(logins[0]["extraCredential"], "x-extra");
  EXPECT_EQ(logins[0]["ok"], true);
  EXPECT_EQ(logins[2]["ok"], false);
}

TEST_F(EmulatorTest, LoginReplyKnobAndErrorEntryFault) {
  Client c;
  const std::string url = emu().consoleUrl() + "/api/Login";
  emu().config({{"login_reply",
                 "<CheckCredentialResp><sessionToken>{token}</sessionToken>"
                 "</CheckCredentialResp>"}});
  Reply r = c.post(url, kGoodLogin);
  std::string token = Tag(r.body, "sessionToken").value_or("");
  EXPECT_EQ(r.body.find("errors"), std::string::npos);
  ASSERT_EQ(token.size(), 32u) << r.body;
  // The token substituted into the verbatim reply is a valid session.
  EXPECT_EQ(c.post(emu().consoleUrl() + kSetupPath + "?outputonly=true", SetupBody("g", 1),
                   {"Authtoken: " + token})
                .status,
            200);
  emu().config({{"login_reply", nullptr}});

  emu().fault("login", {{"fault", "error_entry"}, {"text", "Account locked"}});
  r = c.post(url, kGoodLogin);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(Tag(r.body, "errorText"), "Account locked");
  EXPECT_EQ(Tag(r.body, "sessionToken"), "");
  EXPECT_EQ(Tag(c.post(url, kGoodLogin).body, "sessionToken").value_or("").size(), 32u);
}

TEST_F(EmulatorTest, ServiceRequestsNeedAValidAuthtoken) {
  Client c;
  const std::string url = emu().consoleUrl() + kSetupPath + "?outputonly=true";
  EXPECT_EQ(c.post(url, SetupBody("g-1", 1)).status, 401);
  EXPECT_EQ(c.post(url, SetupBody("g-1", 1), {"Authtoken: 0123456789abcdef"}).status, 401);
  std::string token = login(c);
  EXPECT_EQ(c.post(url, SetupBody("g-1", 1), {"Authtoken: " + token}).status, 200);
  // Sessions are shared by both listeners.
  std::string share = setup(c, token);
  Reply up = c.post(UploadUrl(share, "forceRestart=true"), "x",
                    UploadHeaders("not-a-token", "f", 1, false));
  EXPECT_EQ(up.status, 401);

  json entries = emu().journal("folder_setup");
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0]["status"], 401);
  EXPECT_EQ(entries[1]["status"], 401);
  EXPECT_EQ(entries[2]["status"], 200);
  EXPECT_EQ(emu().journal("upload_session")[0]["status"], 401);
}

TEST_F(EmulatorTest, JournalKeepsHeadersBodyHashAndConnections) {
  Client c1;
  Client c2;
  const std::string url = emu().consoleUrl() + "/api/Login";
  c1.post(url, kGoodLogin,
          {"Accept: application/xml", "Zeta-Header: z", "Alpha-Header: a",
           "Content-type: application/xml"});
  c1.post(url, kGoodLogin, {"Accept: application/xml"});
  c2.post(url, kGoodLogin);
  std::string big(5000, 'b');
  Reply unknown = c2.post(emu().consoleUrl() + "/api/Nope?x=1", big);
  EXPECT_EQ(unknown.status, 404);

  json all = emu().journal();
  ASSERT_EQ(all.size(), 4u);
  json first = all[0];
  EXPECT_EQ(first["kind"], "login");
  EXPECT_EQ(first["method"], "POST");
  EXPECT_EQ(first["path"], "/webconsole/api/Login");
  EXPECT_EQ(first["query"], "");
  EXPECT_EQ(first["body"], kGoodLogin);
  EXPECT_EQ(first["body_len"], std::string(kGoodLogin).size());
  EXPECT_EQ(first["body_sha256"], Sha256Hex(kGoodLogin));
  EXPECT_EQ(first["status"], 200);
  std::vector<std::string> names;
  for (const auto& h : first["headers"]) names.push_back(h[0]);
  std::vector<std::string> ours;
  for (const auto& n : names) {
    if (n == "Accept" || n == "Zeta-Header" || n == "Alpha-Header" || n == "Content-type")
      ours.push_back(n);
  }
  EXPECT_EQ(ours,
            (std::vector<std::string>{"Accept", "Zeta-Header", "Alpha-Header", "Content-type"}));
  EXPECT_EQ(
      first["headers"][std::find(names.begin(), names.end(), "Zeta-Header") - names.begin()][1],
      "z");

  // Keep-alive: the same handle reused its connection, another one did not.
  EXPECT_EQ(all[0]["connection"], all[1]["connection"]);
  EXPECT_NE(all[1]["connection"], all[2]["connection"]);
  EXPECT_EQ(all[2]["connection"], all[3]["connection"]);
  EXPECT_LT(all[0]["seq"].get<int>(), all[1]["seq"].get<int>());

  json last = all[3];
  EXPECT_EQ(last["kind"], "unknown");
  EXPECT_EQ(last["status"], 404);
  EXPECT_EQ(last["query"], "x=1");
  EXPECT_EQ(last["body_len"], 5000);
  EXPECT_TRUE(last["body"].is_null());
  EXPECT_EQ(last["body_sha256"], Sha256Hex(big));

  EXPECT_EQ(emu().journal("login").size(), 3u);
  emu().reset();
  EXPECT_TRUE(emu().journal().empty());
}

TEST_F(EmulatorTest, GenericFaultsApplyToTheNextRequestsOfTheirKind) {
  Client c;
  const std::string url = emu().consoleUrl() + "/api/Login";

  emu().fault("create_folder", {{"fault", "status"}, {"status", 500}});
  emu().fault("login", {{"fault", "status"}, {"status", 503}, {"body", "busy"}, {"count", 2}});
  for (int i = 0; i < 2; ++i) {
    Reply r = c.post(url, kGoodLogin);
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(r.body, "busy");
  }
  EXPECT_EQ(c.post(url, kGoodLogin).status, 200);
  // Unconsumed faults of other kinds stay queued.
  json pending = emu().control("GET", "/faults");
  EXPECT_TRUE(pending.contains("create_folder"));
  EXPECT_FALSE(pending.contains("login"));

  emu().fault("login", {{"fault", "reset"}});
  Reply reset = c.post(url, kGoodLogin, {}, /*fresh=*/true);
  EXPECT_TRUE(reset.rc == CURLE_RECV_ERROR || reset.rc == CURLE_GOT_NOTHING)
      << curl_easy_strerror(reset.rc);
  EXPECT_TRUE(reset.body.empty());

  emu().fault("login", {{"fault", "stall"}, {"seconds", 0.3}});
  Reply stall = c.post(url, kGoodLogin, {}, true);
  EXPECT_EQ(stall.rc, CURLE_PARTIAL_FILE) << curl_easy_strerror(stall.rc);
  EXPECT_EQ(stall.status, 200);
  EXPECT_FALSE(stall.body.empty());
  EXPECT_EQ(stall.body.find("</GenericResp>"), std::string::npos);

  emu().fault("login", {{"fault", "truncated"}});
  Reply truncated = c.post(url, kGoodLogin, {}, true);
  EXPECT_EQ(truncated.rc, CURLE_PARTIAL_FILE) << curl_easy_strerror(truncated.rc);

  emu().fault("login", {{"fault", "garbage"}});
  Reply garbage = c.post(url, kGoodLogin, {}, true);
  EXPECT_EQ(garbage.rc, CURLE_OK);
  EXPECT_EQ(garbage.status, 200);
  ASSERT_FALSE(garbage.body.empty());
  EXPECT_NE(garbage.body[0], '<');
  EXPECT_NE(garbage.body[0], '{');

  emu().fault("login", {{"fault", "empty"}});
  Reply empty = c.post(url, kGoodLogin);
  EXPECT_EQ(empty.rc, CURLE_OK);
  EXPECT_EQ(empty.status, 200);
  EXPECT_TRUE(empty.body.empty());

  EXPECT_EQ(c.post(url, kGoodLogin).status, 200);
  json entries = emu().journal("login");
  ASSERT_EQ(entries.size(), 9u);
  EXPECT_EQ(entries[3]["fault"], "reset");
  EXPECT_TRUE(entries[3]["status"].is_null());
  EXPECT_EQ(entries[4]["fault"], "stall");
  EXPECT_EQ(entries[8]["status"], 200);
  EXPECT_FALSE(entries[8].contains("fault"));

  // Bad fault requests are refused.
  const json noFault = {{"kind", "login"}};
  EXPECT_THROW(emu().control("POST", "/fault", noFault), std::runtime_error);
}

TEST_F(EmulatorTest, FolderSetupAnswersFourValuesAsDirectChildrenOfTheRoot) {
  Client c;
  std::string token = login(c);
  const std::string url = emu().consoleUrl() + kSetupPath + "?outputonly=true";
  const std::vector<std::string> h = {"Accept: application/xml", "Authtoken: " + token,
                                      "Content-type: application/xml"};
  Reply dr = c.post(url, SetupBody("5f0c-77", 1), h);
  ASSERT_EQ(dr.status, 200);
  const std::string share = Tag(dr.body, "shareID").value_or("");
  const std::string folderGuid = Tag(dr.body, "folderGUID").value_or("");
  EXPECT_FALSE(share.empty());
  EXPECT_FALSE(folderGuid.empty());
  // Exactly the four elements, directly below the root.
  EXPECT_EQ(WithoutDeclaration(dr.body), "<Workflow_Output><shareID>" + share +
                                             "</shareID><folderPath>\\DRBackup\\5f0c-77"
                                             "</folderPath><folderGUID>" +
                                             folderGuid + "</folderGUID><uploadURL>" +
                                             emu().uploadUrl() + "</uploadURL></Workflow_Output>");
  EXPECT_NE(emu().uploadUrl(), emu().consoleUrl());

  // Stable per (GUID, type); the Reports folder is another one.
  Reply again = c.post(url, SetupBody("5f0c-77", 1), h);
  EXPECT_EQ(Tag(again.body, "shareID"), share);
  EXPECT_EQ(Tag(again.body, "folderGUID"), folderGuid);
  Reply reports = c.post(url, SetupBody("5f0c-77", 2), h);
  EXPECT_EQ(Tag(reports.body, "folderPath"), "\\Reports\\5f0c-77");
  EXPECT_NE(Tag(reports.body, "shareID"), share);

  json requests = emu().state()["folder"]["setup_requests"];
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0]["VestrumGUID"], "5f0c-77");
  EXPECT_EQ(requests[0]["FolderType"], "1");
  EXPECT_EQ(requests[2]["FolderType"], "2");

  EXPECT_EQ(c.post(emu().consoleUrl() + kSetupPath, SetupBody("g", 1), h).status, 400);
  Reply noGuid = c.post(url, SetupBody("", 1), h);
  EXPECT_EQ(Tag(noGuid.body, "shareID"), std::nullopt);
  EXPECT_EQ(c.post(url, "<Workflow_StartWorkflow>", h).status, 400);

  emu().config({{"folder_setup_reply",
                 "<R><x><shareID>{shareID}</shareID></x><uploadURL>{uploadURL}</uploadURL></R>"},
                {"folder_setup_status", 500}});
  Reply custom = c.post(url, SetupBody("5f0c-77", 1), h);
  EXPECT_EQ(custom.status, 500);
  EXPECT_EQ(custom.body, "<R><x><shareID>" + share + "</shareID></x><uploadURL>" +
                             emu().uploadUrl() + "</uploadURL></R>");
}

TEST_F(EmulatorTest, CreateFolderRecordsFoldersAndRefusesUnknownShares) {
  Client c;
  std::string token = login(c);
  std::string share = setup(c, token);
  const std::vector<std::string> h = {"Accept: application/xml", "Authtoken: " + token,
                                      "Content-type: application/xml"};
  const std::string body =
      "<FileResourceInfo><name>set 1</name><parentPath>\\DRBackup\\g-1</parentPath>"
      "</FileResourceInfo>";
  const std::string url = emu().consoleUrl() + "/api/drive/share/" + share + "/action/createfolder";
  Reply r = c.post(url, body, h);
  ASSERT_EQ(r.status, 200);
  std::string guid = Tag(r.body, "folderGUID").value_or("");
  EXPECT_FALSE(guid.empty()) << r.body;
  EXPECT_EQ(Tag(r.body, "folderDetail"), "\\DRBackup\\g-1\\set 1");
  EXPECT_EQ(Tag(r.body, "status"), std::nullopt);
  EXPECT_EQ(r.body.find("<FileResourceResponse><resource>") != std::string::npos, true);

  // Creating it again finds the same folder.
  EXPECT_EQ(Tag(c.post(url, body, h).body, "folderGUID"), guid);
  json folders = emu().folders();
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_EQ(folders[0]["share"], share);
  EXPECT_EQ(folders[0]["parentPath"], "\\DRBackup\\g-1");
  EXPECT_EQ(folders[0]["name"], "set 1");
  EXPECT_EQ(folders[0]["folderGUID"], guid);
  EXPECT_EQ(folders[0]["requests"], 2);

  Reply unknown =
      c.post(emu().consoleUrl() + "/api/drive/share/s-nope/action/createfolder", body, h);
  EXPECT_EQ(unknown.status, 200);
  EXPECT_EQ(Tag(unknown.body, "folderGUID"), "");
  EXPECT_EQ(Tag(Tag(unknown.body, "status").value_or(""), "errorText"), "Share not found");

  // Share ids stay valid across a reset; recorded folders do not.
  emu().reset();
  EXPECT_TRUE(emu().folders().empty());
  EXPECT_FALSE(Tag(c.post(url, body, h).body, "folderGUID").value_or("").empty());

  emu().config({{"create_folder_reply", "<FileResourceResponse/>"}});
  EXPECT_EQ(c.post(url, body, h).body, "<FileResourceResponse/>");
}

TEST_F(EmulatorTest, ChunkedUploadStoresFilesOfEverySize) {
  Client c;
  std::string token = login(c);
  std::string share = setup(c, token);
  std::string big(4194304 + 1, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131 + i / 7) & 0xff);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"empty.bin", ""}, {"B\xc3\xbcro \xc3\xa4.bin", "Z"}, {"big.bin", big}};
  std::vector<std::string> guids;
  for (const auto& [name, content] : cases) {
    std::string guid = upload(c, token, share, name, content);
    EXPECT_FALSE(guid.empty()) << name;
    guids.push_back(guid);
  }

  json files = emu().files();
  ASSERT_EQ(files.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].first);
    EXPECT_EQ(files[i]["name"], cases[i].first);
    EXPECT_EQ(files[i]["parentPath"], "\\DRBackup\\g-1\\set 1");
    EXPECT_EQ(files[i]["modifiedTime"], "2024-06-01T10:00:00Z");
    EXPECT_EQ(files[i]["size"], cases[i].second.size());
    EXPECT_EQ(files[i]["sha256"], Sha256Hex(cases[i].second));
    EXPECT_EQ(files[i]["content_base64"], Base64(cases[i].second));
    EXPECT_EQ(files[i]["fileGUID"], guids[i]);
    EXPECT_EQ(files[i]["share"], share);
    EXPECT_EQ(files[i]["listener"], "upload");
  }

  // A file that fits the first chunk ends with a request without body,
  // journaled as an offset query; the big file's one-byte tail is a chunk.
  json sessions = emu().journal("upload_session");
  json chunks = emu().journal("upload_chunk");
  json queries = emu().journal("offset_query");
  EXPECT_EQ(sessions.size(), 3u);
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0]["body_len"], 1);
  EXPECT_EQ(queries.size(), 2u);
  EXPECT_EQ(sessions[2]["body_len"], 4194304);
  EXPECT_EQ(sessions[2]["listener"], "upload");
}

TEST_F(EmulatorTest, ChunkFaultsAndOffsetQueriesReportWhatIsHeld) {
  Client c;
  std::string token = login(c);
  std::string share = setup(c, token);
  const size_t mib4 = 4194304;
  std::string content(2 * mib4 + 100, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i % 251);
  const size_t size = content.size();

  Reply open = c.post(UploadUrl(share, "forceRestart=true"), content.substr(0, mib4),
                      UploadHeaders(token, "f.bin", size, false));
  std::string rid = Tag(open.body, "requestId").value_or("");
  ASSERT_FALSE(rid.empty());
  const std::string chunkUrl = UploadUrl(share, "requestId=" + rid);

  // Stored although the reply says 500: the offset query shows it.
  emu().fault("upload_chunk", {{"fault", "store_then_500"}});
  Reply stored =
      c.post(chunkUrl, content.substr(mib4, mib4), UploadHeaders(token, "f.bin", size, false));
  EXPECT_EQ(stored.status, 500);
  EXPECT_EQ(stored.body.find("chunkOffset"), std::string::npos);
  Reply q = c.post(chunkUrl, "", UploadHeaders(token, "f.bin", size, false));
  EXPECT_EQ(q.status, 200);
  EXPECT_EQ(Tag(q.body, "chunkOffset"), std::to_string(2 * mib4));

  // The last chunk dropped: the query (which carries FileEOF like every later
  // request) reports the bytes held, and the resend completes the file.
  emu().fault("upload_chunk", {{"fault", "drop_then_500"}});
  const std::string tail = content.substr(2 * mib4);
  EXPECT_EQ(c.post(chunkUrl, tail, UploadHeaders(token, "f.bin", size, true)).status, 500);
  q = c.post(chunkUrl, "", UploadHeaders(token, "f.bin", size, true));
  EXPECT_EQ(q.status, 200);
  EXPECT_EQ(Tag(q.body, "chunkOffset"), std::to_string(2 * mib4));
  EXPECT_EQ(Tag(q.body, "fileGUID"), std::nullopt);
  Reply done = c.post(chunkUrl, tail, UploadHeaders(token, "f.bin", size, true));
  EXPECT_EQ(done.status, 200);
  std::string guid = Tag(done.body, "fileGUID").value_or("");
  ASSERT_FALSE(guid.empty());
  EXPECT_EQ(Tag(done.body, "chunkOffset"), std::to_string(size));

  // A finished upload answers its GUID again and stores nothing more.
  Reply repeat = c.post(chunkUrl, tail, UploadHeaders(token, "f.bin", size, true));
  EXPECT_EQ(Tag(repeat.body, "fileGUID"), guid);
  q = c.post(chunkUrl, "", UploadHeaders(token, "f.bin", size, true));
  EXPECT_EQ(Tag(q.body, "fileGUID"), guid);
  EXPECT_EQ(Tag(q.body, "chunkOffset"), std::to_string(size));
  json files = emu().files();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0]["sha256"], Sha256Hex(content));
  EXPECT_EQ(files[0]["requestId"], rid);

  // Protocol errors.
  Reply small = c.post(UploadUrl(share, "forceRestart=true"), "abcd",
                       UploadHeaders(token, "s.bin", 10, false));
  std::string rid2 = Tag(small.body, "requestId").value_or("");
  const std::string url2 = UploadUrl(share, "requestId=" + rid2);
  Reply mismatch = c.post(url2, "efg", UploadHeaders(token, "s.bin", 10, true));
  EXPECT_EQ(mismatch.status, 400);
  for (const char* word : {"UploadFileResp", "chunkOffset", "fileGUID", "requestId"})
    EXPECT_EQ(mismatch.body.find(word), std::string::npos) << mismatch.body;
  EXPECT_EQ(c.post(url2, "0123456789", UploadHeaders(token, "s.bin", 10, false)).status, 400);
  EXPECT_EQ(Tag(c.post(url2, "", UploadHeaders(token, "s.bin", 10, false)).body, "chunkOffset"),
            "4");
  EXPECT_EQ(
      c.post(UploadUrl(share, "requestId=r-unknown"), "x", UploadHeaders(token, "s.bin", 10, false))
          .status,
      404);
  EXPECT_EQ(c.post(UploadUrl("s-nope", "forceRestart=true"), "x",
                   UploadHeaders(token, "s.bin", 10, false))
                .status,
            404);
  EXPECT_EQ(emu().files().size(), 1u);
}

TEST_F(EmulatorTest, LostReplyCarriesTheRequestOutAndSendsNoByte) {
  Client c;
  std::string token = login(c);
  std::string share = setup(c, token);
  Reply open = c.post(UploadUrl(share, "forceRestart=true"), "abcd",
                      UploadHeaders(token, "l.bin", 10, false));
  const std::string url = UploadUrl(share, "requestId=" + Tag(open.body, "requestId").value_or(""));

  emu().fault("upload_chunk", {{"fault", "lost_reply"}});
  RawConnection raw(emu().uploadPort());
  raw.post(url, "efg", UploadHeaders(token, "l.bin", 10, false));
  EXPECT_EQ(raw.rest(), "");
  EXPECT_TRUE(raw.closedByServer());
  // The chunk is held all the same.
  EXPECT_EQ(Tag(c.post(url, "", UploadHeaders(token, "l.bin", 10, false)).body, "chunkOffset"),
            "7");
  json chunks = emu().journal("upload_chunk");
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0]["fault"], "lost_reply");
  EXPECT_TRUE(chunks[0]["status"].is_null());
  EXPECT_EQ(chunks[0]["handler_status"], 200);
}

TEST_F(EmulatorTest, ExtraReplyFollowsAtOnceOrOnceTheConnectionIsIdle) {
  Client c;
  std::string token = login(c);
  std::string share = setup(c, token);
  emu().fault("upload_session", {{"fault", "extra_reply"}});
  RawConnection raw(emu().uploadPort());
  raw.post(UploadUrl(share, "forceRestart=true"), "abcd", UploadHeaders(token, "x.bin", 10, false));
  const Reply real = raw.reply().value_or(Reply{});
  const std::string rid = Tag(real.body, "requestId").value_or("");
  EXPECT_EQ(Tag(real.body, "chunkOffset"), "4");
  // By default a reply that claims the whole file held, under a GUID of no file.
  const Reply stray = raw.reply().value_or(Reply{});
  EXPECT_EQ(stray.status, 200);
  EXPECT_EQ(Tag(stray.body, "requestId"), rid);
  EXPECT_EQ(Tag(stray.body, "chunkOffset"), "10");
  EXPECT_FALSE(Tag(stray.body, "fileGUID").value_or("").empty()) << stray.body;
  EXPECT_TRUE(emu().files().empty());

  // Late, with the fault's own status and body: a request that comes before
  // the connection was idle for the delay gets its own reply, and the stray
  // follows the next idle spell. The connection stays open.
  emu().fault("offset_query",
              {{"fault", "extra_reply"}, {"delay", 0.5}, {"status", 503}, {"body", "<Stray/>"}});
  const std::string url = UploadUrl(share, "requestId=" + rid);
  raw.post(url, "", UploadHeaders(token, "x.bin", 10, false));
  EXPECT_EQ(Tag(raw.reply().value_or(Reply{}).body, "chunkOffset"), "4");
  raw.post(url, "efg", UploadHeaders(token, "x.bin", 10, false));
  EXPECT_EQ(Tag(raw.reply().value_or(Reply{}).body, "chunkOffset"), "7");
  const Reply late = raw.reply().value_or(Reply{});
  EXPECT_EQ(late.status, 503);
  EXPECT_EQ(late.body, "<Stray/>");
  raw.post(url, "", UploadHeaders(token, "x.bin", 10, false));
  EXPECT_EQ(Tag(raw.reply().value_or(Reply{}).body, "chunkOffset"), "7");

  const json strays = emu().control("GET", "/strays")["console"];
  EXPECT_EQ(strays["sent"], 2);
  EXPECT_EQ(strays["pending"], 0);
  EXPECT_EQ(emu().journal("offset_query")[0]["stray"], "sent");
}

TEST_F(EmulatorTest, KnobsChangeWhatACompleteSessionAnswers) {
  Client c;
  std::string token = login(c);
  std::string share = setup(c, token);
  const std::string guid = upload(c, token, share, "k.bin", "0123456789");
  const std::string url =
      UploadUrl(share, "requestId=" + emu().files()[0]["requestId"].get<std::string>());
  Reply chunk = c.post(url, "9", UploadHeaders(token, "k.bin", 10, true));
  EXPECT_EQ(Tag(chunk.body, "fileGUID"), guid);
  EXPECT_EQ(Tag(chunk.body, "chunkOffset"), "10");

  emu().config(
      {{"complete_session_refuses_chunks", true}, {"complete_session_offset_without_guid", true}});
  Reply refused = c.post(url, "9", UploadHeaders(token, "k.bin", 10, true));
  EXPECT_EQ(refused.status, 400);
  EXPECT_EQ(Tag(refused.body, "errorText"), "Upload already complete");
  EXPECT_EQ(refused.body.find("fileGUID"), std::string::npos);
  Reply query = c.post(url, "", UploadHeaders(token, "k.bin", 10, true));
  EXPECT_EQ(query.status, 200);
  EXPECT_EQ(Tag(query.body, "chunkOffset"), "10");
  EXPECT_EQ(Tag(query.body, "fileGUID"), std::nullopt);
  // The request that completes a session still answers its GUID.
  EXPECT_FALSE(upload(c, token, share, "k2.bin", "0123456789").empty());
  EXPECT_EQ(emu().files().size(), 2u);
}

TEST(EmulatorTlsTest, ServesHttpsCheckedAgainstTheFixtureCa) {
  EmulatorOptions options;
  options.tls = true;
  Emulator emu(options);
  ASSERT_EQ(emu.consoleUrl().rfind("https://127.0.0.1:", 0), 0u) << emu.consoleUrl();
  ASSERT_TRUE(std::filesystem::exists(emu.caFile()));

  Client untrusted;
  Reply refused = untrusted.post(emu.consoleUrl() + "/api/Login", kGoodLogin);
  EXPECT_EQ(refused.rc, CURLE_PEER_FAILED_VERIFICATION) << curl_easy_strerror(refused.rc);

  Client c(emu.caFile());
  Reply r = c.post(emu.consoleUrl() + "/api/Login", kGoodLogin);
  ASSERT_EQ(r.rc, CURLE_OK) << curl_easy_strerror(r.rc);
  std::string token = Tag(r.body, "sessionToken").value_or("");
  Reply s = c.post(emu.consoleUrl() + kSetupPath + "?outputonly=true", SetupBody("g", 1),
                   {"Authtoken: " + token});
  EXPECT_EQ(Tag(s.body, "uploadURL"), emu.uploadUrl());
  EXPECT_EQ(emu.uploadUrl().rfind("https://", 0), 0u);
  Reply up = c.post(emu.uploadUrl() + "/api/drive/share/" + Tag(s.body, "shareID").value_or("") +
                        "/file/action/upload?uploadType=chunkedFile&forceRestart=true",
                    "hello",
                    {"Authtoken: " + token, "FileName: " + Base64("h.txt"), "FileSize: 5",
                     "ParentFolderPath: " + Base64("\\p")});
  EXPECT_EQ(up.rc, CURLE_OK);
  EXPECT_EQ(Tag(up.body, "chunkOffset"), "5");

  emu.fault("login", {{"fault", "reset"}});
  EXPECT_NE(c.post(emu.consoleUrl() + "/api/Login", kGoodLogin, {}, true).rc, CURLE_OK);
  // A lost reply ends the TLS connection without a closing alert.
  emu.fault("login", {{"fault", "lost_reply"}});
  Reply lost = c.post(emu.consoleUrl() + "/api/Login", kGoodLogin, {}, true);
  EXPECT_TRUE(lost.rc == CURLE_RECV_ERROR || lost.rc == CURLE_GOT_NOTHING)
      << curl_easy_strerror(lost.rc);

  json entries = emu.journal();
  ASSERT_EQ(entries.size(), 5u);  // the refused handshake never became a request
  EXPECT_EQ(entries[0]["connection"], entries[1]["connection"]);
  EXPECT_EQ(entries[2]["listener"], "upload");
  EXPECT_EQ(entries[4]["handler_status"], 200);
  EXPECT_EQ(emu.state()["logins"].size(), 2u);  // the first one and the one whose reply was lost
}

TEST(ServiceEnvTest, WritesTheSettingsFileAndScopesTheEnvironment) {
  zutest::ScopedEnv before("ZUCLOUD_CONFIG", std::string("/nonexistent/before.conf"));
  zutest::ScopedEnv noCa("ZUCLOUD_CA_FILE", std::nullopt);
  std::string dir;
  {
    zutest::ServiceEnv env("/tmp/some-ca.pem");
    dir = env.dir();
    EXPECT_EQ(std::string(getenv("ZUCLOUD_CONFIG")), env.configPath());
    EXPECT_EQ(std::string(getenv("ZUCLOUD_LOG_DIR")), dir);
    EXPECT_EQ(std::string(getenv("ZUCLOUD_STATE_DIR")), env.stateDir());
    EXPECT_EQ(std::string(getenv("ZUCLOUD_WAIT_SCALE")), "0");
    EXPECT_EQ(std::string(getenv("ZUCLOUD_LOG_LEVEL")), "9");
    EXPECT_EQ(std::string(getenv("ZUCLOUD_CA_FILE")), "/tmp/some-ca.pem");
    env.setGlobal("Cloud URL", "http://127.0.0.1:1/webconsole");
    env.setSection("Reports", "nWebReportsIgnoreCertificateErrors", "1");
    env.setGlobal("Cloud URL", "http://127.0.0.1:2/webconsole");
    env.setGlobal("DRBackupRetryCount", "3");
    std::string text = zutest::ReadFile(env.configPath());
    EXPECT_EQ(text,
              "# written by the test's ServiceEnv\n"
              "[GlobalParam]\nCloud URL = http://127.0.0.1:2/webconsole\nDRBackupRetryCount = 3\n"
              "[Reports]\nnWebReportsIgnoreCertificateErrors = 1\n");
    EXPECT_EQ(env.logText(), "");
    zutest::WriteFile(dir + "/ZUCloudService.log", "line\n");
    EXPECT_EQ(env.logText(), "line\n");
  }
  EXPECT_EQ(std::string(getenv("ZUCLOUD_CONFIG")), "/nonexistent/before.conf");
  EXPECT_EQ(getenv("ZUCLOUD_CA_FILE"), nullptr);
  EXPECT_FALSE(std::filesystem::exists(dir));
}

}  // namespace
