#include "blob/resume/JournalCommit.h"

#include <string>

#include "blob/storage/BlockId.h"
#include "blob/storage/BlockList.h"
#include "platform/crypto/RegionLayout.h"

namespace zu::blob {
namespace {

unsigned long long Stored(bool encrypted, unsigned long long plain) {
  return encrypted ? StoredLength(plain) : plain;
}

}  // namespace

bool CommitMayBeDone(const JournalContent& journal) {
  const unsigned long long blocks = BlocksNeeded(journal.identity.size, journal.blockSize);
  if (blocks == 0 || blocks > kMaxBlocksPerBlob) return false;
  if (journal.commitSent) return true;
  std::vector<bool> confirmed(blocks, false);
  unsigned long long count = 0;
  for (unsigned int blockNo : journal.blocks) {
    if (blockNo < 1 || blockNo > blocks || confirmed[blockNo - 1]) continue;
    confirmed[blockNo - 1] = true;
    ++count;
  }
  return count == blocks;
}

bool JournalNamesCommit(const JournalContent& journal, const std::vector<ListedBlock>& committed,
                        bool encrypted) {
  const unsigned long long size = journal.identity.size;
  const unsigned long long blocks = BlocksNeeded(size, journal.blockSize);
  if (blocks == 0 || blocks > kMaxBlocksPerBlob || committed.size() != blocks) return false;
  std::vector<std::string> ids;
  ids.reserve(committed.size());
  for (unsigned int blockNo = 1; blockNo <= blocks; ++blockNo) {
    const unsigned long long offset = (blockNo - 1ULL) * journal.blockSize;
    const unsigned long long length =
        size - offset < journal.blockSize ? size - offset : journal.blockSize;
    if (committed[blockNo - 1].size != Stored(encrypted, length)) return false;
    ids.push_back(BlockId(blockNo, journal.tag));
  }
  return IsThisCommit(committed, ids, Stored(encrypted, size));
}

}  // namespace zu::blob
