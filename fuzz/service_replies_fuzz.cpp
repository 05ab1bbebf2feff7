// The reply handling of the services' cloud requests, driven end to end
// through the scripted fake gateway: the fuzz input is the reply body of the
// request under test (the login before it, when there is one, succeeds).
//
// Input: the first byte picks the request (low bits, see kModes) and whether
// the transfer itself reports failure (0x80; the failed-POST paths read the
// body too); 0x40 selects the Reports folder for the folder set-up. The rest
// is the reply body.
//
// Retry counts are 1 and every wait returns at once, so each input is one
// attempt. Logging is on, into /dev/null, so the log formatting and redaction
// see the hostile text as well.
//
// Checked beyond memory safety: every gateway the operation created is
// deleted again, and a reported success is backed by the reply (the values
// the caller relies on are set, the verdict word is in the text).
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "blob/setup/FileInfo.h"
#include "platform/xml/XercesSupport.h"
#include "support/EnvChange.h"
#include "support/FakeGateway.h"
#include "support/ServiceAccess.h"

namespace {

enum Mode {
  kFolderSetUp,
  kFolderCreate,
  kFolderChunkOffset,
  kFolderUploadSession,
  kLogin,
  kBlobSetUp,
  kBlobCompletion,
  kAzureFunctionsSetUp,
  kAzureFunctionsFinalize,
  kModes
};

const char* const kConsole = "http://console.test/webconsole";
const char* const kGoodLogin =
    "<CheckCredentialResp><errors></errors><sessionToken>token-1234567890</sessionToken>"
    "</CheckCredentialResp>";

std::string gDir;

void Cleanup() {
  std::remove((gDir + "/zucloud.conf").c_str());
  std::remove((gDir + "/ZUCloudService.log").c_str());
  rmdir(gDir.c_str());
}

bool ContainsNoCase(const std::string& text, const std::string& word) {
  auto it = std::search(text.begin(), text.end(), word.begin(), word.end(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  });
  return it != text.end();
}

std::shared_ptr<FileInfo> UploadedFile(const std::string& name) {
  auto file = std::make_shared<FileInfo>();
  file->fileName = name;
  file->url = "http://store.test/c/" + name;
  file->fileSize = 4096;
  file->uploaded = true;
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/zucloud-replies-fuzz-XXXXXX";
  const char* dir = mkdtemp(pattern);
  if (dir == nullptr) std::abort();
  gDir = dir;
  const std::string config = gDir + "/zucloud.conf";
  FILE* f = std::fopen(config.c_str(), "w");
  if (f == nullptr) std::abort();
  std::fputs(
      "[GlobalParam]\n"
      "Cloud URL = http://console.test/webconsole\n"
      "DRBackupRetryCount = 1\n"
      "ZUCloudDRBackupMaximumBackoff = 0\n"
      "ZUCloudDRBackupAzureBaseUrl = http://functions.test\n",
      f);
  std::fclose(f);
  // The log is written, but into /dev/null: the file name is a link to it.
  if (symlink("/dev/null", (gDir + "/ZUCloudService.log").c_str()) != 0) std::abort();
  setenv("ZUCLOUD_CONFIG", config.c_str(), 1);
  setenv("ZUCLOUD_LOG_DIR", gDir.c_str(), 1);
  setenv("ZUCLOUD_LOG_LEVEL", "3", 1);
  setenv("ZUCLOUD_WAIT_SCALE", "0", 1);
  // Waits return at once for the whole run (this scope never ends).
  zutest::EnvChange noWaits;
  noWaits.sleep = [](unsigned int) {};
  static zutest::ScopedEnvChange* const waitsOff = new zutest::ScopedEnvChange(noWaits);
  (void)waitsOff;
  std::atexit(Cleanup);
  // One Xerces platform reference for the whole run (see message_fuzz.cpp).
  static zu::xml::PlatformScope* const keep = new zu::xml::PlatformScope();
  if (!keep->ok()) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const zufuzz::Input in = zufuzz::Split(data, size);
  const int mode = (in.selector & 0x3F) % kModes;
  const bool transferFails = (in.selector & 0x80) != 0;
  const std::string& reply = in.payload;

  zutest::ScopedFakeGateways gateways;
  auto answer = [&](const zutest::FakeRequest& request) {
    if (mode != kLogin && request.url.find("/api/Login") != std::string::npos) {
      return zutest::FakeReply{0, kGoodLogin, 200, ""};
    }
    return transferFails ? zutest::FakeReply{1, reply, 500, "HTTP 500"}
                         : zutest::FakeReply{0, reply, 200, ""};
  };
  gateways.journal().responder = answer;

  std::wstring message;
  switch (mode) {
    case kFolderSetUp:
    case kFolderCreate:
    case kFolderChunkOffset:
    case kFolderUploadSession:
    case kLogin: {
      zutest::FolderServiceAccess service;
      service.forceInitialized(kConsole, "ann", "secret-password");
      service.m_nRetryCount = 1;
      service.m_shareID = "share-7";
      service.m_uploadURL = "http://upload.test/files";
      if (mode == kFolderSetUp) {
        std::string folderGUID;
        std::string folderPath;
        const int rc = service.ExecuteDRFolderSetUpWorkflow(
            "/api/Workflow/Setup_DRBackup_ZUCloudV2/Action/Execute?outputonly=true", "vg-1",
            (in.selector & 0x40) != 0, folderGUID, folderPath, message, "", true);
        if (rc == 1) {
          FUZZ_CHECK(!folderGUID.empty() && !folderPath.empty());
          FUZZ_CHECK(!service.m_shareID.empty() && !service.m_uploadURL.empty());
          FUZZ_CHECK(reply.find("shareID") != std::string::npos);
        }
      } else if (mode == kFolderCreate) {
        std::string folderGUID;
        std::string folderDetail;
        const int rc =
            service.CreateFolder("\\ZU\\DR Backup", "job-7", folderGUID, folderDetail, message);
        if (rc == 1) {
          FUZZ_CHECK(!folderGUID.empty());
          FUZZ_CHECK(reply.find("GUID") != std::string::npos);
        }
      } else if (mode == kFolderChunkOffset) {
        // The offset query runs on the chunk's own gateway, handed in.
        auto journal = std::make_shared<zutest::FakeJournal>();
        journal->responder = answer;
        zutest::FakeGateway gateway(service.m_evDbg.get(), journal, 1);
        std::list<ZuCURL::commandInfo> headers = {{"Accept", "application/xml"}};
        long long offset = -1;
        const bool ok = service.GetChunkOffsetforUpload(
            &gateway, "http://upload.test/files/api/drive/share/share-7/file/action/upload",
            headers, "disk.vhd", offset);
        if (ok) {
          FUZZ_CHECK(offset > 0);
          FUZZ_CHECK(reply.find("chunkOffset") != std::string::npos);
        }
      } else if (mode == kFolderUploadSession) {
        std::string requestId;
        const char chunk[] = "chunk bytes";
        const int rc = service.GetChunkUploadSessionID("XFpVXERSIEJhY2t1cA==", "ZGlzay52aGQ=", "11",
                                                       sizeof(chunk) - 1, "2024-01-01T00:00:00",
                                                       chunk, requestId, message);
        if (rc == 1) FUZZ_CHECK(reply.find("requestId") != std::string::npos);
      } else {
        std::string token;
        const int rc = service.DoLogin(message, token, true);
        if (rc == 1) FUZZ_CHECK(reply.find("CheckCredentialResp") != std::string::npos);
      }
      break;
    }
    default: {
      zutest::BlobServiceAccess service;
      service.forceInitialized(kConsole, "ann", "secret-password");
      service.m_nRetryCount = 1;
      service.m_nMaximumBackoff = 0;
      service.m_vestrumGUID = "vg-1";
      service.m_vestrumId = 3;
      if (mode == kBlobSetUp) {
        const int rc = service.ExecuteDRFolderSetUpWorkflow("/api/zudrbackup/setup", "vg-1", 7,
                                                            "set-1", 1, 7, message, true);
        if (rc == 1) FUZZ_CHECK(!service.m_uploadURL.empty() && !service.m_sasToken.empty());
      } else if (mode == kBlobCompletion) {
        service.m_bAzureFunctionsMode = false;
        service.m_fileList.push_back(UploadedFile("disk.vhd"));
        const int rc = service.ExecuteDRCompleteWorkflow(7, 1, message);
        if (rc == 1) {
          FUZZ_CHECK(ContainsNoCase(reply, "true"));
          FUZZ_CHECK(reply.find("isSuccess") != std::string::npos);
        }
      } else if (mode == kAzureFunctionsSetUp) {
        service.m_bAzureFunctionsMode = true;
        service.AddFileInfo("/data/disk.vhd");
        service.AddFileInfo("/data/disk2.vhd");
        const int rc = service.InitAzureFunctions("vg-1", 3, 7, "set-1", 1, 7, message);
        if (rc == 1) {
          FUZZ_CHECK(!service.m_uploadURL.empty());
          FUZZ_CHECK(reply.find("containerCreated") != std::string::npos);
        } else {
          FUZZ_CHECK(!message.empty());
        }
        std::string token;
        FUZZ_CHECK(service.GetSASTokenForFile("disk.vhd", token));
        FUZZ_CHECK(!service.GetSASTokenForFile("missing.vhd", token));
      } else {
        service.m_bAzureFunctionsMode = true;
        service.m_fileList.push_back(UploadedFile("disk.vhd"));
        const int rc = service.FinalizeAzureFunctions(7, 1, message);
        if (rc == 1) {
          FUZZ_CHECK(reply.find("isSuccess") != std::string::npos);
        } else {
          FUZZ_CHECK(!message.empty());
        }
      }
      break;
    }
  }

  std::lock_guard<std::mutex> lock(gateways.journal().mutex);
  FUZZ_CHECK(gateways.journal().gatewaysCreated == gateways.journal().deleted);
  return 0;
}
