#include "support/JournalText.h"

namespace zutest {

std::string LineOf(const std::string& text, const std::string& prefix) {
  const size_t found = text.find("\n" + prefix);
  if (found == std::string::npos) return std::string();
  const size_t start = found + 1;
  return text.substr(start, text.find('\n', start) - start);
}

std::string WithLine(std::string text, const std::string& prefix, const std::string& line) {
  const size_t found = text.find("\n" + prefix);
  if (found == std::string::npos) return text;
  const size_t start = found + 1;
  return text.replace(start, text.find('\n', start) - start, line);
}

}  // namespace zutest
