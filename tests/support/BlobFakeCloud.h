// A scripted stand-in for the blob service's side of the cloud, answering
// through the fake gateways: the web-console login, set-up and completion,
// the Azure Functions set-up and finalize, and an in-memory block blob store
// for Put Block / Put Block List / Put Blob that keeps staged and committed
// blocks (with their sizes) and the blob's Content-MD5, refuses what the
// real storage service refuses (empty Put Block bodies, a block list naming
// a block it does not hold), answers Get Block List with the staged or the
// committed blocks and Get Blob Properties with the blob's length and
// Content-MD5, and records how many Put Block requests were in flight at
// once.
#ifndef ZUCLOUD_TESTS_SUPPORT_BLOB_FAKE_CLOUD_H
#define ZUCLOUD_TESTS_SUPPORT_BLOB_FAKE_CLOUD_H

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "support/FakeGateway.h"

namespace zutest {

// Kind of a request as the blob fake classifies it by URL: "login", "setup",
// "finalize", "af_setup", "af_finalize", "put_block", "block_list" (Put
// Block List, and Get Block List of the uncommitted blocks with method
// "GET"), "committed_list" (Get Block List of the committed blocks) or
// "other".
std::string BlobRequestKind(const std::string& url);

// Copies of the requests `journal` holds of one kind ("" for all), in order;
// besides the kinds above, "put_blob" (a PUT of the blob itself) and
// "properties" (Get Blob Properties, a HEAD).
std::vector<FakeRequest> BlobRequests(FakeJournal& journal, const std::string& kind);

// Percent-decoding of a query value.
std::string PercentDecode(const std::string& text);

class BlobFakeCloud {
 public:
  // Installs itself as the responder of `journal` until destruction.
  explicit BlobFakeCloud(FakeJournal& journal);

  // Reply bodies (set before the operation runs).
  std::string loginReply =
      "<CheckCredentialResp><sessionToken>sess-4b1d77</sessionToken></CheckCredentialResp>";
  std::string setupReply =
      "<SetupResult><AzureSASServiceURL>https://store.test/devacct/c1</AzureSASServiceURL>"
      "<AzureSASToken>sv=2020-04-08&amp;sp=racwdl&amp;sig=S3CRETSIGx%2Fy%3D</AzureSASToken>"
      "</SetupResult>";
  std::string finalizeReply = "<FinalizeResult><isSuccess>true</isSuccess></FinalizeResult>";
  std::string afSetupReply;  // JSON; empty: built from the request's "Files"
  std::string afFinalizeReply = "{\"isSuccess\": true}";

  // Faults: the next `n` requests of a kind fail (HTTP 500, result 1), or
  // every one of them when `always` is set.
  void failNext(const std::string& kind, int n);
  void failAlways(const std::string& kind, bool always);
  // A Put Block whose block number (from 1) is `blockNo` always fails; 0
  // clears every such block.
  void failBlockAlways(unsigned int blockNo);
  // The next `n` Put Block Lists are answered with `reply`; with
  // `carriedOut` the store commits each one first (its reply was lost on the
  // way back), else the store is left as it was.
  void replaceCommitReplies(int n, const FakeReply& reply, bool carriedOut);
  // SAS tokens that expire: storage accepts only the newest token, for
  // `requests` storage requests, then refuses it with 403
  // AuthenticationFailed (in the XML body, without x-ms-error-code) until a
  // set-up hands out the next ("sig=FRESH<n>", n from 1; web console or
  // Functions). `firstSig` is the sig valid before any set-up. 0: off.
  void expireTokenAfter(int requests, const std::string& firstSig);
  // Expiry by the place in the file rather than by a count, so that blocks
  // in flight side by side cannot spend a fresh token before another block's
  // resend: the first token (`firstSig`) stores blocks 1 to `blocks`, the
  // n-th fresh one blocks up to (n + 1) * `blocks`; any other storage request
  // needs the newest token.
  void expireTokenAtBlocks(int blocks, const std::string& firstSig);
  // Set-ups from number `setUpNumber` on (1 = the first) hand out `url`.
  void changeUrlFromSetUp(int setUpNumber, const std::string& url);
  // Set-ups from number `setUpNumber` on hand out `token` verbatim.
  void changeTokenFromSetUp(int setUpNumber, const std::string& token);
  // Every storage request of `kind` ("" for all: Put Block, Put Blob, Put
  // and Get Block List, Get Blob Properties; "reads" for Get Block List and
  // Get Blob Properties, as storage refuses a write-only token) is refused
  // with `status`, the error code in the x-ms-error-code header only.
  void refuseStorage(const std::string& kind, int status, const std::string& code);
  int setUpCount();
  // Get Blob Properties reports these instead of what the store holds
  // (empty: the stored values).
  std::string reportedLength;
  std::string reportedMd5;

  // What the store holds for the blob at `blobPath` (the URL before "?").
  std::vector<std::string> committedIds(const std::string& blobPath);
  // The block numbers the committed ids end with, in order, when every id
  // is well formed and all carry one tag (returned in `tag`, "" for none);
  // otherwise empty.
  std::vector<unsigned int> committedNumbers(const std::string& blobPath, std::string& tag);
  std::string committedBytes(const std::string& blobPath);
  // Commits `ids`, which must be staged for `blobPath`, as storage would.
  void commitStaged(const std::string& blobPath, const std::vector<std::string>& ids);
  bool hasBlob(const std::string& blobPath);
  int maxPutBlocksInFlight();
  int putBlockCount();
  int emptyPutBlocks();  // refused because their body was empty

 private:
  FakeReply respond(const FakeRequest& request);
  FakeReply putBlock(const FakeRequest& request);
  FakeReply blockList(const FakeRequest& request);
  FakeReply putBlob(const FakeRequest& request);
  FakeReply listBlocks(const FakeRequest& request, bool committed);
  FakeReply properties(const FakeRequest& request);
  FakeReply afSetup(const FakeRequest& request);
  FakeReply consoleSetUp();
  bool takeFault(const std::string& kind);
  // The refusal of a storage request, when it gets one.
  bool refuseLocked(const FakeRequest& request, const std::string& kind, FakeReply& reply);
  bool validByPlaceLocked(const FakeRequest& request, const std::string& kind);
  // The set-up's URL and token (numbered from 1).
  std::string setUpUrl(const std::string& otherwise);
  std::string setUpToken(const std::string& otherwise);
  // Commits `ids` of `blob` with `md5` as its Content-MD5; false (nothing
  // changed) when one of them is not staged. Called with m_mutex held.
  bool commitLocked(const std::string& blob, const std::vector<std::string>& ids,
                    const std::string& md5);

  std::mutex m_mutex;
  std::map<std::string, int> m_failNext;
  std::map<std::string, bool> m_failAlways;
  std::vector<unsigned int> m_failBlocks;
  std::map<std::string, std::map<std::string, std::string>> m_staged;  // blob -> id -> bytes
  std::map<std::string, std::vector<std::string>> m_committed;         // blob -> ids
  std::map<std::string, std::string> m_committedBytes;
  std::map<std::string, std::vector<unsigned long long>> m_committedSizes;  // blob -> sizes
  std::map<std::string, std::string> m_storedMd5;                           // blob -> Base64
  int m_replacedCommits = 0;
  FakeReply m_commitReply;
  bool m_commitCarriedOut = false;
  int m_inFlight = 0;
  int m_maxInFlight = 0;
  int m_putBlocks = 0;
  int m_emptyPutBlocks = 0;
  int m_tokenRequests = 0;   // 0: tokens never expire
  int m_blocksPerToken = 0;  // > 0: expiry by block number (expireTokenAtBlocks)
  std::string m_firstSig;
  std::string m_validSig;
  int m_usesLeft = 0;
  int m_setUps = 0;
  int m_urlFrom = 0;
  std::string m_changedUrl;
  int m_tokenFrom = 0;
  std::string m_changedToken;
  std::string m_refusedKind;
  int m_refusedStatus = 0;
  std::string m_refusedCode;
  ScopedResponder m_responder;  // last: installed once the rest is built
};

}  // namespace zutest

#endif  // ZUCLOUD_TESTS_SUPPORT_BLOB_FAKE_CLOUD_H
