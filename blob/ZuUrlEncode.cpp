// The exported percent-encoders.
#include "ZuUrlEncode.h"

#include <cstring>

namespace {

// Bytes urlEncode copies unchanged besides letters and digits.
const char gDefaultUrlSafe[] = "-_.~/";

const char kHexDigits[] = "0123456789ABCDEF";

// ASCII letters and digits only: isalnum() would follow the C locale and
// could pass bytes >= 0x80 through unencoded.
bool IsAsciiAlnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

int urlEncodeUseSafeChar(char* output, const char* input, int limit, const char* safeChars) {
  if (output == nullptr) return 0;
  if (input == nullptr) {
    output[0] = '\0';
    return 1;
  }
  if (safeChars == nullptr) safeChars = "";
  char* out = output;
  int count = 0;
  for (const char* p = input; *p != '\0'; ++p) {
    if (++count > limit) {
      *out = '\0';
      return 0;
    }
    const unsigned char c = static_cast<unsigned char>(*p);
    if (IsAsciiAlnum(c) || std::strchr(safeChars, *p) != nullptr) {
      *out++ = *p;
    } else {
      *out++ = '%';
      *out++ = kHexDigits[c >> 4];
      *out++ = kHexDigits[c & 0x0F];
    }
  }
  *out = '\0';
  return 1;
}

int urlEncode(char* output, const char* input, int limit) {
  return urlEncodeUseSafeChar(output, input, limit, gDefaultUrlSafe);
}
