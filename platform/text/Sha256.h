// SHA-256 digests (OpenSSL underneath).
#ifndef ZUCLOUD_PLATFORM_SHA256_H
#define ZUCLOUD_PLATFORM_SHA256_H

#include <string>

namespace zu {

// The SHA-256 digest of `data` as 64 lower-case hexadecimal digits ("" if
// OpenSSL fails).
std::string Sha256Hex(const std::string& data);

}  // namespace zu

#endif  // ZUCLOUD_PLATFORM_SHA256_H
