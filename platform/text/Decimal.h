// Decimal numbers as the library's own files and storage replies write
// them: digits only, no sign, blanks or leading '+'.
#ifndef ZUCLOUD_PLATFORM_DECIMAL_H
#define ZUCLOUD_PLATFORM_DECIMAL_H

#include <string>

namespace zu {

// Reads `text` of 1 to 19 decimal digits (so it cannot overflow) into
// `value`; false for anything else.
bool ParseDecimal(const std::string& text, unsigned long long& value);

}  // namespace zu

#endif  // ZUCLOUD_PLATFORM_DECIMAL_H
