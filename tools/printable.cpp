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

// The code point of the valid UTF-8 sequence of `length` bytes at `pos`.
unsigned long CodePoint(const std::string& text, size_t pos, size_t length) {
  const unsigned char lead = static_cast<unsigned char>(text[pos]);
  unsigned long code = length == 1 ? lead : lead & (0x7Fu >> length);
  for (size_t i = 1; i < length; ++i) {
    code = (code << 6) | (static_cast<unsigned char>(text[pos + i]) & 0x3Fu);
  }
  return code;
}

// Columns of one character.
size_t CharacterWidth(unsigned long code) {
  struct Range {
    unsigned long first;
    unsigned long last;
  };
  // Combining marks and zero-width characters.
  static const Range kZero[] = {{0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD},
                                {0x0610, 0x061A}, {0x064B, 0x065F}, {0x1AB0, 0x1AFF},
                                {0x1DC0, 0x1DFF}, {0x200B, 0x200F}, {0x20D0, 0x20FF},
                                {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}};
  // Wide: Hangul Jamo, CJK, Hangul syllables, compatibility and full-width
  // forms, emoji, and the supplementary ideographic planes.
  static const Range kWide[] = {{0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF},
                                {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
                                {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE30, 0xFE4F},
                                {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F},
                                {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD}};
  for (const Range& range : kZero) {
    if (code >= range.first && code <= range.last) return 0;
  }
  for (const Range& range : kWide) {
    if (code >= range.first && code <= range.last) return 2;
  }
  return 1;
}

// Bytes and columns of the character at `pos` (an invalid byte counts as
// one of each).
void NextCharacter(const std::string& text, size_t pos, size_t& bytes, size_t& columns) {
  bytes = PrintableSequence(text, pos);
  if (bytes == 0) {
    bytes = 1;
    columns = 1;
    return;
  }
  columns = CharacterWidth(CodePoint(text, pos, bytes));
}

}  // namespace

size_t DisplayWidth(const std::string& text) {
  size_t width = 0;
  size_t bytes = 0;
  size_t columns = 0;
  for (size_t pos = 0; pos < text.size(); pos += bytes) {
    NextCharacter(text, pos, bytes, columns);
    width += columns;
  }
  return width;
}

std::string FitWidth(const std::string& text, size_t width) {
  size_t used = 0;
  size_t pos = 0;
  size_t bytes = 0;
  size_t columns = 0;
  while (pos < text.size()) {
    NextCharacter(text, pos, bytes, columns);
    if (used + columns > width) break;
    used += columns;
    pos += bytes;
  }
  return text.substr(0, pos) + std::string(width - used, ' ');
}

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
