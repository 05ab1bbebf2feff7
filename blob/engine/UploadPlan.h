// How one file is cut into blocks and how many buffer slots carry them.
//
// A configured block size above the service's largest block (4000 MiB;
// 3996 MiB of whole regions when encrypted) is lowered to it: storage
// would refuse every such block after it was read. A file that fits the
// service's 50,000 blocks at that block size keeps it. A larger one gets the smallest whole number
// of MiB per block that fits (up to the service's 4000 MiB per block), and then as few slots as
// keep the upload's buffers within what the settings give a file that fits (stream count x
// configured block size). Past that, up to 32 MiB more buy the slots that parallel blocks need (one
// per block in flight plus the one being read); never fewer than one slot. Slots are never more
// than the file has blocks, and no buffer is larger than the file: a small file costs a small
// buffer and one uploader thread.
//
// An encrypted file's blocks carry whole 4 MiB regions
// (platform/crypto/RegionLayout.h): its block size is raised to the next
// multiple of 4 MiB (a larger file's to the smallest such multiple that
// fits), with as few slots as the same budget allows, and each buffer holds
// the stored length of its block.
#ifndef ZUCLOUD_BLOB_UPLOAD_PLAN_H
#define ZUCLOUD_BLOB_UPLOAD_PLAN_H

namespace zu::blob {

// The service's largest block.
constexpr unsigned long long kMaxBlockBytes = 4000ULL * 1048576ULL;
// The largest encrypted block: whole regions whose stored length (28 bytes
// more per region) stays within kMaxBlockBytes.
constexpr unsigned long long kMaxEncryptedBlockBytes = 3996ULL * 1048576ULL;
// Memory an upload may use beyond the configured slots.
constexpr unsigned long long kBudgetAllowance = 32ULL * 1048576ULL;

struct UploadPlan {
  bool fits = false;                  // false: more than 50,000 blocks of 4000 MiB
  bool blockSizeRaised = false;       // raised for a file past 50,000 blocks
  bool blockSizeRounded = false;      // raised to whole regions (encrypted)
  bool blockSizeCapped = false;       // lowered to the service's largest block
  unsigned long long blockSize = 0;   // bytes per block (the last may be short)
  unsigned long long blocks = 0;      // blocks of the file
  unsigned long long bufferSize = 0;  // bytes per slot buffer
  int slots = 1;                      // buffer slots (and uploader threads)
  int parallel = 1;                   // Put Blocks in flight at most
};

// `configuredBlockSize` and `streamCount` as the settings give them (at
// least 1), `parallel` the Put Blocks wanted in flight (at least 1, at most
// `streamCount`); `encrypted` for a file encrypted before it is sent.
UploadPlan PlanUpload(unsigned long long fileSize, unsigned long long configuredBlockSize,
                      long long streamCount, int parallel, bool encrypted = false);

}  // namespace zu::blob

#endif  // ZUCLOUD_BLOB_UPLOAD_PLAN_H
