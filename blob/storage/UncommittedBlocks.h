// Get Block List: the blocks the storage service holds for a blob. A
// resumed upload asks for the uncommitted ones, so that it sends only the
// others; a commit whose reply was lost asks for the committed ones, to see
// whether it was carried out (BlockList.h).
#ifndef ZUCLOUD_BLOB_UNCOMMITTED_BLOCKS_H
#define ZUCLOUD_BLOB_UNCOMMITTED_BLOCKS_H

#include <map>
#include <string>
#include <vector>

#include "session/RetryPolicy.h"
#include "session/SessionParams.h"

namespace zu::blob {

// Which of the blob's two lists a query reads.
enum class BlockListType {
  kUncommitted,  // blocks staged by Put Block and not committed yet
  kCommitted,    // the blob's blocks, in the blob's order
};

struct ListedBlock {
  std::string name;  // the block id, Base64
  unsigned long long size = 0;
};

struct BlockListing {
  bool answered = false;            // false: the service could not say; see `failure`
  std::string failure;              // why not, for the log
  std::vector<ListedBlock> blocks;  // in the reply's order
  int status = 0;                   // of the last reply (0: none came)
  // Refused 403 AuthorizationPermissionMismatch: the token cannot read (a
  // write-only SAS); no fresh token of the same grant can. `failure` says so.
  bool noReadPermission = false;
};

// GET `blobUrl`?comp=blocklist&blocklisttype=<type>&`sasToken` with the
// attempts and waits of `wait`. A 4xx answer other than 408 and 429 (a SAS
// without read permission, a blob the service does not know) is final at
// once; for a token that cannot read, `failure` is NoReadPermissionText(). The reply must be a
// well-formed block list with a name and a decimal size for every block, or it counts as a failed
// attempt. A reply above 8 MiB or listing more than 100,000 blocks (the most the service holds) is
// final too: it is not parsed.
BlockListing QueryBlockList(const SessionParams& params, const std::string& blobUrl,
                            const std::string& sasToken, const std::string& fileName,
                            BlockListType type, const RetryOptions& wait);

// Reads the list of `type` from a Get Block List reply (a reply without it
// lists none); false when the reply is not a well-formed block list or
// lists more than 100,000 blocks.
bool ParseBlockList(const std::string& xml, BlockListType type, std::vector<ListedBlock>& blocks,
                    std::string& problem);

struct UncommittedBlocks {
  bool answered = false;          // false: the service could not say; see `failure`
  int status = 0;                 // of the last reply (0: none came)
  bool noReadPermission = false;  // as BlockListing's
  std::string failure;            // why not, for the log
  std::map<std::string, unsigned long long> sizes;  // block id -> bytes
};

// The uncommitted blocks, under the retry policy: at most params.retryCount
// attempts with capped exponential back-off (`backoffCapSeconds`). When the
// service cannot say, the caller sends the whole file.
UncommittedBlocks QueryUncommittedBlocks(const SessionParams& params, const std::string& blobUrl,
                                         const std::string& sasToken, const std::string& fileName,
                                         int backoffCapSeconds);

// ParseBlockList of the uncommitted blocks, by id.
bool ParseUncommittedBlocks(const std::string& xml,
                            std::map<std::string, unsigned long long>& sizes, std::string& problem);

}  // namespace zu::blob

#endif  // ZUCLOUD_BLOB_UNCOMMITTED_BLOCKS_H
