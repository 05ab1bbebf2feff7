// Standard Base64 (RFC 4648 alphabet, "=" padding), on OpenSSL.
#ifndef ZUCLOUD_PLATFORM_BASE64_H
#define ZUCLOUD_PLATFORM_BASE64_H

#include <string>

// Encodes the bytes of `in`. Like a standard encoder the output is broken
// into lines of 64 characters, each ended by a line feed. Returns 0.
int base64Encode(const std::string& in, std::string& out);

// Decodes `in`, ignoring line breaks. Returns 0 on success, non-zero (and an
// empty `out`) when `in` is not valid Base64.
int base64Decode(const std::string& in, std::string& out);

namespace zu {
// Base64 of `in` on one line (every line feed removed).
std::string Base64OneLine(const std::string& in);
}  // namespace zu

#endif  // ZUCLOUD_PLATFORM_BASE64_H
