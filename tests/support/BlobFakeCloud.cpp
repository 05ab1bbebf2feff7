#include "support/BlobFakeCloud.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "blob/storage/BlockId.h"

namespace zutest {
namespace {

// Value of query parameter `name` in `url` ("" when absent), still encoded.
std::string QueryValue(const std::string& url, const std::string& name) {
  const std::string::size_type q = url.find('?');
  if (q == std::string::npos) return "";
  std::string::size_type pos = q + 1;
  while (pos < url.size()) {
    std::string::size_type end = url.find('&', pos);
    if (end == std::string::npos) end = url.size();
    const std::string pair = url.substr(pos, end - pos);
    if (pair.compare(0, name.size() + 1, name + "=") == 0) return pair.substr(name.size() + 1);
    pos = end + 1;
  }
  return "";
}

std::string BlobPathOf(const std::string& url) { return url.substr(0, url.find('?')); }

// The kind by URL and, for a request to the blob itself, by method.
std::string KindOf(const FakeRequest& request) {
  const std::string kind = BlobRequestKind(request.url);
  if (kind != "other") return kind;
  if (request.method == "PUT") return "put_blob";
  if (request.method == "HEAD") return "properties";
  return kind;
}

// The value of request header `name` ("" when absent).
std::string HeaderValue(const FakeRequest& request, const std::string& name) {
  for (const auto& header : request.headers) {
    if (header.name == name) return header.value;
  }
  return "";
}

}  // namespace

std::vector<FakeRequest> BlobRequests(FakeJournal& journal, const std::string& kind) {
  std::lock_guard<std::mutex> lock(journal.mutex);
  std::vector<FakeRequest> out;
  for (const FakeRequest& r : journal.requests) {
    if (kind.empty() || KindOf(r) == kind) out.push_back(r);
  }
  return out;
}

std::string BlobRequestKind(const std::string& url) {
  const std::string path = url.substr(0, url.find('?'));
  if (url.find("comp=blocklist&blocklisttype=committed") != std::string::npos) {
    return "committed_list";
  }
  if (url.find("comp=blocklist") != std::string::npos) return "block_list";
  if (url.find("comp=block&") != std::string::npos) return "put_block";
  if (path.size() >= 10 && path.compare(path.size() - 10, 10, "/api/Login") == 0) return "login";
  if (path.find("/api/zudrbackup/setup") != std::string::npos ||
      path.find("/Setup_DRBackup_ZUCloudV3/") != std::string::npos) {
    return "setup";
  }
  if (path.find("/api/zudrbackup/finalize") != std::string::npos ||
      path.find("/Finalize_DRBackup_ZUCloud/") != std::string::npos) {
    return "finalize";
  }
  if (path.size() >= 10 && path.compare(path.size() - 10, 10, "/api/Setup") == 0) return "af_setup";
  if (path.size() >= 13 && path.compare(path.size() - 13, 13, "/api/Finalize") == 0) {
    return "af_finalize";
  }
  return "other";
}

std::string PercentDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

BlobFakeCloud::BlobFakeCloud(FakeJournal& journal)
    : m_responder(journal, [this](const FakeRequest& request) { return respond(request); }) {}

void BlobFakeCloud::failNext(const std::string& kind, int n) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_failNext[kind] = n;
}

void BlobFakeCloud::failAlways(const std::string& kind, bool always) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_failAlways[kind] = always;
}

void BlobFakeCloud::failBlockAlways(unsigned int blockNo) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (blockNo == 0) {
    m_failBlocks.clear();
    return;
  }
  m_failBlocks.push_back(blockNo);
}

void BlobFakeCloud::replaceCommitReplies(int n, const FakeReply& reply, bool carriedOut) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_replacedCommits = n;
  m_commitReply = reply;
  m_commitCarriedOut = carriedOut;
}

bool BlobFakeCloud::takeFault(const std::string& kind) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_failAlways[kind]) return true;
  int& n = m_failNext[kind];
  if (n > 0) {
    --n;
    return true;
  }
  return false;
}

void BlobFakeCloud::expireTokenAfter(int requests, const std::string& firstSig) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_tokenRequests = requests;
  m_validSig = firstSig;
  m_usesLeft = requests;
}

void BlobFakeCloud::expireTokenAtBlocks(int blocks, const std::string& firstSig) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_blocksPerToken = blocks;
  m_tokenRequests = blocks;
  m_firstSig = firstSig;
  m_validSig = firstSig;
}

bool BlobFakeCloud::validByPlaceLocked(const FakeRequest& request, const std::string& kind) {
  const std::string sig = PercentDecode(QueryValue(request.url, "sig"));
  if (kind != "put_block") return sig == m_validSig;
  int generation = -1;
  if (sig == m_firstSig) {
    generation = 0;
  } else if (sig.rfind("FRESH", 0) == 0) {
    generation = std::atoi(sig.c_str() + 5);
  }
  unsigned int blockNo = 0;
  std::string tag;
  const std::string id = PercentDecode(QueryValue(request.url, "blockid"));
  if (generation < 0 || !zu::blob::BlockNumberOfId(id, blockNo, tag)) return false;
  return blockNo <= static_cast<unsigned int>(m_blocksPerToken * (generation + 1));
}

void BlobFakeCloud::changeUrlFromSetUp(int setUpNumber, const std::string& url) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_urlFrom = setUpNumber;
  m_changedUrl = url;
}

void BlobFakeCloud::changeTokenFromSetUp(int setUpNumber, const std::string& token) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_tokenFrom = setUpNumber;
  m_changedToken = token;
}

void BlobFakeCloud::refuseStorage(const std::string& kind, int status, const std::string& code) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_refusedKind = kind.empty() ? "*" : kind;
  m_refusedStatus = status;
  m_refusedCode = code;
}

int BlobFakeCloud::setUpCount() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_setUps;
}

bool BlobFakeCloud::refuseLocked(const FakeRequest& request, const std::string& kind,
                                 FakeReply& reply) {
  static const std::set<std::string> storage = {"put_block", "block_list", "committed_list",
                                                "put_blob", "properties"};
  if (storage.count(kind) == 0) return false;
  const bool read = kind == "committed_list" || kind == "properties" ||
                    (kind == "block_list" && request.method == "GET");
  if (!m_refusedKind.empty() &&
      (m_refusedKind == "*" || m_refusedKind == kind || (m_refusedKind == "reads" && read))) {
    reply = {1,
             "",
             m_refusedStatus,
             "HTTP " + std::to_string(m_refusedStatus),
             {{"x-ms-error-code", m_refusedCode}}};
    return true;
  }
  if (m_tokenRequests == 0) return false;
  if (m_blocksPerToken > 0 && validByPlaceLocked(request, kind)) return false;
  if (m_blocksPerToken == 0 && PercentDecode(QueryValue(request.url, "sig")) == m_validSig &&
      m_usesLeft > 0) {
    --m_usesLeft;
    return false;
  }
  reply = {1,
           "<?xml version=\"1.0\" encoding=\"utf-8\"?><Error><Code>AuthenticationFailed</Code>"
           "<Message>Signature not valid in the specified time frame</Message></Error>",
           403, "HTTP 403"};
  if (kind == "properties") reply = {1, "x-ms-error-code: AuthenticationFailed\n", 403, "HTTP 403"};
  return true;
}

std::string BlobFakeCloud::setUpUrl(const std::string& otherwise) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_urlFrom > 0 && m_setUps >= m_urlFrom ? m_changedUrl : otherwise;
}

std::string BlobFakeCloud::setUpToken(const std::string& otherwise) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_tokenFrom > 0 && m_setUps >= m_tokenFrom) return m_changedToken;
  if (m_tokenRequests == 0) return otherwise;
  m_validSig = "FRESH" + std::to_string(m_setUps);
  m_usesLeft = m_tokenRequests;
  return "sv=1&sr=c&sig=" + m_validSig;
}

FakeReply BlobFakeCloud::respond(const FakeRequest& request) {
  const std::string kind = KindOf(request);
  FakeReply refusal;
  bool refused = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    refused = refuseLocked(request, kind, refusal);
    if (kind == "setup" || kind == "af_setup") ++m_setUps;
  }
  if (refused) {
    // Long enough for requests of other uploader threads to be refused too.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return refusal;
  }
  if (kind == "put_block") return putBlock(request);
  if (takeFault(kind)) return {1, "<Error><Code>InternalError</Code></Error>", 500, "HTTP 500"};
  if (kind == "login") return {0, loginReply, 200, ""};
  if (kind == "setup") return consoleSetUp();
  if (kind == "finalize") return {0, finalizeReply, 200, ""};
  if (kind == "af_setup") return afSetup(request);
  if (kind == "af_finalize") return {0, afFinalizeReply, 200, ""};
  if (kind == "block_list" && request.method == "GET") return listBlocks(request, false);
  if (kind == "committed_list") return listBlocks(request, true);
  if (kind == "block_list") return blockList(request);
  if (kind == "put_blob") return putBlob(request);
  if (kind == "properties") return properties(request);
  return {1, "", 404, "HTTP 404"};
}

FakeReply BlobFakeCloud::putBlock(const FakeRequest& request) {
  const std::string blob = BlobPathOf(request.url);
  const std::string id = PercentDecode(QueryValue(request.url, "blockid"));
  unsigned int blockNo = 0;
  std::string tag;
  if (!zu::blob::BlockNumberOfId(id, blockNo, tag)) blockNo = 0;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_putBlocks;
    ++m_inFlight;
    m_maxInFlight = std::max(m_maxInFlight, m_inFlight);
  }
  // Keep the request open a little so that an overlapping one is seen.
  std::this_thread::sleep_for(std::chrono::microseconds(300));
  FakeReply reply{0, "", 201, ""};
  const bool faulted = takeFault("put_block");
  std::lock_guard<std::mutex> lock(m_mutex);
  --m_inFlight;
  if (faulted ||
      std::find(m_failBlocks.begin(), m_failBlocks.end(), blockNo) != m_failBlocks.end()) {
    return {1, "<Error><Code>InternalError</Code></Error>", 500, "HTTP 500"};
  }
  if (request.body.empty()) {
    ++m_emptyPutBlocks;
    return {1, "<Error><Code>InvalidHeaderValue</Code></Error>", 400, "HTTP 400"};
  }
  m_staged[blob][id] = request.body;
  return reply;
}

FakeReply BlobFakeCloud::blockList(const FakeRequest& request) {
  const std::string blob = BlobPathOf(request.url);
  std::vector<std::string> ids;
  const std::string open = "<Uncommitted>", close = "</Uncommitted>";
  for (size_t pos = request.body.find(open); pos != std::string::npos;
       pos = request.body.find(open, pos)) {
    pos += open.size();
    const size_t end = request.body.find(close, pos);
    if (end == std::string::npos) break;
    ids.push_back(request.body.substr(pos, end - pos));
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  const bool replaced = m_replacedCommits > 0;
  if (replaced) --m_replacedCommits;
  if (replaced && !m_commitCarriedOut) return m_commitReply;
  if (!commitLocked(blob, ids, HeaderValue(request, "x-ms-blob-content-md5"))) {
    return {1, "<Error><Code>InvalidBlockList</Code></Error>", 400, "HTTP 400"};
  }
  return replaced ? m_commitReply : FakeReply{0, "", 201, ""};
}

bool BlobFakeCloud::commitLocked(const std::string& blob, const std::vector<std::string>& ids,
                                 const std::string& md5) {
  std::string bytes;
  std::vector<unsigned long long> sizes;
  for (const std::string& id : ids) {
    auto it = m_staged[blob].find(id);
    if (it == m_staged[blob].end()) return false;
    bytes += it->second;
    sizes.push_back(it->second.size());
  }
  m_committed[blob] = ids;
  m_committedBytes[blob] = bytes;
  m_committedSizes[blob] = sizes;
  m_storedMd5[blob] = md5;
  m_staged[blob].clear();
  return true;
}

void BlobFakeCloud::commitStaged(const std::string& blobPath, const std::vector<std::string>& ids) {
  std::lock_guard<std::mutex> lock(m_mutex);
  commitLocked(blobPath, ids, "");
}

FakeReply BlobFakeCloud::putBlob(const FakeRequest& request) {
  const std::string blob = BlobPathOf(request.url);
  std::lock_guard<std::mutex> lock(m_mutex);
  m_committed[blob] = {};
  m_committedBytes[blob] = request.body;
  m_committedSizes[blob] = {};
  m_storedMd5[blob] = HeaderValue(request, "x-ms-blob-content-md5");
  m_staged[blob].clear();
  return {0, "", 201, ""};
}

// Get Block List of the uncommitted or the committed blocks, as storage
// answers it.
FakeReply BlobFakeCloud::listBlocks(const FakeRequest& request, bool committed) {
  const std::string blob = BlobPathOf(request.url);
  const char* list = committed ? "CommittedBlocks" : "UncommittedBlocks";
  std::string body =
      std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?><BlockList><") + list + ">";
  auto entry = [](const std::string& id, unsigned long long size) {
    return "<Block><Name>" + id + "</Name><Size>" + std::to_string(size) + "</Size></Block>";
  };
  std::lock_guard<std::mutex> lock(m_mutex);
  if (committed) {
    if (m_committed.count(blob) == 0) {
      return {1, "<Error><Code>BlobNotFound</Code></Error>", 404, "HTTP 404"};
    }
    for (size_t i = 0; i < m_committed[blob].size(); ++i) {
      body += entry(m_committed[blob][i], m_committedSizes[blob][i]);
    }
  } else {
    for (const auto& [id, bytes] : m_staged[blob]) body += entry(id, bytes.size());
  }
  return {0, body + "</" + list + "></BlockList>", 200, ""};
}

// Get Blob Properties: the reply's headers, one per line (FakeGateway).
FakeReply BlobFakeCloud::properties(const FakeRequest& request) {
  const std::string blob = BlobPathOf(request.url);
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_committedBytes.count(blob) == 0) {
    return {1, "x-ms-error-code: BlobNotFound\n", 404, "HTTP 404"};
  }
  std::string lines =
      "Content-Length: " +
      (reportedLength.empty() ? std::to_string(m_committedBytes[blob].size()) : reportedLength) +
      "\nx-ms-blob-type: BlockBlob\n";
  const std::string md5 = reportedMd5.empty() ? m_storedMd5[blob] : reportedMd5;
  if (!md5.empty()) lines += "Content-MD5: " + md5 + "\n";
  return {0, lines, 200, ""};
}

FakeReply BlobFakeCloud::consoleSetUp() {
  const std::string url = setUpUrl("");
  const std::string token = setUpToken("");
  if (url.empty() && token.empty()) return {0, setupReply, 200, ""};
  std::string reply = setupReply;
  auto replace = [&reply](const std::string& element, const std::string& value) {
    const std::string open = "<" + element + ">", close = "</" + element + ">";
    const size_t start = reply.find(open) + open.size();
    std::string escaped;
    for (const char c : value) escaped += c == '&' ? std::string("&amp;") : std::string(1, c);
    reply.replace(start, reply.find(close) - start, escaped);
  };
  if (!url.empty()) replace("AzureSASServiceURL", url);
  if (!token.empty()) replace("AzureSASToken", token);
  return {0, reply, 200, ""};
}

FakeReply BlobFakeCloud::afSetup(const FakeRequest& request) {
  if (!afSetupReply.empty()) return {0, afSetupReply, 200, ""};
  nlohmann::json reply = {{"containerCreated", true},
                          {"azureSASServiceURL", setUpUrl("https://store.test/devacct/af1")}};
  nlohmann::json tokens = nlohmann::json::array();
  const nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
  if (body.is_object() && body.contains("Files")) {
    for (const auto& file : body["Files"]) {
      const std::string name = file.value("Name", "");
      tokens.push_back({{"name", name}, {"sasToken", setUpToken("sv=1&sr=b&sig=AFSIG" + name)}});
    }
  }
  reply["azureSASTokens"] = tokens;
  return {0, reply.dump(), 200, ""};
}

std::vector<std::string> BlobFakeCloud::committedIds(const std::string& blobPath) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_committed[blobPath];
}

std::vector<unsigned int> BlobFakeCloud::committedNumbers(const std::string& blobPath,
                                                          std::string& tag) {
  std::vector<unsigned int> numbers;
  bool first = true;
  for (const std::string& id : committedIds(blobPath)) {
    unsigned int number = 0;
    std::string idTag;
    if (!zu::blob::BlockNumberOfId(id, number, idTag) || (!first && idTag != tag)) return {};
    tag = idTag;
    first = false;
    numbers.push_back(number);
  }
  return numbers;
}

std::string BlobFakeCloud::committedBytes(const std::string& blobPath) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_committedBytes[blobPath];
}

bool BlobFakeCloud::hasBlob(const std::string& blobPath) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_committed.count(blobPath) != 0;
}

int BlobFakeCloud::maxPutBlocksInFlight() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_maxInFlight;
}

int BlobFakeCloud::putBlockCount() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_putBlocks;
}

int BlobFakeCloud::emptyPutBlocks() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_emptyPutBlocks;
}

}  // namespace zutest
