#include "blob/storage/StorageRequest.h"

#include <string>

#include "platform/crypto/EncryptionData.h"
#include "platform/http/ZuInternetGateway.h"

namespace zu::blob {
namespace {

constexpr int kBadRequest = 400;
constexpr int kForbidden = 403;
constexpr int kNotFound = 404;
constexpr int kNotAllowed = 405;
constexpr int kTimeout = 408;
constexpr int kConflict = 409;
constexpr int kPreconditionFailed = 412;
constexpr int kTooLarge = 413;
constexpr int kTooManyRequests = 429;
constexpr int kNotImplemented = 501;
constexpr int kVersionNotSupported = 505;

// 404 codes for a container or an account that is not there: every request
// of every file is refused alike until an operator acts.
constexpr const char* kMissingCodes[] = {"ContainerNotFound", "ResourceNotFound",
                                         "ContainerBeingDeleted", "AccountNotFound"};

// 400 codes that name the request itself as malformed: the same request
// is refused the same way every time.
constexpr const char* kMalformedCodes[] = {"InvalidHeaderValue",
                                           "InvalidQueryParameterValue",
                                           "RequestBodyTooLarge",
                                           "InvalidBlockId",
                                           "InvalidUri",
                                           "InvalidResourceName",
                                           "MissingRequiredHeader",
                                           "UnsupportedHeader",
                                           "InvalidInput",
                                           "OutOfRangeInput",
                                           "InvalidBlobType",
                                           "InvalidBlobTier"};

// 400 codes of a body that arrived other than it left: sent again, it may
// arrive whole.
constexpr const char* kDigestCodes[] = {"Md5Mismatch", "Crc64Mismatch"};

// 400 codes whose requests know what they mean: a Put Block refused for
// the other id length goes once more whole, a commit refused after an
// earlier attempt reads the committed list.
constexpr const char* kOwnPathCodes[] = {"InvalidBlobOrBlock", "InvalidBlockList"};

template <size_t N>
bool IsOneOf(const std::string& code, const char* const (&codes)[N]) {
  for (const char* known : codes) {
    if (code == known) return true;
  }
  return false;
}

// The text between <Code> and </Code> of an XML error body, or "".
std::string CodeOfBody(const std::string& body) {
  const std::string open = "<Code>";
  const size_t start = body.find(open);
  if (start == std::string::npos) return std::string();
  const size_t end = body.find("</Code>", start + open.size());
  if (end == std::string::npos) return std::string();
  return body.substr(start + open.size(), end - start - open.size());
}

// Whether an error body speaks of the request's digest.
bool NamesDigest(const std::string& body) {
  return body.find("MD5") != std::string::npos || body.find("CRC64") != std::string::npos ||
         body.find("Crc64") != std::string::npos;
}

// What the refusal means for the operator.
const char* MeaningOf(const StorageJudgement& judgement) {
  if (IsPermissionRefusal(judgement.status, judgement.code)) {
    return "the SAS token does not grant the permission to write the blob, and a fresh token of "
           "the same grant would be refused too; the set-up must hand out tokens with write "
           "permission";
  }
  if (judgement.status == kForbidden) return "the storage service refused the SAS token";
  if (judgement.status == kNotFound && IsOneOf(judgement.code, kMissingCodes)) {
    return "the container no longer exists";
  }
  if (judgement.status == kTooLarge) return "the request is larger than the service accepts";
  if (judgement.status == kConflict || judgement.status == kPreconditionFailed) {
    return "the blob's state or a policy on it (a lease, an immutability policy, a legal hold, "
           "the block count limit) forbids the write";
  }
  if (judgement.status == kNotAllowed || judgement.status == kNotImplemented ||
      judgement.status == kVersionNotSupported) {
    return "the storage endpoint does not support the request; check the storage URL";
  }
  return "the storage service refuses the request as it is made; check the settings and the "
         "storage account";
}

}  // namespace

bool IsPermissionRefusal(int status, const std::string& code) {
  return status == kForbidden && code == kPermissionMismatchCode;
}

std::string NoReadPermissionText() {
  return std::string("the SAS token has no read permission (403 ") + kPermissionMismatchCode + ")";
}

bool IsFinalReadStatus(int status) {
  return status >= 400 && status < 500 && status != 408 && status != 429;
}

bool IsFinalStoreStatus(int status, const std::string& code) {
  if (status == kNotImplemented || status == kVersionNotSupported) return true;
  if (status < 400 || status > 499) return false;
  if (status == kForbidden || status == kTimeout || status == kTooManyRequests) return false;
  return !IsOneOf(code, kDigestCodes) && !IsOneOf(code, kOwnPathCodes);
}

StorageVerdict ClassifyStorageStatus(int status, const std::string& code, StorageRequestKind kind) {
  // No fresh token of the same grant would carry the permission.
  if (IsPermissionRefusal(status, code)) return StorageVerdict::kFinal;
  if (status == kForbidden) return StorageVerdict::kTokenRefused;
  if (kind == StorageRequestKind::kStore) {
    return IsFinalStoreStatus(status, code) ? StorageVerdict::kFinal : StorageVerdict::kRetry;
  }
  if (status == kNotFound && IsOneOf(code, kMissingCodes)) return StorageVerdict::kFinal;
  if (status == kTooLarge) return StorageVerdict::kFinal;
  if (status == kBadRequest && IsOneOf(code, kMalformedCodes)) return StorageVerdict::kFinal;
  return StorageVerdict::kRetry;
}

std::string StorageErrorCode(LIBCURL::ZuInternetGateway& gateway, const std::string& body) {
  std::string code = gateway.getLastReplyHeader("x-ms-error-code");
  if (code.empty()) code = CodeOfBody(body);
  // One word: never a whole body in a message.
  if (code.size() > 64 || code.find_first_of(" \r\n\t<>") != std::string::npos) return "";
  return code;
}

StorageJudgement JudgeStorageReply(LIBCURL::ZuInternetGateway& gateway, int result,
                                   const std::string& body, int expected) {
  StorageJudgement judgement;
  gateway.getLastServerResponseCode(judgement.status);
  if (result == 0 && judgement.status == expected) {
    judgement.verdict = StorageVerdict::kConfirmed;
    return judgement;
  }
  // A 2xx other than the expected one proves nothing: retried.
  if (judgement.status < 300) return judgement;
  judgement.code = StorageErrorCode(gateway, body);
  judgement.verdict = ClassifyStorageStatus(
      judgement.status, judgement.code,
      expected == kStoredStatus ? StorageRequestKind::kStore : StorageRequestKind::kRead);
  // Azurite words a digest mismatch as 400 InvalidOperation, "Provided
  // contentMD5 doesn't match.": a body spoilt on the way, sent again.
  if (judgement.verdict == StorageVerdict::kFinal && judgement.status == kBadRequest &&
      judgement.code == "InvalidOperation" && NamesDigest(body)) {
    judgement.verdict = StorageVerdict::kRetry;
  }
  return judgement;
}

std::string DescribeRefusal(const StorageJudgement& judgement) {
  std::string text = std::to_string(judgement.status);
  if (!judgement.code.empty()) text += " " + judgement.code;
  return text;
}

std::string FinalRefusalMessage(const std::string& fileName, const StorageJudgement& judgement,
                                const std::string& meaning) {
  return "Error: Storage refused file [" + fileName + "]: " + DescribeRefusal(judgement) + ": " +
         (meaning.empty() ? std::string(MeaningOf(judgement)) : meaning) + ".";
}

std::string NotStoredText(int status) {
  return "HTTP status " + std::to_string(status) + " instead of 201 Created";
}

void AddContentMd5(ZuCURL::commandInfoList& headers, const std::string& md5Base64) {
  if (!md5Base64.empty()) headers.emplace_back("Content-MD5", md5Base64);
}

void AddCommitHeaders(ZuCURL::commandInfoList& headers, const std::string& fileMd5Base64,
                      const std::string& accessTier) {
  if (!fileMd5Base64.empty()) headers.emplace_back("x-ms-blob-content-md5", fileMd5Base64);
  if (!accessTier.empty()) headers.emplace_back("x-ms-access-tier", accessTier);
}

ZuCURL::commandInfoList PutBlobHeaders(const std::string& md5Base64, const std::string& accessTier,
                                       const std::string& encryptionData) {
  ZuCURL::commandInfoList headers;
  headers.emplace_back("x-ms-blob-type", "BlockBlob");
  if (!md5Base64.empty()) AddContentMd5(headers, md5Base64);
  AddCommitHeaders(headers, md5Base64, accessTier);
  AddEncryptionData(headers, encryptionData);
  return headers;
}

void AddEncryptionData(ZuCURL::commandInfoList& headers, const std::string& encryptionData) {
  if (!encryptionData.empty()) {
    headers.emplace_back(std::string("x-ms-meta-") + kEncryptionDataMetadata, encryptionData);
  }
}

}  // namespace zu::blob
