// The library's one reader of decimal numbers: settings, environment
// variables, resume journals, storage replies and XML message fields all
// read their numbers here, so every one of them accepts the same text and
// none can overflow.
#ifndef ZUCLOUD_PLATFORM_DECIMAL_H
#define ZUCLOUD_PLATFORM_DECIMAL_H

#include <string>

namespace zu {

// '0' to '9' (never locale-dependent, unlike isdigit).
inline bool IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }

// Reads `text` of digits only (at least one) whose value is at most `max`;
// false, with `value` untouched, for anything else.
bool ParseDecimal(const std::string& text, unsigned long long max, unsigned long long& value);

// As the library's own files and storage replies write numbers: 1 to 19
// digits, no sign, blanks or leading '+'.
bool ParseDecimal(const std::string& text, unsigned long long& value);

// Which signs a signed number may start with.
enum class Signs {
  kMinusOnly,    // "-5", never "+5"
  kPlusOrMinus,  // "-5" or "+5"
};

// Reads an optional sign and at least one digit, nothing else, whose value
// lies within [min, max]; false, with `value` untouched, for anything else.
bool ParseSignedDecimal(const std::string& text, Signs signs, long long min, long long max,
                        long long& value);

}  // namespace zu

#endif  // ZUCLOUD_PLATFORM_DECIMAL_H
