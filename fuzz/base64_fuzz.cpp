// base64Decode on arbitrary text, and the round trip through base64Encode
// and zu::Base64OneLine.
//
// Input: the bytes to decode, and also the bytes to encode.
//
// Checked beyond memory safety:
//  - a refused text leaves an empty output; an accepted one decodes to at
//    most 3 bytes per 4 input characters (plus a partial group);
//  - encoding gives lines of 64 alphabet characters, each ended by '\n'
//    (the last one shorter), and decoding that gives the input back;
//  - the one-line form is the same text without line feeds and decodes to
//    the input as well.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "platform/text/Base64.h"

namespace {

bool IsAlphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/' || c == '=';
}

void CheckLayout(const std::string& encoded, size_t inputSize) {
  if (inputSize == 0) {
    FUZZ_CHECK(encoded.empty());
    return;
  }
  FUZZ_CHECK(!encoded.empty() && encoded.back() == '\n');
  size_t lineStart = 0;
  size_t characters = 0;
  while (lineStart < encoded.size()) {
    const size_t end = encoded.find('\n', lineStart);
    FUZZ_CHECK(end != std::string::npos);
    const size_t length = end - lineStart;
    const bool last = end + 1 == encoded.size();
    FUZZ_CHECK(length > 0 && (last ? length <= 64 : length == 64));
    for (size_t i = lineStart; i < end; ++i) FUZZ_CHECK(IsAlphabet(encoded[i]));
    characters += length;
    lineStart = end + 1;
  }
  FUZZ_CHECK(characters == (inputSize + 2) / 3 * 4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  // Arbitrary text through the decoder.
  std::string decoded = "stale";
  if (base64Decode(input, decoded) != 0) {
    FUZZ_CHECK(decoded.empty());
  } else {
    FUZZ_CHECK(decoded.size() <= (input.size() + 3) / 4 * 3);
  }

  // Round trip.
  std::string encoded;
  FUZZ_CHECK(base64Encode(input, encoded) == 0);
  CheckLayout(encoded, input.size());
  std::string back = "stale";
  FUZZ_CHECK(base64Decode(encoded, back) == 0);
  FUZZ_CHECK(back == input);

  const std::string oneLine = zu::Base64OneLine(input);
  std::string withoutBreaks;
  for (char c : encoded) {
    if (c != '\n') withoutBreaks += c;
  }
  FUZZ_CHECK(oneLine == withoutBreaks);
  back = "stale";
  FUZZ_CHECK(base64Decode(oneLine, back) == 0);
  FUZZ_CHECK(back == input);
  return 0;
}
