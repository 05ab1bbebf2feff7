#include "blob/storage/BlockId.h"

#include <cstdio>

#include "platform/text/Base64.h"
#include "platform/text/PercentEncode.h"
#include "platform/text/RandomText.h"

namespace zu::blob {
namespace {
// What a block id keeps unencoded besides letters and digits: the set of
// the exported urlEncode, so '/' of Base64 stays and '+' and '=' do not.
const char kBlockIdSafe[] = "-_.~/";
}  // namespace

std::string BlockNumberText(unsigned int blockNo) {
  char text[16];
  std::snprintf(text, sizeof text, "%06u", blockNo);
  return text;
}

std::string NewUploadTag() { return RandomHex(kUploadTagDigits); }

bool IsUploadTag(const std::string& tag) {
  if (tag.size() != kUploadTagDigits) return false;
  for (const char c : tag) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::string BlockId(unsigned int blockNo, const std::string& tag) {
  return Base64OneLine(tag + BlockNumberText(blockNo));
}

bool BlockNumberOfId(const std::string& blockId, unsigned int& blockNo, std::string& tag) {
  std::string text;
  if (base64Decode(blockId, text) != 0 || text.size() < 6) return false;
  const std::string digits = text.substr(text.size() - 6);
  tag = text.substr(0, text.size() - 6);
  if (!tag.empty() && !IsUploadTag(tag)) return false;
  unsigned int number = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<unsigned int>(c - '0');
  }
  if (number == 0 || BlockId(number, tag) != blockId) return false;
  blockNo = number;
  return true;
}

std::string UrlEncodedBlockId(const std::string& blockId) {
  return PercentEncode(blockId, kBlockIdSafe);
}

unsigned long long BlocksNeeded(unsigned long long fileSize, unsigned long long blockSize) {
  if (blockSize == 0) blockSize = 1;
  return fileSize / blockSize + (fileSize % blockSize != 0 ? 1 : 0);
}

}  // namespace zu::blob
