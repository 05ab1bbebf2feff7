#include "platform/text/Decimal.h"

namespace zu {

bool ParseDecimal(const std::string& text, unsigned long long max, unsigned long long& value) {
  if (text.empty()) return false;
  unsigned long long result = 0;
  for (const char c : text) {
    if (!IsDecimalDigit(c)) return false;
    const unsigned long long digit = static_cast<unsigned long long>(c - '0');
    if (result > (max - digit) / 10) return false;
    result = result * 10 + digit;
  }
  value = result;
  return true;
}

bool ParseDecimal(const std::string& text, unsigned long long& value) {
  return text.size() <= 19 && ParseDecimal(text, ~0ULL, value);
}

bool ParseSignedDecimal(const std::string& text, Signs signs, long long min, long long max,
                        long long& value) {
  const bool minus = !text.empty() && text[0] == '-';
  const bool plus = !text.empty() && text[0] == '+' && signs == Signs::kPlusOrMinus;
  // The magnitude allowed on this side of zero; 0 when that side is outside
  // [min, max] (a "-0" is still zero).
  const unsigned long long limit =
      minus ? (min < 0 ? 0ULL - static_cast<unsigned long long>(min) : 0ULL)
            : (max > 0 ? static_cast<unsigned long long>(max) : 0ULL);
  unsigned long long magnitude = 0;
  if (!ParseDecimal(text.substr(minus || plus ? 1 : 0), limit, magnitude)) return false;
  const long long result =
      minus ? static_cast<long long>(0ULL - magnitude) : static_cast<long long>(magnitude);
  if (result < min || result > max) return false;
  value = result;
  return true;
}

}  // namespace zu
