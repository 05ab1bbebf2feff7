// zu::FormatLogText: the printf-style formatting of log lines.
//
// A directive is first read into a LogDirective (flags, width, precision,
// length modifier, conversion; '*' values are taken from the arguments
// there), then written by the writer for its conversion. Numbers go through
// snprintf with the directive rebuilt from its parts; text arguments are
// copied only as far as they can be written:
//  - a text argument (%s, %ls) above 4 KiB is cut to 4 KiB with a note of
//    its full length; a precision given in the format is applied instead,
//    and the argument need not be terminated within it;
//  - a kept part that is cut is redacted before the cut, so the cut cannot
//    leave the start of a secret that the redaction of the whole line would
//    no longer recognise;
//  - %n writes nothing; an unknown conversion is written as it stands and
//    takes no argument; a lone '%' at the end is written as is.
#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/log/EvDebug.h"
#include "platform/text/Decimal.h"
#include "platform/text/FXString.h"

namespace zu {
namespace {

constexpr int kMaxFieldWidth = 4096;

// A text argument (a server's reply, above all) longer than this is cut to
// it, with a note of its full length: a hostile reply of many MiB must not
// make every failed attempt write as much log.
constexpr size_t kMaxTextArgument = 4096;

// One directive of the format, as read.
struct LogDirective {
  const char* start = nullptr;  // its '%'
  std::string flags;
  int width = -1;      // -1: none
  int precision = -1;  // -1: none
  std::string length;  // length modifier ("l", "ll", ...)
  char conversion = '\0';

  bool leftAlign() const { return flags.find('-') != std::string::npos; }
  // "%", the flags, and "*" / ".*" where a width / precision is given.
  std::string printfPrefix() const {
    std::string directive = "%" + flags;
    if (width >= 0) directive += "*";
    if (precision >= 0) directive += ".*";
    return directive;
  }
  bool longLong() const { return length == "ll" || length == "q" || length == "j"; }
  bool longOrSize() const { return length == "l" || length == "z" || length == "t"; }
};

// Reads a number of the format, at most kMaxFieldWidth.
int ReadNumber(const char*& p) {
  int value = 0;
  for (; zu::IsDecimalDigit(*p); ++p) value = std::min(value * 10 + (*p - '0'), kMaxFieldWidth);
  return value;
}

// Reads the directive after the '%' at `p` (not "%%") and moves `p` past it;
// '*' width and precision are taken from `ap`. False when the format ends
// before the conversion letter.
bool ReadDirective(const char*& p, va_list& ap, LogDirective& d) {
  d.start = p++;
  while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) d.flags.push_back(*p++);
  if (*p == '*') {
    ++p;
    d.width = va_arg(ap, int);
    if (d.width < 0) {
      d.flags.push_back('-');
      d.width = d.width == INT_MIN ? INT_MAX : -d.width;
    }
  } else if (zu::IsDecimalDigit(*p)) {
    d.width = ReadNumber(p);
  }
  d.width = std::min(d.width, kMaxFieldWidth);
  if (*p == '.') {
    ++p;
    if (*p == '*') {
      ++p;
      d.precision = va_arg(ap, int);
      if (d.precision < 0) d.precision = -1;
    } else {
      d.precision = ReadNumber(p);
    }
  }
  d.precision = std::min(d.precision, kMaxFieldWidth);
  while (*p != '\0' && std::strchr("hlLqjzt", *p) != nullptr) d.length.push_back(*p++);
  d.conversion = *p;
  if (d.conversion == '\0') return false;
  ++p;
  return true;
}

void Pad(std::string& out, const std::string& text, bool leftAlign, int width) {
  const size_t fill =
      width > 0 && static_cast<size_t>(width) > text.size() ? width - text.size() : 0;
  if (!leftAlign) out.append(fill, ' ');
  out += text;
  if (leftAlign) out.append(fill, ' ');
}

// Formats one numeric conversion through snprintf. `directive` holds "%", the
// flags, "*" and ".*" when width / precision are given, the length modifier
// and the conversion letter.
template <typename T>
void AppendNumber(std::string& out, const std::string& directive, int width, int precision,
                  T value) {
  char small[128];
  const char* fmt = directive.c_str();
  const bool hasWidth = width >= 0;
  const bool hasPrecision = precision >= 0;
  auto print = [&](char* buf, size_t size) {
    if (hasWidth && hasPrecision) return std::snprintf(buf, size, fmt, width, precision, value);
    if (hasWidth) return std::snprintf(buf, size, fmt, width, value);
    if (hasPrecision) return std::snprintf(buf, size, fmt, precision, value);
    return std::snprintf(buf, size, fmt, value);
  };
  const int n = print(small, sizeof(small));
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof(small)) {
    out.append(small, static_cast<size_t>(n));
    return;
  }
  std::vector<char> big(static_cast<size_t>(n) + 1);
  print(big.data(), big.size());
  out.append(big.data(), static_cast<size_t>(n));
}

// Cuts `text` to at most `maxBytes` without splitting a UTF-8 sequence.
void CutUtf8(std::string& text, size_t maxBytes) {
  if (text.size() <= maxBytes) return;
  size_t cut = maxBytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  text.resize(cut);
}

// Cuts a text argument of `fullLength` bytes, of which `text` holds at least
// the first kMaxTextArgument + LongestLogSecretForm().
void CutLongText(std::string& text, size_t fullLength) {
  text = RedactLogText(text);
  CutUtf8(text, kMaxTextArgument);
  text += " [... cut, " + std::to_string(fullLength) + " bytes in all]";
}

void AppendSigned(std::string& out, const LogDirective& d, va_list& ap) {
  long long value;
  if (d.longLong()) {
    value = va_arg(ap, long long);
  } else if (d.longOrSize()) {
    value = va_arg(ap, long);
  } else if (d.length == "hh") {
    value = static_cast<signed char>(va_arg(ap, int));
  } else if (d.length == "h") {
    value = static_cast<short>(va_arg(ap, int));
  } else {
    value = va_arg(ap, int);
  }
  AppendNumber(out, d.printfPrefix() + "lld", d.width, d.precision, value);
}

void AppendUnsigned(std::string& out, const LogDirective& d, va_list& ap) {
  unsigned long long value;
  if (d.longLong()) {
    value = va_arg(ap, unsigned long long);
  } else if (d.longOrSize()) {
    value = va_arg(ap, unsigned long);
  } else if (d.length == "hh") {
    value = static_cast<unsigned char>(va_arg(ap, unsigned int));
  } else if (d.length == "h") {
    value = static_cast<unsigned short>(va_arg(ap, unsigned int));
  } else {
    value = va_arg(ap, unsigned int);
  }
  AppendNumber(out, d.printfPrefix() + "ll" + d.conversion, d.width, d.precision, value);
}

void AppendFloating(std::string& out, const LogDirective& d, va_list& ap) {
  if (d.length == "L") {
    AppendNumber(out, d.printfPrefix() + "L" + d.conversion, d.width, d.precision,
                 va_arg(ap, long double));
  } else {
    AppendNumber(out, d.printfPrefix() + d.conversion, d.width, d.precision, va_arg(ap, double));
  }
}

void AppendCharacter(std::string& out, const LogDirective& d, va_list& ap) {
  std::string text;
  if (d.length == "l") {
    text = FXString::ToString(std::wstring(1, static_cast<wchar_t>(va_arg(ap, wint_t))));
  } else {
    text.push_back(static_cast<char>(va_arg(ap, int)));
  }
  Pad(out, text, d.leftAlign(), d.width);
}

void AppendText(std::string& out, const LogDirective& d, va_list& ap) {
  std::string text;
  size_t fullLength = 0;
  if (d.length == "l") {
    const wchar_t* ws = va_arg(ap, const wchar_t*);
    text = ws != nullptr ? FXString::ToString(ws) : "(null)";
    fullLength = text.size();
  } else {
    const char* s = va_arg(ap, const char*);
    if (s == nullptr) {
      text = "(null)";
    } else if (d.precision >= 0) {
      // The argument need not be terminated within the precision. The kept
      // part is redacted before the cut.
      text.assign(s, strnlen(s, static_cast<size_t>(d.precision) + LongestLogSecretForm()));
      text = RedactLogText(text);
    } else {
      // Only what can be written is copied.
      fullLength = std::strlen(s);
      text.assign(s, fullLength > kMaxTextArgument
                         ? std::min(fullLength, kMaxTextArgument + LongestLogSecretForm())
                         : fullLength);
    }
  }
  if (d.precision >= 0) {
    CutUtf8(text, static_cast<size_t>(d.precision));
  } else if (fullLength > kMaxTextArgument) {
    text.resize(std::min(text.size(), kMaxTextArgument + LongestLogSecretForm()));
    CutLongText(text, fullLength);
  }
  Pad(out, text, d.leftAlign(), d.width);
}

// Writes one directive that was read whole; `end` is just past it.
void AppendDirective(std::string& out, const LogDirective& d, const char* end, va_list& ap) {
  switch (d.conversion) {
    case 'd':
    case 'i':
      AppendSigned(out, d, ap);
      break;
    case 'u':
    case 'x':
    case 'X':
    case 'o':
      AppendUnsigned(out, d, ap);
      break;
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
      AppendFloating(out, d, ap);
      break;
    case 'p':
      AppendNumber(out, std::string(d.leftAlign() ? "%-" : "%") + (d.width >= 0 ? "*p" : "p"),
                   d.width, -1, va_arg(ap, void*));
      break;
    case 'c':
      AppendCharacter(out, d, ap);
      break;
    case 's':
      AppendText(out, d, ap);
      break;
    case 'n':
      (void)va_arg(ap, void*);  // never written through
      break;
    default:
      // Unknown conversion: written as it stands, no argument taken.
      out.append(d.start, end);
      break;
  }
}

}  // namespace

std::string FormatLogText(const char* format, va_list args) {
  std::string out;
  if (format == nullptr) return out;
  va_list ap;
  va_copy(ap, args);
  const char* p = format;
  while (*p != '\0') {
    if (*p != '%') {
      out.push_back(*p++);
      continue;
    }
    if (p[1] == '%') {
      out.push_back('%');
      p += 2;
      continue;
    }
    LogDirective directive;
    if (!ReadDirective(p, ap, directive)) {
      out.append(directive.start);  // a lone '%' at the end is written as is
      break;
    }
    AppendDirective(out, directive, p, ap);
  }
  va_end(ap);
  return out;
}

std::string FormatLogText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatLogText(format, args);
  va_end(args);
  return text;
}

}  // namespace zu
