// Narrow/wide string conversion and prefix comparison. Narrow strings are
// UTF-8; wide strings hold Unicode code points.
#ifndef ZUCLOUD_PLATFORM_FX_STRING_H
#define ZUCLOUD_PLATFORM_FX_STRING_H

#include <string>

class FXString {
 public:
  // Invalid UTF-8 bytes become U+FFFD.
  static std::wstring ToWstring(const std::string& text);
  // Code points that cannot be encoded become U+FFFD.
  static std::string ToString(const std::wstring& text);
  // 0 when `text` begins with `prefix`, compared without regard to ASCII
  // case; non-zero otherwise (also when `text` is shorter).
  static int CompareLeftNoCase(const std::string& text, const std::string& prefix);
  // True when `a` and `b` are the same text without regard to ASCII case.
  static bool EqualsNoCase(const std::string& a, const std::string& b);
};

#endif  // ZUCLOUD_PLATFORM_FX_STRING_H
