// Every failed upload, set-up and completion reaches the caller with a
// message, also on the paths whose own handling sets none (an unreadable
// reply), so a host job never reports a failure without a word.
#include <gtest/gtest.h>

#include <string>

#include "support/Emulator.h"
#include "support/EmulatorSuite.h"
#include "support/ServiceAccess.h"
#include "support/TestEnv.h"

namespace zutest {
namespace {

class FailureMessage : public EmulatorServiceSuite<FailureMessage> {
 public:
  static EmulatorOptions emulatorOptions() { return storageOptions(); }

 protected:
  void SetUp() override {
    resetEmulator(env, {{"DRBackupRetryCount", "1"},
                        {"DRBackupUploadBlobSize", "1"},
                        {"DRBackupUploadStreamCount", "2"}});
    WriteFile(files.file("f.bin"), std::string(1000, 'x'));
  }
};

TEST_F(FailureMessage, FolderUploadWhoseLastReplyIsUnreadable) {
  FolderServiceAccess service;
  std::string guid, path, fileGUID;
  ASSERT_EQ(service.init("ann", "s3cr3t", "focus", "guid-msg", guid, path, "", false), 1);
  // A 1000-byte file ends with an empty request carrying FileEOF, which the
  // emulator files under offset_query; every answer to it is garbage.
  emulator->fault("offset_query", {{"fault", "garbage"}, {"count", 0}});
  std::wstring message;
  EXPECT_EQ(service.UploadFile(files.path() + "/", "f.bin", path, "t", fileGUID, message), 0);
  EXPECT_TRUE(fileGUID.empty());
  EXPECT_FALSE(message.empty());
  EXPECT_NE(message.find(L"ZUCloudService.log"), std::wstring::npos);
}

TEST_F(FailureMessage, BlobSetUpWithAnUnreadableReply) {
  emulator->config({{"blob_setup_reply", "this is not XML"}});
  BlobServiceAccess service;
  std::wstring message;
  EXPECT_EQ(service.init("ann", "s3cr3t", "focus", "guid-msg", 1, 2, "s", 1, 2, message, ""), 0);
  EXPECT_EQ(message,
            L"Error: Failed to set up DR backup upload in cloud. Please check "
            L"ZUCloudService.log for more details.");
  EXPECT_NE(env.logText().find("Error Message: Unknown error"), std::string::npos);
}

TEST_F(FailureMessage, BlobSetUpKeepsTheServersOwnText) {
  emulator->config({{"blob_setup_reply",
                     "<SetupResult><errorMessage>Quota exceeded</errorMessage></SetupResult>"}});
  BlobServiceAccess service;
  std::wstring message;
  EXPECT_EQ(service.init("ann", "s3cr3t", "focus", "guid-msg", 1, 2, "s", 1, 2, message, ""), 0);
  EXPECT_EQ(message, L"Quota exceeded");
}

TEST_F(FailureMessage, BlobCompletionNeverConfirmed) {
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(service.init("ann", "s3cr3t", "focus", "guid-msg", 1, 2, "s", 1, 2, message, ""), 1);
  ASSERT_EQ(service.UploadFile(files.path() + "/", "f.bin", "d", message), 1);
  emulator->fault("blob_finalize", {{"fault", "garbage"}, {"count", 0}});
  message.clear();
  EXPECT_EQ(service.ExecuteDRCompleteWorkflow(2, 1, message), 0);
  EXPECT_EQ(message,
            L"Error: Failed to execute Finalize DR workflow. Please check ZUCloudService.log for "
            L"more details.");
}

TEST_F(FailureMessage, EmptyGuidOnAFreshBlobServiceStillLeavesTheMessageAlone) {
  // A rejected argument is reported by the result alone, as callers expect.
  BlobServiceAccess service;
  std::wstring message;
  EXPECT_EQ(service.init("ann", "s3cr3t", "focus", "", 1, 2, "s", 1, 2, message, ""), 0);
  EXPECT_TRUE(message.empty());
  EXPECT_TRUE(emulator->journal().empty()) << "nothing was sent";
}

}  // namespace
}  // namespace zutest
