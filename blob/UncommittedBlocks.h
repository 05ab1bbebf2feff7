// Get Block List: which uncommitted blocks the storage service holds for a
// blob, so that a resumed upload sends only the others.
#ifndef ZUCLOUD_BLOB_UNCOMMITTED_BLOCKS_H
#define ZUCLOUD_BLOB_UNCOMMITTED_BLOCKS_H

#include <map>
#include <string>

#include "session/SessionParams.h"

namespace zu::blob {

struct UncommittedBlocks {
  bool answered = false;  // false: the service could not say; see `failure`
  std::string failure;    // why not, for the log
  std::map<std::string, unsigned long long> sizes;  // block id -> bytes
};

// GET `blobUrl`?comp=blocklist&blocklisttype=uncommitted&`sasToken` under
// the retry policy: at most params.retryCount attempts with capped
// exponential back-off (`backoffCapSeconds`). A 4xx answer other than 408
// and 429 (a SAS without read permission, a blob the service does not know)
// is final at once. The reply must be a well-formed block list with a name
// and a decimal size for every block, or it counts as a failed attempt. A
// reply above 8 MiB or listing more than 100,000 blocks (the most the
// service holds) is final too: it is not parsed, and the caller sends the
// whole file.
UncommittedBlocks QueryUncommittedBlocks(const SessionParams& params, const std::string& blobUrl,
                                         const std::string& sasToken, const std::string& fileName,
                                         int backoffCapSeconds);

// Reads a Get Block List reply; false when it is not a well-formed one or
// lists more than 100,000 blocks.
bool ParseUncommittedBlocks(const std::string& xml,
                            std::map<std::string, unsigned long long>& sizes, std::string& problem);

}  // namespace zu::blob

#endif  // ZUCLOUD_BLOB_UNCOMMITTED_BLOCKS_H
