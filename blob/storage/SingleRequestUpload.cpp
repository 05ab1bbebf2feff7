// One Put Blob for a small file (see SingleRequestUpload.h): read whole,
// checked, then sent under the retry policy from one gateway.
#include "blob/storage/SingleRequestUpload.h"

#include <algorithm>
#include <string>

#include "blob/storage/BlobEncryption.h"
#include "blob/storage/StorageRequest.h"
#include "blob/storage/TokenRefresh.h"
#include "blob/storage/VerifyBlob.h"
#include "platform/host/PageBuffer.h"
#include "platform/log/EvDebug.h"
#include "platform/text/FXString.h"
#include "platform/text/Md5.h"
#include "session/ConsoleOperation.h"
#include "session/FileChange.h"
#include "session/GatewaySession.h"
#include "session/RetryLines.h"
#include "session/RetryPolicy.h"
#include "session/UploadProgress.h"

namespace zu::blob {
namespace {

constexpr const char* kTag = "UploadBlob";

// Reads the whole file into `buffer` and checks that it ends at the size
// taken at the start and is still the same file. False on a read error
// (logged); `change` is set when the file changed.
bool ReadWholeFile(const SingleRequestUpload& upload, char* buffer, std::string& change) {
  const unsigned long long size = upload.identity.size;
  unsigned long long total = 0;
  CPzError error;
  if (upload.encryption != nullptr) {
    // Region by region into place, to be sealed there.
    error = ReadRegions(*upload.file, buffer, size, total);
    if (!error.IsError() && total < size) {
      change = DescribeFileChange(upload.identity, total, upload.identity);
      return true;
    }
  }
  while (total < size && !error.IsError()) {
    unsigned long long bytes = 0;
    error = upload.file->Read(buffer + total, size - total, bytes);
    if (!error.IsError() && bytes == 0) {
      change = DescribeFileChange(upload.identity, total, upload.identity);
      return true;
    }
    total += bytes;
  }
  if (!error.IsError()) error = ConfirmFileEnd(*upload.file, upload.identity, total, change);
  if (error.IsError()) {
    upload.params.log->Error(kTag, "Error: Failed to read file [%s] at offset [%llu]. %s",
                             upload.localPath.c_str(), total, error.Message().c_str());
    return false;
  }
  return true;
}

// Reads the whole file into `pages` and makes its MD5 when asked for. False,
// with the caller's message, for a file that cannot be read, that changed,
// or whose MD5 OpenSSL refuses to make.
bool ReadAndHash(const SingleRequestUpload& upload, PageBuffer& pages, std::string& md5,
                 std::wstring& errorMessage) {
  EvDebug* log = upload.params.log;
  std::string change;
  if (!ReadWholeFile(upload, pages.data(), change)) {
    errorMessage = FXString::ToWstring("Error: Failed to upload file [" + upload.fileName +
                                       "] to cloud: the file could not be read. Please check "
                                       "ZUCloudService.log for more details.");
    return false;
  }
  if (!change.empty()) {
    log->Error(kTag, "Error: File [%s] changed during the upload: %s.", upload.localPath.c_str(),
               change.c_str());
    errorMessage = FXString::ToWstring(FileChangedMessage(upload.fileName, change));
    return false;
  }
  if (upload.encryption != nullptr &&
      !SealSlot(*upload.encryption, pages.data(), upload.identity.size)) {
    log->Error(kTag, "Error: File [%s] could not be encrypted (OpenSSL failed); it is not sent.",
               upload.localPath.c_str());
    errorMessage = L"Error: Failed to upload file [" + FXString::ToWstring(upload.fileName) +
                   L"] to cloud: the file could not be encrypted.";
    return false;
  }
  // The whole body's MD5, once: the service checks the body against it and
  // keeps it as the blob's Content-MD5.
  md5 = upload.contentMd5 ? Md5Base64(pages.data(), pages.size()) : std::string();
  if (upload.contentMd5 && md5.empty()) {
    log->Error(kTag,
               "Error: Cannot compute the MD5 of file [%s] (OpenSSL refused MD5); it is "
               "not sent.",
               upload.localPath.c_str());
    errorMessage = L"Error: Failed to upload file [" + FXString::ToWstring(upload.fileName) +
                   L"] to cloud: MD5 digests are not available.";
    return false;
  }
  return true;
}

// What one run of Put Blob attempts keeps between them.
struct PutBlobRun {
  const SingleRequestUpload& upload;
  std::string serviceUrl;  // the storage URL blobUrl starts with
  std::string blobUrl;     // moved to another storage URL by a fresh token
  std::string url;         // of the last send, with its token
  RefreshedSend put;       // the last send's judgement
  std::string finalMessage;
  std::string lastError;
};

// What one Put Blob attempt's answer means, with its lines.
AttemptResult ReadPutBlobReply(PutBlobRun& run, const ConsoleReply& reply) {
  const SingleRequestUpload& upload = run.upload;
  EvDebug* log = reply.log;
  const int status = run.put.judgement.status;
  if (run.put.urlChanged) {
    const std::string fresh = upload.tokens->Grant().serviceUrl;
    run.blobUrl = fresh + run.blobUrl.substr(std::min(run.serviceUrl.size(), run.blobUrl.size()));
    run.serviceUrl = fresh;
    return AttemptResult::kRetryNow;
  }
  if (run.put.final) {
    run.finalMessage = FinalRefusalMessage(upload.fileName, run.put.judgement, run.put.meaning);
    log->Error(kTag, "%s URL [%s]. Response: [%s]", run.finalMessage.c_str(), run.url.c_str(),
               reply.response.c_str());
    return AttemptResult::kStop;
  }
  if (reply.posted == 0 && status == kStoredStatus) {
    log->DebugLvl(2, kTag, "Success: File [%s] of [%llu] bytes stored in one request.",
                  upload.fileName.c_str(), upload.identity.size);
    return AttemptResult::kSuccess;
  }
  run.lastError = reply.posted == 0 ? NotStoredText(status) : reply.gateway.getErrorMsg();
  log->Error(kTag,
             "Error: Failed to upload file [%s] to cloud in one request, URL [%s]. Upload "
             "attempt [%d]. Error [%s], Error response: [%s]",
             upload.fileName.c_str(), run.url.c_str(), reply.attempt, run.lastError.c_str(),
             reply.response.c_str());
  return AttemptResult::kRetry;
}

// The caller's message and the last line of a run whose attempts all failed.
void EndRefusedPutBlob(const PutBlobRun& run, int attempts, std::wstring& errorMessage) {
  const SingleRequestUpload& upload = run.upload;
  if (!run.finalMessage.empty()) {
    errorMessage = FXString::ToWstring(run.finalMessage);
    return;
  }
  upload.params.log->Error(kTag,
                           "Error: Failed to upload file [%s] to cloud in one request. Total "
                           "retry attemp: [%d]",
                           upload.fileName.c_str(), attempts);
  errorMessage = FXString::ToWstring(
      "Error: Failed to upload file [" + upload.fileName + "] to cloud: the blob was refused " +
      std::to_string(attempts) + " time(s), last error: " + run.lastError +
      ". Please check ZUCloudService.log for more details.");
}

// Sends the body with Put Blob under the retry policy; a 403 asks for a
// fresh token and sends once more within the attempt (SendWithRefresh).
// False, with the caller's message, when every attempt was refused.
bool PutBlob(const SingleRequestUpload& upload, LIBCURL::ZuInternetGateway& gateway,
             const PageBuffer& pages, const ZuCURL::commandInfoList& headers,
             std::wstring& errorMessage) {
  const long size = static_cast<long>(pages.size());
  PutBlobRun run{upload,
                 upload.tokens != nullptr ? upload.tokens->Grant().serviceUrl : "",
                 upload.blobUrl,
                 "",
                 RefreshedSend(),
                 "",
                 ""};
  ConsoleOperation op;
  op.gateway = &gateway;
  op.headers = ConsoleHeaders::kOwn;
  op.ownHeaders = [&headers](const std::string&) { return headers; };
  op.send = [&](LIBCURL::ZuInternetGateway& to, const ZuCURL::commandInfoList& sent,
                std::string& response, int) {
    int result = 0;
    run.put = SendWithRefresh(upload.tokens, upload.sasToken, [&](const std::string& token) {
      run.url = run.blobUrl + "?" + token;
      response.clear();
      result = to.doPutOperation(run.url, pages.data(), size, response, sent);
      return JudgeStorageReply(to, result, response, kStoredStatus);
    });
    return result;
  };
  op.wait = FixedWaitRetry(upload.params.retryCount, zu::kRetryWaitMs, false);
  op.retryPrefix =
      FormatLogText("Error: Failed to upload file [%s] to cloud in one request, size [%llu]. ",
                    upload.fileName.c_str(), upload.identity.size);
  op.retryLineSet = kRetryingAfterLine;
  op.read = [&run](const ConsoleReply& reply) { return ReadPutBlobReply(run, reply); };
  RetryOutcome outcome;
  op.outcome = &outcome;
  if (RunConsoleStep(upload.params, kTag, op, errorMessage) == 1) return true;
  EndRefusedPutBlob(run, outcome.attempts, errorMessage);
  return false;
}

}  // namespace

int UploadInOneRequest(const SingleRequestUpload& upload, std::wstring& errorMessage) {
  const unsigned long long size = upload.identity.size;
  ReportUploadProgress(upload.fileName, 0, size);
  // Exactly the body storage keeps: the file, or its encrypted form.
  PageBuffer pages(static_cast<size_t>(StoredBytes(upload.encryption, size)));
  std::string md5;
  if (!ReadAndHash(upload, pages, md5, errorMessage)) return 0;
  GatewayHolder gateway(upload.params, OpenGateway(upload.params, upload.blobUrl));
  if (!gateway) {
    upload.params.log->Error(
        kTag, "Error: Failed to initialize ZuInternetGateway, failed to upload file [%s].",
        upload.fileName.c_str());
    errorMessage = FXString::ToWstring("Error: Failed to upload file [" + upload.fileName +
                                       "] to cloud: no connection to the storage service. "
                                       "Please check ZUCloudService.log for more details.");
    return 0;
  }
  gateway->setSendPaced(1);
  MarkSent(upload);
  if (!PutBlob(upload, *gateway.get(), pages,
               PutBlobHeaders(md5, upload.accessTier, EncryptionDataOf(upload.encryption)),
               errorMessage)) {
    return 0;
  }
  ReportUploadProgress(upload.fileName, size, size);
  if (!upload.verify) return 1;
  gateway.reset();  // its connection serves the check
  return VerifyStoredBlob(upload, upload.sasToken, md5, errorMessage);
}

}  // namespace zu::blob
