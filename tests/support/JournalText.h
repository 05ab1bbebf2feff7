// Lines of a resume journal, for tests that change one line of it as a
// damaged disk or a hostile user of the state folder would.
#ifndef ZUCLOUD_TESTS_SUPPORT_JOURNAL_TEXT_H
#define ZUCLOUD_TESTS_SUPPORT_JOURNAL_TEXT_H

#include <string>

namespace zutest {

// The first line of `text` after its first that starts with `prefix`
// (without its newline); "" when there is none.
std::string LineOf(const std::string& text, const std::string& prefix);

// `text` with that line replaced by `line` ("" leaves an empty line).
std::string WithLine(std::string text, const std::string& prefix, const std::string& line);

}  // namespace zutest

#endif  // ZUCLOUD_TESTS_SUPPORT_JOURNAL_TEXT_H
