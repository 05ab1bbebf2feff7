// Block ids of the block upload engine.
//
// Block n (counted from 1 in read order) is named by the decimal text of n,
// left-padded with "0" to six characters, in Base64. The storage service
// wants every block id of one blob to have the same length and allows at
// most kMaxBlocksPerBlob blocks, so within that limit all ids are the
// eight-character Base64 of a six-digit number.
#ifndef ZUCLOUD_BLOB_BLOCK_ID_H
#define ZUCLOUD_BLOB_BLOCK_ID_H

#include <string>

namespace zu::blob {

// Blocks a block blob may hold.
constexpr unsigned long long kMaxBlocksPerBlob = 50000;

// "000001" for 1; numbers above 999999 keep all their digits.
std::string BlockNumberText(unsigned int blockNo);

// Base64 of BlockNumberText(blockNo) on one line: "MDAwMDAx" for 1. This is
// the id sent in the block list.
std::string BlockId(unsigned int blockNo);

// `blockId` percent-encoded with urlEncode for the Put Block query ("=" of
// a 7-digit number's id becomes %3D).
std::string UrlEncodedBlockId(const std::string& blockId);

// Blocks a file of `fileSize` bytes needs at `blockSize` bytes per block
// (0 for an empty file; a block size below 1 counts as 1).
unsigned long long BlocksNeeded(unsigned long long fileSize, unsigned long long blockSize);

}  // namespace zu::blob

#endif  // ZUCLOUD_BLOB_BLOCK_ID_H
