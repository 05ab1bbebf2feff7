#include "blob/storage/VerifyBlob.h"

#include <string>

#include "blob/storage/BlobEncryption.h"
#include "blob/storage/StorageRequest.h"
#include "blob/storage/TokenRefresh.h"
#include "platform/log/EvDebug.h"
#include "platform/text/Decimal.h"
#include "platform/text/FXString.h"
#include "session/ConsoleOperation.h"
#include "session/GatewaySession.h"
#include "session/RetryLines.h"
#include "session/RetryPolicy.h"

namespace zu::blob {
namespace {

constexpr const char* kTag = "VerifyBlob";
constexpr int kOk = 200;

// The value of reply header `name` (any letter case); false when absent.
bool FindHeader(const ZuCURL::commandInfoList& headers, const char* name, std::string& value) {
  for (const ZuCURL::commandInfo& header : headers) {
    if (FXString::EqualsNoCase(header.name, name)) {
      value = header.value;
      return true;
    }
  }
  return false;
}

// The reading of a blob's properties across its attempts.
struct PropertiesRead {
  const BlobFile& file;
  ZuCURL::commandInfoList properties;  // the last reply's headers
  std::string url;                     // of the last send, with its token
  RefreshedSend read;                  // the last send's judgement
  std::string failure;                 // why the last attempt failed
  std::string finalMessage;            // a refusal no resend can change
};

// One Get Blob Properties send: a 403 asks for a fresh token and reads once
// more (SendWithRefresh). HEAD has no body: the error code is the reply's
// header.
int SendPropertiesRead(PropertiesRead& run, const std::string& sasToken,
                       LIBCURL::ZuInternetGateway& gateway) {
  int rc = 0;
  run.read = SendWithRefresh(run.file.tokens, sasToken, [&](const std::string& token) {
    run.url = run.file.blobUrl + "?" + token;
    run.properties.clear();
    rc = gateway.doHeadOperation(run.url, run.properties, ZuCURL::commandInfoList{});
    std::string code;
    FindHeader(run.properties, "x-ms-error-code", code);
    return JudgeStorageReply(gateway, rc, "<Code>" + code + "</Code>", kOk);
  });
  return rc;
}

std::string VerifyFailedText(const BlobFile& file, const std::string& why) {
  return "Error: Failed to upload file [" + file.fileName + "] to cloud: " + why +
         ". Please check ZUCloudService.log for more details.";
}

// What one attempt's answer means: the properties, or why not into
// `failure`; a refusal no resend can change ends the check with
// `finalMessage` (StorageRequest.h). A token that may not read cannot
// verify, whatever token the cloud hands out next.
AttemptResult ReadPropertiesReply(PropertiesRead& run, const ConsoleReply& reply) {
  const BlobFile& file = run.file;
  const int rc = reply.posted;
  const int status = run.read.judgement.status;
  if (rc == 0 && status == kOk) return AttemptResult::kSuccess;
  if (IsPermissionRefusal(status, run.read.judgement.code)) {
    run.finalMessage = VerifyFailedText(
        file, "its blob was stored but cannot be verified: " + NoReadPermissionText() +
                  ", which bEnableZUCloudDRBackupVerify needs");
    file.params.log->Error(kTag, "%s URL [%s]", run.finalMessage.c_str(), run.url.c_str());
    return AttemptResult::kStop;
  }
  if (run.read.final) {
    run.finalMessage = FinalRefusalMessage(file.fileName, run.read.judgement, run.read.meaning);
    file.params.log->Error(kTag, "%s URL [%s]", run.finalMessage.c_str(), run.url.c_str());
    return AttemptResult::kStop;
  }
  run.failure = rc == 0 ? "HTTP status " + std::to_string(status) : reply.gateway.getErrorMsg();
  std::string code;
  if (FindHeader(run.properties, "x-ms-error-code", code)) run.failure += " (" + code + ")";
  file.params.log->Error(kTag,
                         "Error: Failed to read the properties of the blob of file [%s]: %s. "
                         "Attempt [%d]. URL [%s]",
                         file.fileName.c_str(), run.failure.c_str(), reply.attempt,
                         run.url.c_str());
  return rc != 0 && IsFinalReadStatus(status) ? AttemptResult::kStop : AttemptResult::kRetry;
}

std::wstring VerifyFailedMessage(const BlobFile& file, const std::string& why) {
  return FXString::ToWstring(VerifyFailedText(file, why));
}

}  // namespace

std::string DescribeBlobMismatch(const ZuCURL::commandInfoList& properties,
                                 unsigned long long fileSize, const std::string& md5Base64) {
  std::string differs;
  std::string text;
  unsigned long long length = 0;
  if (!FindHeader(properties, "Content-Length", text) || !ParseDecimal(text, length)) {
    differs = "its length is not given";
  } else if (length != fileSize) {
    differs = "its length is " + std::to_string(length) + " bytes, the file's " +
              std::to_string(fileSize);
  }
  if (md5Base64.empty()) return differs;
  std::string md5;
  std::string md5Differs;
  if (!FindHeader(properties, "Content-MD5", md5) || md5.empty()) {
    md5Differs = "it has no Content-MD5, the file's is " + md5Base64;
  } else if (md5 != md5Base64) {
    md5Differs = "its Content-MD5 is " + md5 + ", the file's " + md5Base64;
  }
  if (differs.empty() || md5Differs.empty()) return differs + md5Differs;
  return differs + "; " + md5Differs;
}

int VerifyStoredBlob(const BlobFile& file, const std::string& sasToken,
                     const std::string& md5Base64, std::wstring& errorMessage) {
  EvDebug* log = file.params.log;
  GatewayHolder gateway(file.params, OpenGateway(file.params, file.blobUrl));
  if (!gateway) {
    log->Error(kTag, "Error: Failed to initialize ZuInternetGateway, cannot verify file [%s].",
               file.fileName.c_str());
    errorMessage = VerifyFailedMessage(
        file, "its blob could not be verified: no connection to the storage service");
    return 0;
  }
  PropertiesRead run{file, {}, "", RefreshedSend(), "", ""};
  ConsoleOperation op;
  op.gateway = gateway.get();
  op.headers = ConsoleHeaders::kOwn;
  op.ownHeaders = [](const std::string&) { return ZuCURL::commandInfoList{}; };
  op.send = [&run, &sasToken](LIBCURL::ZuInternetGateway& to, const ZuCURL::commandInfoList&,
                              std::string&, int) { return SendPropertiesRead(run, sasToken, to); };
  op.wait = BackoffRetry(kBlobPropertiesAttempts, file.maximumBackoff, false);
  op.retryPrefix = FormatLogText("Error: Failed to read the properties of the blob of file [%s]. ",
                                 file.fileName.c_str());
  op.retryLineSet = kRetryingAfterLine;
  op.read = [&run](const ConsoleReply& reply) { return ReadPropertiesReply(run, reply); };
  std::wstring unused;
  if (RunConsoleStep(file.params, kTag, op, unused) != 1) {
    errorMessage =
        !run.finalMessage.empty()
            ? FXString::ToWstring(run.finalMessage)
            : VerifyFailedMessage(
                  file, "its blob was stored but could not be verified (" + run.failure + ")");
    return 0;
  }
  const ZuCURL::commandInfoList& properties = run.properties;
  const unsigned long long stored = StoredBytes(file.encryption, file.identity.size);
  const std::string mismatch = DescribeBlobMismatch(properties, stored, md5Base64);
  if (!mismatch.empty()) {
    log->Error(kTag, "Error: The stored blob of file [%s] does not match the file: %s.",
               file.fileName.c_str(), mismatch.c_str());
    errorMessage =
        VerifyFailedMessage(file, "the stored blob does not match the file: " + mismatch);
    return 0;
  }
  log->DebugLvl(2, kTag, "Success: The stored blob of file [%s] matches the file (%llu bytes%s).",
                file.fileName.c_str(), stored, md5Base64.empty() ? "" : ", Content-MD5");
  return 1;
}

}  // namespace zu::blob
