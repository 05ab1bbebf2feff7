// Settings that tune how fast files go out, read when each upload starts
// so that an operator's change applies from the next file on (a bandwidth
// cap for office hours, say) without restarting the host.
#ifndef ZUCLOUD_SESSION_UPLOAD_TUNING_H
#define ZUCLOUD_SESSION_UPLOAD_TUNING_H

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
  // "DRBackupUploadSingleRequestMiB": a blob file of at most this many MiB
  // is stored with one Put Blob request; not found or below 1: 0, never;
  // above 256: 256.
  int singleRequestMiB = 0;
};

UploadTuning ReadUploadTuning(long long streamCount);

}  // namespace zu

#endif  // ZUCLOUD_SESSION_UPLOAD_TUNING_H
