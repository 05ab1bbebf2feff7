// UTF-8 <-> UTF-32 conversion written out by hand so that it depends neither
// on the C locale nor on <codecvt> (deprecated). Ill-formed input is replaced
// following the Unicode "maximal subpart" practice: every maximal prefix of a
// valid sequence that is cut short becomes one U+FFFD.
#include "platform/text/FXString.h"

#include <cstdint>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::wstring FXString::ToWstring(const std::string& text) {
  static_assert(sizeof(wchar_t) == 4, "wide strings hold UTF-32 code points");
  std::wstring out;
  out.reserve(text.size());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) {
      out.push_back(static_cast<wchar_t>(b0));
      ++i;
      continue;
    }
    // Sequence length and the allowed range of the second byte, which rules
    // out overlong forms, surrogates and values above U+10FFFF.
    size_t length = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    uint32_t cp = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      length = 2;
      cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      length = 3;
      cp = b0 & 0x0F;
      if (b0 == 0xE0) lo = 0xA0;
      if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      length = 4;
      cp = b0 & 0x07;
      if (b0 == 0xF0) lo = 0x90;
      if (b0 == 0xF4) hi = 0x8F;
    } else {
      out.push_back(static_cast<wchar_t>(kReplacement));
      ++i;
      continue;
    }
    size_t j = 1;
    for (; j < length && i + j < n; ++j) {
      const unsigned char b = static_cast<unsigned char>(text[i + j]);
      const unsigned char min = j == 1 ? lo : 0x80;
      const unsigned char max = j == 1 ? hi : 0xBF;
      if (b < min || b > max) break;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (j == length) {
      out.push_back(static_cast<wchar_t>(cp));
    } else {
      out.push_back(static_cast<wchar_t>(kReplacement));
    }
    i += j;
  }
  return out;
}

std::string FXString::ToString(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t wc : text) AppendUtf8(out, static_cast<uint32_t>(wc));
  return out;
}

bool FXString::EqualsNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CompareLeftNoCase(a, b) == 0;
}

int FXString::CompareLeftNoCase(const std::string& text, const std::string& prefix) {
  const size_t n = prefix.size() < text.size() ? prefix.size() : text.size();
  for (size_t i = 0; i < n; ++i) {
    const unsigned char a = static_cast<unsigned char>(AsciiLower(text[i]));
    const unsigned char b = static_cast<unsigned char>(AsciiLower(prefix[i]));
    if (a != b) return a < b ? -1 : 1;
  }
  return text.size() < prefix.size() ? -1 : 0;
}
