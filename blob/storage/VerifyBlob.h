// The check after a commit ("bEnableZUCloudDRBackupVerify"): one Get Blob
// Properties (HEAD of the blob URL with the SAS) tells whether storage holds
// a blob of the file's length and, when the upload made the file's MD5,
// with that Content-MD5. A blob that differs fails the upload with a message
// naming what differs, so the file stays out of the completion report.
#ifndef ZUCLOUD_BLOB_VERIFY_BLOB_H
#define ZUCLOUD_BLOB_VERIFY_BLOB_H

#include <string>

#include "blob/storage/BlobFile.h"
#include "platform/http/ZuInternetGateway.h"

namespace zu::blob {

// Attempts of the Get Blob Properties request, with the capped back-off of
// BlobFile::maximumBackoff between them. A 4xx answer other than 408 and
// 429 (a blob storage does not know, a SAS without read permission) is
// final at once; 403 AuthorizationPermissionMismatch (a write-only SAS)
// asks for no fresh token and fails the file saying the token cannot read.
constexpr int kBlobPropertiesAttempts = 3;

// 1 when the blob at file.blobUrl is of file.identity.size bytes (their
// stored length when file.encryption is set) and, when
// `md5Base64` is not empty, has that Content-MD5; else 0 with the caller's
// message.
int VerifyStoredBlob(const BlobFile& file, const std::string& sasToken,
                     const std::string& md5Base64, std::wstring& errorMessage);

// What differs between the blob's properties (the reply headers of Get Blob
// Properties) and the file: "" when nothing does.
std::string DescribeBlobMismatch(const ZuCURL::commandInfoList& properties,
                                 unsigned long long fileSize, const std::string& md5Base64);

}  // namespace zu::blob

#endif  // ZUCLOUD_BLOB_VERIFY_BLOB_H
