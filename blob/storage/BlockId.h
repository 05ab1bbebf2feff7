// Block ids of the block upload engine.
//
// Block n (counted from 1 in read order) is named by the decimal text of n,
// left-padded with "0" to six characters, in Base64: "MDAwMDAx" for block 1.
// An upload that may be resumed puts its upload tag in front of that
// number: kUploadTagDigits random hexadecimal digits, chosen when the
// upload starts and kept in its resume journal. Blocks that another upload
// of the same blob wrote (another host, a cloned server, a second run
// beside this one) then never carry this upload's ids, so a resumed upload
// can skip only blocks it sent itself, and its block list names only its
// own blocks. Either way the decoded id ends with the six-digit number, so
// an id says which block it is.
//
// The storage service wants every block id of one blob to have the same
// length and allows at most kMaxBlocksPerBlob blocks, so within that limit
// all ids of an upload are the eight-character Base64 of a six-digit number,
// or, tagged, the 32-character Base64 of 24 characters (no "=" padding).
#ifndef ZUCLOUD_BLOB_BLOCK_ID_H
#define ZUCLOUD_BLOB_BLOCK_ID_H

#include <string>

namespace zu::blob {

// Blocks a block blob may hold.
constexpr unsigned long long kMaxBlocksPerBlob = 50000;

// Hexadecimal digits of an upload tag.
constexpr size_t kUploadTagDigits = 18;

// "000001" for 1; numbers above 999999 keep all their digits.
std::string BlockNumberText(unsigned int blockNo);

// A new random upload tag ("" when the system cannot supply one).
std::string NewUploadTag();

// True when `tag` has the form of an upload tag (kUploadTagDigits
// lower-case hexadecimal digits).
bool IsUploadTag(const std::string& tag);

// Base64 of `tag` followed by BlockNumberText(blockNo), on one line:
// "MDAwMDAx" for block 1 without a tag. This is the id sent in the block
// list.
std::string BlockId(unsigned int blockNo, const std::string& tag = std::string());

// The block number an id ends with; false when `blockId` is not the Base64
// of a tag (or nothing) followed by a six-digit number.
bool BlockNumberOfId(const std::string& blockId, unsigned int& blockNo, std::string& tag);

// `blockId` percent-encoded as the exported urlEncode does, for the Put
// Block query ("=" of a 7-digit number's id becomes %3D).
std::string UrlEncodedBlockId(const std::string& blockId);

// Blocks a file of `fileSize` bytes needs at `blockSize` bytes per block
// (0 for an empty file; a block size below 1 counts as 1).
unsigned long long BlocksNeeded(unsigned long long fileSize, unsigned long long blockSize);

}  // namespace zu::blob

#endif  // ZUCLOUD_BLOB_BLOCK_ID_H
