#include "platform/text/PercentEncode.h"

#include <cstring>

namespace zu {

void AppendPercentEncoded(std::string& out, unsigned char c, const char* safe) {
  static const char kHex[] = "0123456789ABCDEF";
  // ASCII letters and digits only: isalnum() would follow the C locale and
  // could pass bytes >= 0x80 through unencoded.
  const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  if (alnum || (c != 0 && safe != nullptr && std::strchr(safe, c) != nullptr)) {
    out.push_back(static_cast<char>(c));
  } else {
    out.push_back('%');
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 0x0F]);
  }
}

std::string PercentEncode(const std::string& in, const char* safe) {
  std::string out;
  out.reserve(in.size());
  for (unsigned char c : in) AppendPercentEncoded(out, c, safe);
  return out;
}

}  // namespace zu
