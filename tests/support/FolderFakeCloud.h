// A scripted stand-in for the folder service's side of the cloud, answering
// through the fake gateways: the login, the chunked upload protocol (session
// request, chunk requests, offset queries, "FileEOF" completion) with
// injectable faults, and any other request through a test-supplied handler.
// Like a strict server it refuses a chunk that would grow the file past
// "FileSize" and answers a chunk sent to a completed upload with an error
// ("already complete"), storing neither.
#ifndef ZUCLOUD_TESTS_SUPPORT_FOLDER_FAKE_CLOUD_H
#define ZUCLOUD_TESTS_SUPPORT_FOLDER_FAKE_CLOUD_H

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "support/FakeGateway.h"

namespace zutest {

// A 64-bit hash of a byte stream that does not depend on how the stream is
// split into pieces (used where keeping the bytes would cost too much).
class StreamHash {
 public:
  void update(const char* data, size_t length);
  uint64_t digest() const;
  unsigned long long size() const { return m_total; }

 private:
  void mix(uint64_t word);
  uint64_t m_hash = 1469598103934665603ULL;
  unsigned char m_pending[8] = {};
  size_t m_pendingCount = 0;
  unsigned long long m_total = 0;
};

// StreamHash of a whole local file (read in 4 MiB pieces).
uint64_t HashFile(const std::string& path);

// Value of header `name` in `headers` ("" when absent) and whether present.
std::string HeaderValue(const ZuCURL::commandInfoList& headers, const std::string& name);
bool HasHeader(const ZuCURL::commandInfoList& headers, const std::string& name);
std::vector<std::string> HeaderNames(const ZuCURL::commandInfoList& headers);

// What a fault does to one upload request.
enum class UploadFault {
  kStoreThen500,  // process the request, then answer HTTP 500 (failure)
  kDropThen500,   // ignore the bytes, answer HTTP 500 (failure)
  kTransport,     // ignore the bytes, transport failure with no reply body
  kEmptyOk,       // ignore the bytes, 200 with an empty body
  kGarbageOk,     // ignore the bytes, 200 with an UploadFileResp that cannot be read
  kZeroOffset,    // ignore the bytes, 200 with chunkOffset 0
  kNoGuid,        // process, but answer chunkOffset only (never fileGUID)
  kHeldOffset,    // ignore the bytes, 200 with the offset held before the request
  kTwice,         // process twice (a lost reply, the request sent again), second reply
  kTwiceThen500,  // process twice, then answer HTTP 500 (both replies lost)
  kOffsetAbove,   // process, but answer a chunkOffset one above the bytes held
  kOffsetBelow,   // process, but answer a chunkOffset one below the bytes held
  // process, then hold exactly the fault's offset of bytes: the rest is lost
  // (a server restarted from an older state) or, past them, zeros the client
  // never sent; the file completes when that is its size with "FileEOF";
  // answer HTTP 500 (the reply is lost). Needs the bytes kept.
  kHoldThen500,
};

// One upload request as the fake saw it.
struct UploadEvent {
  std::string kind;  // "session", "chunk" (body) or "query" (empty body)
  long long bodyLength = 0;
  bool eof = false;  // carried "FileEOF" = "1"
  int gatewayId = 0;
  int pacedSharers = 0;      // the gateway's pacing when sent (0: not paced)
  long long heldBefore = 0;  // bytes of the file held before the request
  std::string url;
  ZuCURL::commandInfoList headers;
  bool faulted = false;
};

// A file the fake completed.
struct StoredFile {
  std::string name;        // decoded "FileName"
  std::string parentPath;  // decoded "ParentFolderPath"
  std::string fileSize;    // "FileSize" as sent
  std::string modifiedTime;
  std::string guid;
  std::string data;  // the bytes (when kept)
  unsigned long long size = 0;
  uint64_t hash = 0;  // StreamHash digest of the bytes
};

class FolderFakeCloud {
 public:
  // Installs itself as the responder of `journal`.
  explicit FolderFakeCloud(FakeJournal& journal);

  // Requests other than login and upload (set-up, create-folder).
  void setOtherHandler(std::function<FakeReply(const FakeRequest&)> handler);
  // Keep the bytes of stored files (default) or only size and hash; keep the
  // fake gateways' request journal (default) or drop it after each request.
  void setKeepData(bool keep);
  void setKeepRequests(bool keep);
  // The next `count` requests of `kind` ("session", "chunk", "query") after
  // the first `skip` of them get `fault`.
  void addFault(const std::string& kind, UploadFault fault, int count = 1, int skip = 0);
  // kHoldThen500 on the request of `kind` after the first `skip`, leaving
  // `held` bytes of the file at the server.
  void addHoldFault(const std::string& kind, long long held, int skip = 0);
  // Login answer: an error entry instead of a token.
  void setLoginError(const std::string& text);
  // Called after each upload request was answered, outside the fake's lock,
  // with its event (for kTwice and kTwiceThen500: its second arrival).
  void setAfterUpload(std::function<void(const UploadEvent&)> hook);

  std::vector<UploadEvent> events() const;
  std::vector<StoredFile> stored() const;
  int logins() const;
  // Tokens handed out by the login.
  std::vector<std::string> tokens() const;
  // Upload requests whose "Authtoken" was not a token handed out.
  int unauthorized() const;

 private:
  struct Session {
    StoredFile file;
    bool completed = false;
    StreamHash hash;
  };
  struct PendingFault {
    UploadFault fault;
    int skip;
    int count;
    long long held = 0;  // kHoldThen500
  };
  FakeReply respond(const FakeRequest& request);
  FakeReply upload(const FakeRequest& request);
  // One arrival of a request at the server (`event.faulted`: with `fault`).
  FakeReply process(const FakeRequest& request, UploadEvent event, UploadFault fault,
                    long long held);
  FakeReply processChunk(Session& session, const FakeRequest& request, const UploadEvent& event,
                         bool noGuid, long long offsetShift);
  bool takeFault(const std::string& kind, UploadFault& fault, long long& held);
  void append(Session& session, const std::string& bytes);
  void holdExactly(Session& session, long long held, bool eof);
  void completeIfWhole(Session& session, bool eof);

  FakeJournal& m_journal;
  mutable std::mutex m_mutex;
  std::function<FakeReply(const FakeRequest&)> m_other;
  std::function<void(const UploadEvent&)> m_afterUpload;
  bool m_keepData = true;
  bool m_keepRequests = true;
  std::string m_loginError;
  std::map<std::string, std::deque<PendingFault>> m_faults;
  std::map<std::string, int> m_seen;  // requests per kind
  std::map<std::string, Session> m_sessions;
  std::vector<UploadEvent> m_events;
  std::vector<StoredFile> m_stored;
  std::vector<std::string> m_tokens;
  int m_unauthorized = 0;
  int m_nextRequest = 0;
  int m_nextGuid = 0;
  ScopedResponder m_responder;  // last: installed once the rest is built
};

}  // namespace zutest

#endif  // ZUCLOUD_TESTS_SUPPORT_FOLDER_FAKE_CLOUD_H
