// The frame every storage request of the blob service shares: the
// optional headers the upload's settings add to it, and the one judgement
// of its reply.
//
// Headers. Put Block carries its body's Content-MD5; the request that
// commits the blob (Put Block List, or a Put Blob that stores a small file
// whole) carries the whole file's MD5, which the service keeps as the
// blob's Content-MD5 property, the access tier the blob starts in and, for
// an encrypted file, the blob's encryption data (BlobEncryption.h). An
// empty value leaves its header out, so default requests are unchanged.
//
// Replies. What a storage reply means for the request that got it, from its
// status and the service's error code ("x-ms-error-code", or the <Code> of
// the XML error body when the header is missing), for Put Block, Put Blob,
// Put Block List and Get Blob Properties. Get Block List keeps its own
// stricter rule (any 4xx but 408 and 429 is final: the file is then sent
// whole).
//
//  - the status the request expects (201 for a store, 200 for a read):
//    confirmed;
//  - 403: the SAS token was refused (expired, or never valid): the caller
//    asks for a fresh one (TokenRefresh.h) and sends the request again once;
//  - 403 AuthorizationPermissionMismatch: the token is valid but does not
//    grant what the request needs (a write-only token asked to read, a
//    read-only one asked to write). The cloud hands out tokens of one
//    grant, so a fresh one would be refused alike: final, for every
//    request. A read the upload can do without (Get Block List for a
//    resume or a lost commit reply) is then skipped; the verify check
//    fails (NoReadPermissionText);
//  - a refusal no resend can change: final, no further attempt and no wait.
//    For a store (Put Block, Put Blob, Put Block List): every 4xx but 403,
//    408, 429 and the digest codes (Md5Mismatch, Crc64Mismatch: a body
//    spoilt on the way may arrive whole next time), and 501 and 505. For a
//    read (Get Blob Properties): 404 for a container or account that is not
//    there (ContainerNotFound, ResourceNotFound, ...), 413, and 400 with a
//    code that names the request itself as malformed (InvalidHeaderValue,
//    InvalidQueryParameterValue, RequestBodyTooLarge, InvalidBlockId, ...);
//  - everything else (a connection failure, 408, 429, 5xx, another 2xx,
//    a read's other 4xx): retried under the request's policy. 400
//    InvalidBlobOrBlock and InvalidBlockList are left to the requests that
//    know what they mean (a second pass, the commit's own reading).
#ifndef ZUCLOUD_BLOB_STORAGE_REQUEST_H
#define ZUCLOUD_BLOB_STORAGE_REQUEST_H

#include <string>

#include "platform/http/ZuInternetGateway.h"

namespace zu::blob {

// `Content-MD5: <md5>`: the service refuses the request (400) when the body
// it received has another MD5.
void AddContentMd5(ZuCURL::commandInfoList& headers, const std::string& md5Base64);

// `x-ms-blob-content-md5: <fileMd5>` and `x-ms-access-tier: <tier>`, each
// only when given.
void AddCommitHeaders(ZuCURL::commandInfoList& headers, const std::string& fileMd5Base64,
                      const std::string& accessTier);

// The headers of the Put Blob request, in order: the blob type, then, when
// given, the body's MD5 (as Content-MD5 and as the blob's stored MD5), the
// access tier and the blob's encryption data.
ZuCURL::commandInfoList PutBlobHeaders(const std::string& md5Base64 = std::string(),
                                       const std::string& accessTier = std::string(),
                                       const std::string& encryptionData = std::string());

// `x-ms-meta-encryptiondata: <encryptionData>` when given: the blob's
// metadata "encryptiondata".
void AddEncryptionData(ZuCURL::commandInfoList& headers, const std::string& encryptionData);

// The status that confirms a request that stores (Put Block, Put Blob, Put
// Block List): 201 Created. Any other 2xx proves nothing.
constexpr int kStoredStatus = 201;

// Why an answered store was not confirmed, for the caller's message:
// "HTTP status <status> instead of 201 Created".
std::string NotStoredText(int status);

enum class StorageVerdict {
  kConfirmed,     // the expected status
  kRetry,         // may pass when sent again
  kTokenRefused,  // 403: ask for a fresh SAS token
  kFinal,         // no resend can pass
};

struct StorageJudgement {
  StorageVerdict verdict = StorageVerdict::kRetry;
  int status = 0;    // 0 when no reply came back
  std::string code;  // the service's error code, "" without one
};

// Judges the last reply of `gateway`: `result` is what the request
// returned (0 when answered), `body` the reply's body, `expected` the status
// that confirms the request.
StorageJudgement JudgeStorageReply(LIBCURL::ZuInternetGateway& gateway, int result,
                                   const std::string& body, int expected);

// The error code of a token that lacks the permission a request needs.
constexpr const char* kPermissionMismatchCode = "AuthorizationPermissionMismatch";

// Whether `status` and `code` refuse a request for want of a permission of
// the SAS token: 403 AuthorizationPermissionMismatch.
bool IsPermissionRefusal(int status, const std::string& code);

// Why a read was refused for want of a permission, for log lines and
// messages: "the SAS token has no read permission (403
// AuthorizationPermissionMismatch)".
std::string NoReadPermissionText();

// Whether a read of the blob's state (Get Block List, Get Blob Properties)
// refused with `status` would get the same answer again: any 4xx but 408
// and 429.
bool IsFinalReadStatus(int status);

// Whether the request stores (201 confirms it) or reads the blob's state.
enum class StorageRequestKind { kStore, kRead };

// Whether a store refused with `status` and `code` would be refused again.
bool IsFinalStoreStatus(int status, const std::string& code);

// The judgement of a status and an error code alone.
StorageVerdict ClassifyStorageStatus(int status, const std::string& code, StorageRequestKind kind);

// The service's error code of the last reply: the "x-ms-error-code" header,
// else the <Code> of an XML error body, else "".
std::string StorageErrorCode(LIBCURL::ZuInternetGateway& gateway, const std::string& body);

// "403 AuthenticationFailed" (or "403" without a code).
std::string DescribeRefusal(const StorageJudgement& judgement);

// The caller's message for a file whose request was refused for good:
// "Error: Storage refused file [x]: 404 ContainerNotFound: <what it means>."
std::string FinalRefusalMessage(const std::string& fileName, const StorageJudgement& judgement,
                                const std::string& meaning = std::string());

}  // namespace zu::blob

#endif  // ZUCLOUD_BLOB_STORAGE_REQUEST_H
