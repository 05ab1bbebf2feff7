// The exported percent-encoders, on the library's one percent-encoder.
#include "ZuUrlEncode.h"

#include <cstring>
#include <string>

#include "platform/text/PercentEncode.h"

namespace {

// Bytes urlEncode copies unchanged besides letters and digits.
const char gDefaultUrlSafe[] = "-_.~/";

}  // namespace

int urlEncodeUseSafeChar(char* output, const char* input, int limit, const char* safeChars) {
  if (output == nullptr) return 0;
  if (input == nullptr) {
    output[0] = '\0';
    return 1;
  }
  if (safeChars == nullptr) safeChars = "";
  // At most `limit` input bytes are encoded; a longer input gives its first
  // `limit` bytes encoded and the result 0.
  const size_t length = std::strlen(input);
  const size_t take =
      limit <= 0 ? 0 : (length < static_cast<size_t>(limit) ? length : static_cast<size_t>(limit));
  std::string encoded;
  encoded.reserve(take * 3);
  for (size_t i = 0; i < take; ++i) {
    zu::AppendPercentEncoded(encoded, static_cast<unsigned char>(input[i]), safeChars);
  }
  std::memcpy(output, encoded.c_str(), encoded.size() + 1);
  return take == length ? 1 : 0;
}

int urlEncode(char* output, const char* input, int limit) {
  return urlEncodeUseSafeChar(output, input, limit, gDefaultUrlSafe);
}
