// urlEncodeUseSafeChar (and urlEncode, its default safe set).
//
// Input: bytes 0-1 give the limit (-8..511), byte 2 the length of the safe
// set (0..15) that follows; the rest, up to its first NUL, is the text.
//
// The output buffer has exactly the documented 3 * limit + 1 bytes (one byte
// for a negative limit) followed by a guard region. Checked beyond memory
// safety: the guard is untouched, the result says whether the whole text fit,
// the output is what a reference encoder gives for the first `limit` bytes,
// and decoding it gives those bytes back (whenever '%' itself is not in the
// safe set, which would make the output ambiguous by design).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "ZuUrlEncode.h"

namespace {

constexpr size_t kGuard = 64;
constexpr unsigned char kGuardByte = 0xA5;

bool IsAsciiAlnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

std::string ReferenceEncode(const std::string& text, const std::string& safe) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (IsAsciiAlnum(c) || safe.find(static_cast<char>(c)) != std::string::npos) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // the encoder writes upper-case digits only
}

// Percent-decoding; false on a malformed escape.
bool Decode(const std::string& text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int hi = HexValue(text[i + 1]);
    const int lo = HexValue(text[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

// Runs one encoder call against a fresh, exactly sized buffer and checks it.
template <typename Encode>
void CheckOne(const std::string& text, int limit, const std::string& safe, Encode encode) {
  const size_t capacity = limit >= 0 ? 3 * static_cast<size_t>(limit) + 1 : 1;
  std::vector<unsigned char> buffer(capacity + kGuard, kGuardByte);
  char* output = reinterpret_cast<char*>(buffer.data());

  const int rc = encode(output, text.c_str(), limit);

  for (size_t i = capacity; i < buffer.size(); ++i) FUZZ_CHECK(buffer[i] == kGuardByte);
  const void* nul = std::memchr(output, '\0', capacity);
  FUZZ_CHECK(nul != nullptr);
  const std::string encoded(output);

  const size_t room = limit >= 0 ? static_cast<size_t>(limit) : 0;
  const bool fits = text.size() <= room;
  FUZZ_CHECK(rc == (fits ? 1 : 0));
  const std::string prefix = text.substr(0, std::min(text.size(), room));
  FUZZ_CHECK(encoded == ReferenceEncode(prefix, safe));
  if (safe.find('%') == std::string::npos) {
    std::string decoded;
    FUZZ_CHECK(Decode(encoded, decoded));
    FUZZ_CHECK(decoded == prefix);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const int limit = static_cast<int>((data[0] | (data[1] << 8)) % 520) - 8;
  const size_t safeLength = std::min<size_t>(data[2] % 16, size - 3);
  const std::string safeRaw(reinterpret_cast<const char*>(data + 3), safeLength);
  const std::string safe(safeRaw.c_str());  // as the library sees it: up to a NUL
  const std::string rest(reinterpret_cast<const char*>(data + 3 + safeLength),
                         size - 3 - safeLength);
  const std::string text(rest.c_str());

  CheckOne(text, limit, safe, [&](char* out, const char* in, int lim) {
    return urlEncodeUseSafeChar(out, in, lim, safeRaw.c_str());
  });
  CheckOne(text, limit, "-_.~/",
           [](char* out, const char* in, int lim) { return urlEncode(out, in, lim); });
  return 0;
}
