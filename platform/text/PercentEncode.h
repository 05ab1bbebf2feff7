// Percent-encoding of bytes for URLs (RFC 3986): ASCII letters and digits
// and the bytes of `safe` stay as they are, every other byte becomes %XX
// with upper-case hex digits. Bytes >= 0x80 are encoded one by one, so
// UTF-8 text comes out as its encoded UTF-8 bytes.
#ifndef ZUCLOUD_PLATFORM_PERCENT_ENCODE_H
#define ZUCLOUD_PLATFORM_PERCENT_ENCODE_H

#include <string>

namespace zu {

// Appends the encoding of `c` to `out`.
void AppendPercentEncoded(std::string& out, unsigned char c, const char* safe);

std::string PercentEncode(const std::string& in, const char* safe);

}  // namespace zu

#endif  // ZUCLOUD_PLATFORM_PERCENT_ENCODE_H
