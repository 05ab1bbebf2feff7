// Put Block List against scripted gateways: URL, body, retries and waits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/Emulator.h"
#include "support/FakeGateway.h"
#include "support/ServiceAccess.h"
#include "support/TestEnv.h"

namespace {

using zutest::BlobServiceAccess;
using zutest::FakeReply;

class BlockList : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.setGlobal("DRBackupRetryCount", "1");
    service_ = std::make_unique<BlobServiceAccess>();
    service_->forceInitialized("http://console.test/webconsole", "ann", "pw");
    service_->m_uploadURL = "https://store.test/acct/c";
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
  fakes_.journal().fallback = FakeReply{1, "<Error>InvalidBlockList</Error>", 400, "HTTP 400"};
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
                          "attempt [1]. Curl Error Message [HTTP 400], Error response: "
                          "[<Error>InvalidBlockList</Error>]"),
      std::string::npos);
}

TEST_F(BlockList, ASuccessAfterAFailureKeepsTheMessage) {
  env_.setGlobal("DRBackupRetryCount", "3");
  BlobServiceAccess service;
  service.forceInitialized("http://console.test/webconsole", "ann", "pw");
  service.m_uploadURL = "https://store.test/acct/c";
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
  EXPECT_EQ(message, L"Error: Failed to initialize ZuInternetGateway.");
  EXPECT_TRUE(fakes_.journal().requests.empty());
  EXPECT_NE(env_.logText().find("Error: Failed to initialize ZuInternetGateway."),
            std::string::npos);
}

}  // namespace
