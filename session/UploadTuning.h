// Settings that tune how fast files go out, read when each upload starts
// so that an operator's change applies from the next file on (a bandwidth
// cap for office hours, say) without restarting the host.
#ifndef ZUCLOUD_SESSION_UPLOAD_TUNING_H
#define ZUCLOUD_SESSION_UPLOAD_TUNING_H

#include <string>

namespace zu {

struct UploadTuning {
  // "DRBackupUploadParallelBlocks": Put Blocks in flight at once; not found
  // or below 1: 1; above the stream count: the stream count.
  int parallelBlocks = 1;
  // "DRBackupUploadMaxMbps": cap on the total rate of file bytes sent, in
  // megabits (10^6 bits) per second; not found or below 1: 0, no cap.
  int maxMbps = 0;
  // "bEnableZUCloudDRBackupResume" (boolean word): a blob upload resumes
  // from the blocks the service already holds; default true.
  bool resume = true;
  // "bEnableZUCloudDRBackupContentMD5" (boolean word): every Put Block
  // carries its body's Content-MD5 and the commit the whole file's MD5;
  // default false.
  bool contentMd5 = false;
  // "bEnableZUCloudDRBackupVerify" (boolean word): after its commit every
  // blob is read back with Get Blob Properties and must have the file's
  // length (and, with contentMd5, its MD5); default false.
  bool verify = false;
  // "bEnableZUCloudDRBackupKeepPageCache" (boolean word): the file's pages
  // stay in the host's page cache after they are read for upload; default
  // false, each read's pages are dropped (SequentialFile::DropPagesAfterRead).
  bool keepPageCache = false;
  // "DRBackupUploadAccessTier": "Hot", "Cool", "Cold" or "Archive" (the
  // setting in any letter case, here in the service's); "" when not found or
  // empty: the account's default tier.
  std::string accessTier;
  // Set when that setting holds any other value: the message an upload is
  // refused with, before any request.
  std::string accessTierProblem;
  // "DRBackupUploadSingleRequestMiB": a blob file of at most this many MiB
  // is stored with one Put Blob request; not found or below 1: 0, never;
  // above 256: 256.
  int singleRequestMiB = 0;
  // "DRBackupEncryptionKeyFile": the file of the key-encryption key with
  // which every blob is encrypted on this side before it is sent (KeyFile.h
  // of platform/crypto); "" when not found or empty: no encryption, the
  // requests of an upload without it.
  std::string encryptionKeyFile;
};

// The service's spelling of an access tier given in any letter case; false
// for a word that is not a tier.
bool CanonicalAccessTier(const std::string& text, std::string& tier);

UploadTuning ReadUploadTuning(long long streamCount);

}  // namespace zu

#endif  // ZUCLOUD_SESSION_UPLOAD_TUNING_H
