// Put Block List against scripted gateways: URL, body, retries and waits,
// and a commit whose reply was lost found in the committed block list.
#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "blob/resume/JournalCommit.h"
#include "blob/storage/BlockId.h"
#include "blob/storage/BlockList.h"
#include "platform/crypto/RegionLayout.h"
#include "platform/text/FXString.h"
#include "session/SessionParams.h"
#include "support/Emulator.h"
#include "support/EnvChange.h"
#include "support/FakeGateway.h"
#include "support/ServiceAccess.h"
#include "support/TestEnv.h"

namespace {

using zutest::BlobServiceAccess;
using zutest::FakeReply;
using zutest::FakeRequest;

class BlockList : public ::testing::Test {
 protected:
  void SetUp() override { service_ = withRetries("1"); }

  // A service reading `retryCount` from the settings, initialised for the
  // fake store.
  std::unique_ptr<BlobServiceAccess> withRetries(const char* retryCount) {
    env_.setGlobal("DRBackupRetryCount", retryCount);
    auto service = std::make_unique<BlobServiceAccess>();
    service->forceInitialized("http://console.test/webconsole", "ann", "pw");
    service->m_uploadURL = "https://store.test/acct/c";
    return service;
  }

  zutest::ServiceEnv env_;
  zutest::ScopedFakeGateways fakes_;
  zutest::ScopedSleepRecorder sleeps_;
  std::unique_ptr<BlobServiceAccess> service_;
};

TEST_F(BlockList, TheBodyListsTheIdsInTheGivenOrder) {
  fakes_.journal().fallback = FakeReply{0, "", 201, ""};
  std::wstring message;
  ASSERT_EQ(service_->UploadBlockList({}, "set/full", "a.bak", "sv=1&sig=Q", message), 1);
  ASSERT_EQ(service_->UploadBlockList({"MDAwMDAy", "MDAwMDAx", "MDAwMDAx"}, "set/full", "a.bak",
                                      "sv=1&sig=Q", message),
            1);
  const auto& requests = fakes_.journal().requests;
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "PUT");
  EXPECT_EQ(requests[0].url, "https://store.test/acct/c/set/full/a.bak?comp=blocklist&sv=1&sig=Q");
  EXPECT_TRUE(requests[0].headers.empty());
  EXPECT_EQ(requests[0].body, "<?xml version=\"1.0\" encoding=\"utf-8\"?> <BlockList></BlockList>");
  EXPECT_EQ(
      requests[1].body,
      "<?xml version=\"1.0\" encoding=\"utf-8\"?> <BlockList><Uncommitted>MDAwMDAy</Uncommitted>"
      "<Uncommitted>MDAwMDAx</Uncommitted><Uncommitted>MDAwMDAx</Uncommitted></BlockList>");
  EXPECT_TRUE(message.empty());
  EXPECT_TRUE(sleeps_.waits().empty());
}

TEST_F(BlockList, AFailingCommitWaitsAfterEveryAttemptIncludingTheLast) {
  // A 500 (a 4xx of a store would end it at once, without a wait).
  fakes_.journal().fallback = FakeReply{1, "<Error>InvalidBlockList</Error>", 500, "HTTP 500"};
  std::wstring message;
  EXPECT_EQ(service_->UploadBlockList({"MDAwMDAx"}, "f", "b.bak", "sig=Z", message), 0);
  EXPECT_EQ(message, L"Error: Failed to upload chunk to cloud.");
  EXPECT_EQ(fakes_.journal().requests.size(), 1u);
  EXPECT_EQ(sleeps_.waits(), std::vector<unsigned int>{120000});
  EXPECT_NE(
      env_.logText().find("Error: Failed to upload chunk to cloud for file [b.bak], Input XML "
                          "[<?xml version=\"1.0\" "
                          "encoding=\"utf-8\"?> "
                          "<BlockList><Uncommitted>MDAwMDAx</Uncommitted></BlockList>]. Upload "
                          "attempt [1]. Curl Error Message [HTTP 500], Error response: "
                          "[<Error>InvalidBlockList</Error>]"),
      std::string::npos);
}

TEST_F(BlockList, ASuccessAfterAFailureKeepsTheMessage) {
  std::unique_ptr<BlobServiceAccess> owned = withRetries("3");
  BlobServiceAccess& service = *owned;
  fakes_.journal().script = {FakeReply{1, "", 500, "HTTP 500"}, FakeReply{0, "", 201, ""}};
  std::wstring message;
  EXPECT_EQ(service.UploadBlockList({"MDAwMDAx"}, "f", "c.bak", "sig=Z", message), 1);
  EXPECT_EQ(message, L"Error: Failed to upload chunk to cloud.");
  EXPECT_EQ(fakes_.journal().requests.size(), 2u);
  EXPECT_EQ(sleeps_.waits(), std::vector<unsigned int>{120000});
}

// Storage answers a commit with 201 Created; any other 2xx (an empty or
// foreign 200 from something in between) proves nothing about the blob.
TEST_F(BlockList, OnlyA201CreatedConfirmsTheCommit) {
  for (const FakeReply& reply :
       {FakeReply{0, "", 200, ""}, FakeReply{0, "<html>ok</html>", 200, ""},
        FakeReply{0, "", 202, ""}, FakeReply{0, "", 204, ""}}) {
    SCOPED_TRACE(reply.status);
    fakes_.journal().fallback = reply;
    std::wstring message;
    EXPECT_EQ(service_->UploadBlockList({"MDAwMDAx"}, "f", "e.bak", "sig=Z", message), 0);
    EXPECT_EQ(message, L"Error: Failed to upload chunk to cloud.");
    EXPECT_NE(
        env_.logText().find("Error: Block list for file [e.bak] was answered with HTTP status [" +
                            std::to_string(reply.status) + "] instead of [201]"),
        std::string::npos);
  }
  EXPECT_EQ(fakes_.journal().requests.size(), 4u);
}

TEST_F(BlockList, NoGatewayMeansNoRequest) {
  fakes_.journal().connectResult = 1;
  std::wstring message;
  EXPECT_EQ(service_->UploadBlockList({"MDAwMDAx"}, "f", "d.bak", "sig=Z", message), 0);
  EXPECT_EQ(message,
            L"Error: Cannot connect to store.test port 443: the connection failed [Couldn't "
            L"connect to server].");
  EXPECT_TRUE(fakes_.journal().requests.empty());
  EXPECT_NE(env_.logText().find("Error: Failed to initialize ZuInternetGateway."),
            std::string::npos);
}

// The committed block list storage answers with.
std::string CommittedList(const std::vector<std::string>& ids,
                          const std::vector<unsigned long long>& sizes) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?><BlockList><CommittedBlocks>";
  for (size_t i = 0; i < ids.size(); ++i) {
    xml +=
        "<Block><Name>" + ids[i] + "</Name><Size>" + std::to_string(sizes[i]) + "</Size></Block>";
  }
  return xml + "</CommittedBlocks><UncommittedBlocks/></BlockList>";
}

TEST(CommittedBlocks, OnlyExactlyTheseIdsInOrderOfTheFilesLengthAreThisCommit) {
  using zu::blob::ListedBlock;
  const std::vector<std::string> ids = {"QQ", "Qg", "Qw"};
  struct Row {
    const char* what;
    std::vector<ListedBlock> committed;
    unsigned long long fileSize;
    bool same;
  };
  const Row rows[] = {
      {"the same", {{"QQ", 4}, {"Qg", 4}, {"Qw", 1}}, 9, true},
      {"one byte short", {{"QQ", 4}, {"Qg", 4}, {"Qw", 1}}, 10, false},
      {"one byte over", {{"QQ", 4}, {"Qg", 4}, {"Qw", 2}}, 9, false},
      {"another order", {{"Qg", 4}, {"QQ", 4}, {"Qw", 1}}, 9, false},
      {"one block fewer", {{"QQ", 4}, {"Qg", 5}}, 9, false},
      {"one block more", {{"QQ", 4}, {"Qg", 4}, {"Qw", 1}, {"RA", 0}}, 9, false},
      {"sizes that wrap", {{"QQ", 18446744073709551615ULL}, {"Qg", 10}, {"Qw", 0}}, 9, false},
      {"nothing committed", {}, 0, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(zu::blob::IsThisCommit(row.committed, ids, row.fileSize), row.same) << row.what;
  }
  EXPECT_TRUE(zu::blob::IsThisCommit({}, {}, 0));
  EXPECT_FALSE(zu::blob::IsThisCommit({}, {}, 1));
}

// A journal and the blob's committed list: an earlier run's commit is the
// list of exactly the journal's blocks, in order, each of its (stored)
// length, under the journal's tag.
TEST(CommittedBlocks, AJournalNamesACommitOnlyWhenEveryIdSizeAndPlaceAgrees) {
  using zu::blob::ListedBlock;
  const std::string tag = "0123456789abcdef01";
  const unsigned long long k4 = 4ULL << 20;
  zu::blob::JournalContent journal;
  journal.identity.size = 2 * k4 + 5;  // blocks of 4 MiB, 4 MiB and 5 bytes
  journal.blockSize = k4;
  journal.tag = tag;
  auto id = [&tag](unsigned int n) { return zu::blob::BlockId(n, tag); };
  const std::vector<ListedBlock> exact = {{id(1), k4}, {id(2), k4}, {id(3), 5}};
  const unsigned long long s4 = zu::StoredLength(k4);
  const unsigned long long s5 = zu::StoredLength(5);
  struct Row {
    const char* what;
    std::vector<ListedBlock> committed;
    bool encrypted;
    bool named;
  };
  const Row rows[] = {
      {"exactly the journal's", exact, false, true},
      {"one id of another tag",
       {{id(1), k4}, {zu::blob::BlockId(2, "fedcba9876543210fe"), k4}, {id(3), 5}},
       false,
       false},
      {"one id untagged", {{id(1), k4}, {zu::blob::BlockId(2), k4}, {id(3), 5}}, false, false},
      {"one size one byte short", {{id(1), k4}, {id(2), k4}, {id(3), 4}}, false, false},
      {"one size one byte over", {{id(1), k4}, {id(2), k4}, {id(3), 6}}, false, false},
      {"two sizes traded, same total", {{id(1), k4}, {id(2), 5}, {id(3), k4}}, false, false},
      {"two blocks in another order", {{id(2), k4}, {id(1), k4}, {id(3), 5}}, false, false},
      {"the last block missing", {{id(1), k4}, {id(2), k4}}, false, false},
      {"one block more", {{id(1), k4}, {id(2), k4}, {id(3), 5}, {id(4), 0}}, false, false},
      {"nothing committed", {}, false, false},
      {"encrypted: stored lengths", {{id(1), s4}, {id(2), s4}, {id(3), s5}}, true, true},
      {"encrypted: plain lengths", exact, true, false},
      {"plain: stored lengths", {{id(1), s4}, {id(2), s4}, {id(3), s5}}, false, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(zu::blob::JournalNamesCommit(journal, row.committed, row.encrypted), row.named)
        << row.what;
  }
  // Both sides of the one-block floor: a file of one byte is looked for, an
  // empty file (no block, nothing to lose by sending it) never.
  zu::blob::JournalContent tiny = journal;
  tiny.identity.size = 1;
  EXPECT_TRUE(zu::blob::JournalNamesCommit(tiny, {{id(1), 1}}, false));
  tiny.identity.size = 0;
  EXPECT_FALSE(zu::blob::JournalNamesCommit(tiny, {}, false));
}

// When to look: the commit line was written, or every block was confirmed.
TEST(CommittedBlocks, AJournalSaysACommitMayBeDoneWhenItNamesEveryBlockOrTheCommit) {
  struct Row {
    const char* what;
    unsigned long long size;
    std::vector<unsigned int> blocks;
    bool commitSent;
    bool mayBeDone;
  };
  const unsigned long long k = 1ULL << 20;
  const Row rows[] = {
      {"every block", 3 * k + 1, {4, 1, 3, 2}, false, true},
      {"all but one", 3 * k + 1, {4, 1, 3}, false, false},
      {"all but one, one twice", 3 * k + 1, {4, 1, 3, 3}, false, false},
      {"the commit line, blocks from an earlier run unlisted", 3 * k + 1, {3, 4}, true, true},
      {"one block of a one-block file", 1, {1}, false, true},
      {"no block of a one-block file", 1, {}, false, false},
      {"an empty file with a commit line", 0, {}, true, false},
      {"an empty file", 0, {}, false, false},
  };
  for (const Row& row : rows) {
    zu::blob::JournalContent journal;
    journal.identity.size = row.size;
    journal.blockSize = k;
    journal.blocks = row.blocks;
    journal.commitSent = row.commitSent;
    EXPECT_EQ(zu::blob::CommitMayBeDone(journal), row.mayBeDone) << row.what;
  }
}

// CommitBlocks as UploadFile runs it (recognizeLostReply), request by
// request: the attempts of the commit and the readings of the committed
// list.
class LostCommitReply : public ::testing::Test {
 protected:
  void SetUp() override {
    service_.forceInitialized("http://console.test/webconsole", "ann", "pw");
    zutest::EnvChange change;
    change.jitter = [] { return 7; };
    jitter_.emplace(change);
  }

  zu::blob::BlockCommit commit(bool tagged) const {
    zu::blob::BlockCommit c;
    c.blobUrl = "https://store.test/acct/c/f/a.bak";
    c.sasToken = "sv=1&sig=Q";
    c.fileName = "a.bak";
    const std::string tag = tagged ? "0123456789abcdef01" : "";
    c.ids = {zu::blob::BlockId(1, tag), zu::blob::BlockId(2, tag)};
    c.recognizeLostReply = true;
    c.fileSize = 1048576 + 5;
    c.backoffCapSeconds = 16;
    return c;
  }

  int run(const zu::blob::BlockCommit& c, int retryCount, std::wstring& message) {
    zu::SessionParams params;
    params.kind = zu::ServiceKind::kBlob;
    params.log = service_.m_evDbg.get();
    params.initialized = 1;
    params.retryCount = retryCount;
    return zu::blob::CommitBlocks(params, c, message);
  }

  // "P" for each Put Block List, "G" for each reading of the committed list.
  std::string sequence() {
    std::string out;
    for (const FakeRequest& r : fakes_.journal().requests) out += r.method == "PUT" ? "P" : "G";
    return out;
  }

  zutest::ServiceEnv env_;
  zutest::ScopedFakeGateways fakes_;
  zutest::ScopedSleepRecorder sleeps_;
  std::optional<zutest::ScopedEnvChange> jitter_;
  BlobServiceAccess service_;
};

TEST_F(LostCommitReply, TheCommittedListTellsWhetherALostCommitWasCarriedOut) {
  const FakeReply ok{0, "", 201, ""};
  // A reply lost on a reused connection, as the gateway reports it.
  const FakeReply lost{52, "", 0, "curl error 52: the connection closed before the reply"};
  const FakeReply cut{18, "", 201, "curl error 18: transfer closed"};  // after its status line
  const FakeReply slow{28, "", 0, "curl error 28: Operation timed out"};
  const FakeReply err{500, "<Error><Code>InternalError</Code></Error>", 500, "HTTP status 500"};
  const FakeReply gone{400,
                       "<?xml version=\"1.0\" encoding=\"utf-8\"?><Error><Code>"
                       "InvalidBlockList</Code><Message>The specified block list is "
                       "invalid.</Message></Error>",
                       400, "HTTP status 400"};
  const FakeReply bad{500, "", 500, "HTTP status 500"};  // a reading of the list that failed
  // A write-only token's reading, and a 403 of another cause.
  const FakeReply noRead{403, "<Error><Code>AuthorizationPermissionMismatch</Code></Error>", 403,
                         "HTTP 403"};
  const FakeReply denied{403, "<Error><Code>AuthorizationFailure</Code></Error>", 403, "HTTP 403"};
  const std::vector<std::string> tagged = commit(true).ids;
  const std::vector<std::string> untagged = commit(false).ids;
  const FakeReply found{0, CommittedList(tagged, {1048576, 5}), 200, ""};
  const FakeReply foundU{0, CommittedList(untagged, {1048576, 5}), 200, ""};
  const FakeReply none{0, CommittedList({}, {}), 200, ""};
  const FakeReply swap{0, CommittedList({tagged[1], tagged[0]}, {5, 1048576}), 200, ""};
  const FakeReply size4{0, CommittedList(tagged, {1048576, 4}), 200, ""};
  struct Row {
    const char* what;
    bool tagged;
    std::vector<FakeReply> script;
    int result;
    std::string sequence;
    size_t waits120s;
    bool logged;           // the "found committed" line
    bool noRead = false;   // the one line that the token cannot read
    std::string why = "";  // in the message of a failed commit
  };
  // A lost reply (the gateway notes it) is followed by the next attempt at
  // once; any other failed attempt by the 120 s wait.
  const std::vector<Row> rows = {
      {"lost, found", true, {lost, found}, 1, "PG", 0, true},
      {"cut short after 201, found", true, {cut, found}, 1, "PG", 0, true},
      {"timed out, not there: sent again", true, {slow, none, ok}, 1, "PGP", 1, false},
      {"lost, another order", true, {lost, swap, ok}, 1, "PGP", 0, false},
      {"lost, another length", true, {lost, size4, ok}, 1, "PGP", 0, false},
      {"lost, untagged: not looked for", false, {lost, ok}, 1, "PP", 0, false},
      {"refused, InvalidBlockList: found", true, {err, gone, found}, 1, "PPG", 1, true},
      {"untagged: refused, InvalidBlockList: found", false, {err, gone, foundU}, 1, "PPG", 1, true},
      {"InvalidBlockList, not found: failed", true, {lost, none, gone, none}, 0, "PGPG", 0, false},
      {"first attempt InvalidBlockList: again", true, {gone, ok}, 1, "PP", 1, false},
      {"list read at the third attempt", true, {lost, bad, bad, found}, 1, "PGGG", 0, true},
      {"list unreadable 3 times: again", true, {lost, bad, bad, bad, ok}, 1, "PGGGP", 0, false},
      {"gone, list unreadable: failed", true, {err, gone, bad, bad, bad}, 0, "PPGGG", 1, false},
      // A token without read permission: read once, never taken as done.
      {"lost, no read permission: sent again", true, {lost, noRead, ok}, 1, "PGP", 0, false, true},
      {"lost, no read permission, then InvalidBlockList: not read again, failed",
       true,
       {lost, noRead, gone},
       0,
       "PGP",
       0,
       false,
       true,
       "the SAS token has no read permission (403 AuthorizationPermissionMismatch)"},
      {"gone, no read permission: failed",
       true,
       {err, gone, noRead},
       0,
       "PPG",
       1,
       false,
       true,
       "the SAS token has no read permission (403 AuthorizationPermissionMismatch)"},
      {"lost, list refused 403 otherwise: sent again",
       true,
       {lost, denied, ok},
       1,
       "PGP",
       0,
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const size_t logBefore = env_.logText().size();
    const size_t waitsBefore = sleeps_.waits().size();
    fakes_.journal().requests.clear();
    std::deque<FakeReply> script(row.script.begin(), row.script.end());
    zutest::ScopedResponder responder(fakes_.journal(), [&script](const FakeRequest&) {
      if (script.empty()) return FakeReply{1, "", 500, "unexpected request"};
      const FakeReply reply = script.front();
      script.pop_front();
      if (reply.result == 52) LIBCURL::NoteReplyLostOnThisThread();
      return reply;
    });
    std::wstring message;
    EXPECT_EQ(run(commit(row.tagged), 30, message), row.result);
    EXPECT_EQ(sequence(), row.sequence);
    EXPECT_TRUE(script.empty());
    size_t waits120s = 0;
    const std::vector<unsigned int> waits = sleeps_.waits();
    for (size_t i = waitsBefore; i < waits.size(); ++i) waits120s += waits[i] == 120000 ? 1 : 0;
    EXPECT_EQ(waits120s, row.waits120s);
    const std::string log = env_.logText().substr(logBefore);
    EXPECT_EQ(
        log.find("Warning: The block list of file [a.bak] was found committed although the "
                 "reply to its commit was lost; the commit is taken as done.") != std::string::npos,
        row.logged)
        << log;
    EXPECT_EQ(zutest::CountOccurrences(log,
                                       "Warning: Cannot read the committed block list of "
                                       "file [a.bak] to learn whether its commit was "
                                       "carried out: the SAS token has no read permission"),
              row.noRead ? 1u : 0u)
        << log;
    if (row.result == 0) {
      EXPECT_TRUE(zutest::MessageStartsWith(
          message,
          L"Error: Failed to upload file [a.bak] to cloud: storage refused its block "
          L"list because it no longer holds the file's blocks uncommitted"));
      if (!row.why.empty()) {
        EXPECT_NE(message.find(L"could not be read (" + FXString::ToWstring(row.why) + L")"),
                  std::wstring::npos)
            << FXString::ToString(message);
      }
    }
  }
}

// The first attempt is the request it has always been; a reading of the
// committed list asks for exactly that list of the same blob.
TEST_F(LostCommitReply, TheCommitAndTheReadingAreTheRequestsStorageKnows) {
  const zu::blob::BlockCommit c = commit(true);
  fakes_.journal().script = {FakeReply{52, "", 0, "curl error 52"},
                             FakeReply{0, CommittedList(c.ids, {1048576, 5}), 200, ""}};
  std::wstring message;
  ASSERT_EQ(run(c, 30, message), 1);
  const auto& requests = fakes_.journal().requests;
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "PUT");
  EXPECT_EQ(requests[0].url, "https://store.test/acct/c/f/a.bak?comp=blocklist&sv=1&sig=Q");
  EXPECT_TRUE(requests[0].headers.empty());
  EXPECT_EQ(requests[0].body,
            "<?xml version=\"1.0\" encoding=\"utf-8\"?> <BlockList><Uncommitted>" + c.ids[0] +
                "</Uncommitted><Uncommitted>" + c.ids[1] + "</Uncommitted></BlockList>");
  EXPECT_EQ(requests[1].method, "GET");
  EXPECT_EQ(requests[1].url,
            "https://store.test/acct/c/f/a.bak?comp=blocklist&blocklisttype=committed&sv=1&sig=Q");
  EXPECT_TRUE(sleeps_.waits().empty());
}

// A host's own UploadBlockList knows no file length: a lost reply is not
// looked for there.
TEST_F(BlockList, AHostsOwnCommitDoesNotLookForALostReply) {
  std::unique_ptr<BlobServiceAccess> owned = withRetries("2");
  BlobServiceAccess& service = *owned;
  fakes_.journal().script = {FakeReply{52, "", 0, "curl error 52"}, FakeReply{0, "", 201, ""}};
  std::wstring message;
  EXPECT_EQ(service.UploadBlockList({zu::blob::BlockId(1, "0123456789abcdef01")}, "f", "h.bak",
                                    "sig=Z", message),
            1);
  ASSERT_EQ(fakes_.journal().requests.size(), 2u);
  EXPECT_EQ(fakes_.journal().requests[1].method, "PUT");
}

}  // namespace
