#include "blob/BlockId.h"

#include <cstdio>

#include "ZuUrlEncode.h"
#include "platform/text/Base64.h"

namespace zu::blob {
namespace {
// Room for the encoding of any id: urlEncode needs 3 bytes per input byte
// plus the terminator, and an id is at most 16 characters.
constexpr int kEncodedIdBufferSize = 1024;
}  // namespace

std::string BlockNumberText(unsigned int blockNo) {
  char text[16];
  std::snprintf(text, sizeof text, "%06u", blockNo);
  return text;
}

std::string BlockId(unsigned int blockNo) { return Base64OneLine(BlockNumberText(blockNo)); }

std::string UrlEncodedBlockId(const std::string& blockId) {
  char encoded[kEncodedIdBufferSize];
  const int limit = static_cast<int>(blockId.size());
  if (3 * blockId.size() + 1 > sizeof encoded) return std::string();
  urlEncode(encoded, blockId.c_str(), limit);
  return encoded;
}

unsigned long long BlocksNeeded(unsigned long long fileSize, unsigned long long blockSize) {
  if (blockSize == 0) blockSize = 1;
  return fileSize / blockSize + (fileSize % blockSize != 0 ? 1 : 0);
}

}  // namespace zu::blob
