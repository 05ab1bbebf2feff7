// The optional headers of the requests that store a blob, as the upload's
// settings ask for them. Put Block carries its body's Content-MD5; the
// request that commits the blob (Put Block List, or a Put Blob that stores a
// small file whole) carries the whole file's MD5, which the service keeps as
// the blob's Content-MD5 property, the access tier the blob starts in and,
// for an encrypted file, the blob's encryption data (BlobEncryption.h).
// An empty value leaves its header out, so default requests are unchanged.
#ifndef ZUCLOUD_BLOB_STORE_HEADERS_H
#define ZUCLOUD_BLOB_STORE_HEADERS_H

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

}  // namespace zu::blob

#endif  // ZUCLOUD_BLOB_STORE_HEADERS_H
