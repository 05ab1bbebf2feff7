#include "printable.h"

#include <cstdio>

namespace zutool {
namespace {

// Length of the valid UTF-8 sequence of a printable character at `pos`, or 0
// when the byte there must be escaped.
size_t PrintableSequence(const std::string& text, size_t pos) {
  const unsigned char lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x20 || lead == 0x7F) return 0;
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned long code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07u;
  } else {
    return 0;
  }
  if (pos + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    const unsigned char next = static_cast<unsigned char>(text[pos + i]);
    if ((next & 0xC0u) != 0x80u) return 0;
    code = (code << 6) | (next & 0x3Fu);
  }
  // Over-long forms, surrogates, beyond U+10FFFF and the C1 controls.
  const unsigned long smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < smallest[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF ||
      (code >= 0x80 && code <= 0x9F)) {
    return 0;
  }
  return length;
}

}  // namespace

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t length = PrintableSequence(text, pos);
    if (length > 0) {
      out.append(text, pos, length);
      pos += length;
      continue;
    }
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(text[pos]));
    out += escaped;
    ++pos;
  }
  return out;
}

}  // namespace zutool
