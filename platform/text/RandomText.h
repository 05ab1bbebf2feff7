// Unpredictable text from the system's cryptographic generator (OpenSSL
// underneath), for names no other process or host may pick by chance.
#ifndef ZUCLOUD_PLATFORM_RANDOM_TEXT_H
#define ZUCLOUD_PLATFORM_RANDOM_TEXT_H

#include <string>

namespace zu {

// `digits` random lower-case hexadecimal digits; "" when the generator
// cannot supply them.
std::string RandomHex(size_t digits);

}  // namespace zu

#endif  // ZUCLOUD_PLATFORM_RANDOM_TEXT_H
