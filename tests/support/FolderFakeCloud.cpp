#include "support/FolderFakeCloud.h"

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/text/Base64.h"

namespace zutest {
namespace {

constexpr const char* kUploadMarker = "/file/action/upload?uploadType=chunkedFile";

uint64_t LoadWord(const unsigned char* bytes) {
  uint64_t word = 0;
  std::memcpy(&word, bytes, sizeof(word));
  return word;
}

std::string Decode(const std::string& base64) {
  std::string plain;
  if (base64Decode(base64, plain) != 0) return "<invalid base64>";
  return plain;
}

FakeReply Ok(const std::string& body) { return FakeReply{0, body, 200, ""}; }

FakeReply OffsetReply(long long held) {
  return Ok("<UploadFileResp><chunkOffset>" + std::to_string(held) +
            "</chunkOffset></UploadFileResp>");
}

}  // namespace

void StreamHash::mix(uint64_t word) {
  m_hash ^= word;
  m_hash *= 1099511628211ULL;
  m_hash ^= m_hash >> 29;
}

void StreamHash::update(const char* data, size_t length) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
  m_total += length;
  while (length > 0 && m_pendingCount > 0) {
    m_pending[m_pendingCount++] = *p++;
    --length;
    if (m_pendingCount == 8) {
      mix(LoadWord(m_pending));
      m_pendingCount = 0;
    }
  }
  while (length >= 8) {
    mix(LoadWord(p));
    p += 8;
    length -= 8;
  }
  while (length > 0) {
    m_pending[m_pendingCount++] = *p++;
    --length;
  }
}

uint64_t StreamHash::digest() const {
  StreamHash copy = *this;
  for (size_t i = 0; i < copy.m_pendingCount; ++i) copy.mix(copy.m_pending[i] + 0x100ULL * (i + 1));
  copy.mix(copy.m_total);
  return copy.m_hash;
}

uint64_t HashFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> buffer(4194304);
  StreamHash hash;
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    hash.update(buffer.data(), static_cast<size_t>(in.gcount()));
  }
  return hash.digest();
}

std::string HeaderValue(const ZuCURL::commandInfoList& headers, const std::string& name) {
  for (const ZuCURL::commandInfo& header : headers) {
    if (header.name == name) return header.value;
  }
  return "";
}

bool HasHeader(const ZuCURL::commandInfoList& headers, const std::string& name) {
  for (const ZuCURL::commandInfo& header : headers) {
    if (header.name == name) return true;
  }
  return false;
}

std::vector<std::string> HeaderNames(const ZuCURL::commandInfoList& headers) {
  std::vector<std::string> names;
  for (const ZuCURL::commandInfo& header : headers) names.push_back(header.name);
  return names;
}

FolderFakeCloud::FolderFakeCloud(FakeJournal& journal)
    : m_journal(journal),
      m_responder(journal, [this](const FakeRequest& request) { return respond(request); }) {}

void FolderFakeCloud::setOtherHandler(std::function<FakeReply(const FakeRequest&)> handler) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_other = std::move(handler);
}

void FolderFakeCloud::setKeepData(bool keep) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_keepData = keep;
}

void FolderFakeCloud::setKeepRequests(bool keep) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_keepRequests = keep;
}

void FolderFakeCloud::addFault(const std::string& kind, UploadFault fault, int count, int skip) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_faults[kind].push_back(PendingFault{fault, skip, count});
}

void FolderFakeCloud::setLoginError(const std::string& text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_loginError = text;
}

void FolderFakeCloud::setAfterUpload(std::function<void(const UploadEvent&)> hook) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_afterUpload = std::move(hook);
}

std::vector<UploadEvent> FolderFakeCloud::events() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_events;
}

std::vector<StoredFile> FolderFakeCloud::stored() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_stored;
}

int FolderFakeCloud::logins() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<int>(m_tokens.size());
}

std::vector<std::string> FolderFakeCloud::tokens() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_tokens;
}

int FolderFakeCloud::unauthorized() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_unauthorized;
}

void FolderFakeCloud::addHoldFault(const std::string& kind, long long held, int skip) {
  std::lock_guard<std::mutex> lock(m_mutex);
  PendingFault pending{UploadFault::kHoldThen500, skip, 1};
  pending.held = held;
  m_faults[kind].push_back(pending);
}

bool FolderFakeCloud::takeFault(const std::string& kind, UploadFault& fault, long long& held) {
  auto it = m_faults.find(kind);
  if (it == m_faults.end() || it->second.empty()) return false;
  PendingFault& front = it->second.front();
  if (front.skip > 0) {
    --front.skip;
    return false;
  }
  fault = front.fault;
  held = front.held;
  if (--front.count <= 0) it->second.pop_front();
  return true;
}

void FolderFakeCloud::append(Session& session, const std::string& bytes) {
  session.hash.update(bytes.data(), bytes.size());
  if (m_keepData) session.file.data += bytes;
}

void FolderFakeCloud::holdExactly(Session& session, long long held, bool eof) {
  std::string& data = session.file.data;
  data.resize(static_cast<size_t>(held), '\0');
  session.hash = StreamHash();
  session.hash.update(data.data(), data.size());
  completeIfWhole(session, eof);
}

void FolderFakeCloud::completeIfWhole(Session& session, bool eof) {
  if (!eof || session.completed) return;
  if (std::to_string(session.hash.size()) != session.file.fileSize) return;
  session.completed = true;
  session.file.guid = "file-guid-" + std::to_string(++m_nextGuid);
  session.file.size = session.hash.size();
  session.file.hash = session.hash.digest();
  m_stored.push_back(session.file);
}

FakeReply FolderFakeCloud::respond(const FakeRequest& request) {
  FakeReply reply;
  std::function<FakeReply(const FakeRequest&)> other;
  std::function<void(const UploadEvent&)> afterUpload;
  UploadEvent answered;
  bool keepRequests = true;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    keepRequests = m_keepRequests;
    const std::string& url = request.url;
    if (url.size() >= 10 && url.compare(url.size() - 10, 10, "/api/Login") == 0) {
      if (!m_loginError.empty()) {
        reply = Ok("<CheckCredentialResp><errors><Error><errorText>" + m_loginError +
                   "</errorText></Error></errors></CheckCredentialResp>");
      } else {
        m_tokens.push_back("tok-" + std::to_string(m_tokens.size() + 1));
        reply = Ok("<CheckCredentialResp><sessionToken>" + m_tokens.back() +
                   "</sessionToken></CheckCredentialResp>");
      }
    } else if (url.find(kUploadMarker) != std::string::npos) {
      reply = upload(request);
      afterUpload = m_afterUpload;
      if (!m_events.empty()) answered = m_events.back();
    } else {
      other = m_other;
      if (!other) reply = FakeReply{1, "not found", 404, "HTTP 404"};
    }
  }
  if (other) reply = other(request);
  if (afterUpload) afterUpload(answered);
  if (!keepRequests) {
    std::lock_guard<std::mutex> lock(m_journal.mutex);
    m_journal.requests.clear();
  }
  return reply;
}

// Called with m_mutex held.
FakeReply FolderFakeCloud::upload(const FakeRequest& request) {
  UploadEvent event;
  const bool isSession = request.url.find("&forceRestart=true") != std::string::npos;
  event.kind = isSession ? "session" : (request.body.empty() ? "query" : "chunk");
  event.bodyLength = static_cast<long long>(request.body.size());
  event.eof = HeaderValue(request.headers, "FileEOF") == "1";
  event.gatewayId = request.gatewayId;
  event.pacedSharers = request.pacedSharers;
  event.url = request.url;
  event.headers = request.headers;

  const std::string token = HeaderValue(request.headers, "Authtoken");
  bool known = false;
  for (const std::string& t : m_tokens) known = known || t == token;
  if (!known) {
    ++m_unauthorized;
    m_events.push_back(event);
    return FakeReply{1, "unauthorized", 401, "HTTP 401"};
  }

  UploadFault fault = UploadFault::kStoreThen500;
  long long held = 0;
  event.faulted = takeFault(event.kind, fault, held);
  const bool twice =
      event.faulted && (fault == UploadFault::kTwice || fault == UploadFault::kTwiceThen500);
  FakeReply reply = process(request, event, fault, held);
  if (twice) reply = process(request, event, fault, held);
  if (event.faulted &&
      (fault == UploadFault::kStoreThen500 || fault == UploadFault::kTwiceThen500)) {
    return FakeReply{1, "<html>500 Internal Server Error</html>", 500, "HTTP 500"};
  }
  return reply;
}

// One arrival of an upload request at the server. Called with m_mutex held.
FakeReply FolderFakeCloud::process(const FakeRequest& request, UploadEvent event, UploadFault fault,
                                   long long held) {
  const bool faulted = event.faulted;
  const bool processes = !faulted || fault == UploadFault::kStoreThen500 ||
                         fault == UploadFault::kNoGuid || fault == UploadFault::kTwice ||
                         fault == UploadFault::kTwiceThen500 ||
                         fault == UploadFault::kOffsetAbove || fault == UploadFault::kOffsetBelow;
  Session* session = nullptr;
  std::string requestId;
  if (event.kind == "session") {
    if (processes) {
      requestId = "req-" + std::to_string(++m_nextRequest);
      Session fresh;
      fresh.file.name = Decode(HeaderValue(request.headers, "FileName"));
      fresh.file.parentPath = Decode(HeaderValue(request.headers, "ParentFolderPath"));
      fresh.file.fileSize = HeaderValue(request.headers, "FileSize");
      fresh.file.modifiedTime = HeaderValue(request.headers, "FileModifiedtime");
      session = &(m_sessions[requestId] = fresh);
    }
  } else {
    const std::string::size_type at = request.url.find("requestId=");
    if (at != std::string::npos) {
      auto it = m_sessions.find(request.url.substr(at + 10));
      if (it != m_sessions.end()) session = &it->second;
    }
    if (session == nullptr) {
      m_events.push_back(event);
      return FakeReply{1, "unknown request", 404, "HTTP 404"};
    }
    event.heldBefore = static_cast<long long>(session->hash.size());
  }
  m_events.push_back(event);

  if (!processes) {
    switch (fault) {
      case UploadFault::kDropThen500:
        return FakeReply{1, "<html>500 Internal Server Error</html>", 500, "HTTP 500"};
      case UploadFault::kTransport:
        return FakeReply{1, "", 0, "Connection reset by peer"};
      case UploadFault::kEmptyOk:
        return Ok("");
      case UploadFault::kGarbageOk:
        return Ok("<UploadFileResp><chunkOffset>12ab</chunkOffset></UploadFileResp>");
      case UploadFault::kZeroOffset:
        return OffsetReply(0);
      case UploadFault::kHeldOffset:
        return OffsetReply(event.heldBefore);
      case UploadFault::kStoreThen500:
      case UploadFault::kNoGuid:
      case UploadFault::kTwice:
      case UploadFault::kTwiceThen500:
      case UploadFault::kHoldThen500:
        if (session != nullptr && !session->completed) {
          session->file.data += request.body;
          holdExactly(*session, held, event.eof);
        }
        return FakeReply{1, "<html>500 Internal Server Error</html>", 500, "HTTP 500"};
      case UploadFault::kOffsetAbove:
      case UploadFault::kOffsetBelow:
        break;
    }
  }
  if (event.kind != "session") {
    long long shift = 0;
    if (faulted && fault == UploadFault::kOffsetAbove) shift = 1;
    if (faulted && fault == UploadFault::kOffsetBelow) shift = -1;
    return processChunk(*session, request, event, faulted && fault == UploadFault::kNoGuid, shift);
  }
  append(*session, request.body);
  return Ok("<UploadFileResp><requestId>" + requestId + "</requestId></UploadFileResp>");
}

// A chunk request or an offset query of an open session. Called with
// m_mutex held.
FakeReply FolderFakeCloud::processChunk(Session& session, const FakeRequest& request,
                                        const UploadEvent& event, bool noGuid,
                                        long long offsetShift) {
  if (!request.body.empty()) {
    if (session.completed) {
      return FakeReply{1,
                       "<GenericResp><errorText>Upload already complete</errorText></GenericResp>",
                       400, "HTTP 400"};
    }
    const unsigned long long size = std::strtoull(session.file.fileSize.c_str(), nullptr, 10);
    if (session.hash.size() + request.body.size() > size) {
      return FakeReply{1,
                       "<GenericResp><errorText>chunk would grow the file past "
                       "FileSize</errorText></GenericResp>",
                       400, "HTTP 400"};
    }
  }
  append(session, request.body);
  completeIfWhole(session, event.eof);
  const long long held = static_cast<long long>(session.hash.size()) + offsetShift;
  if (session.completed && event.eof && !noGuid) {
    return Ok("<UploadFileResp><fileGUID>" + session.file.guid + "</fileGUID><chunkOffset>" +
              std::to_string(held) + "</chunkOffset></UploadFileResp>");
  }
  return OffsetReply(held);
}

}  // namespace zutest
