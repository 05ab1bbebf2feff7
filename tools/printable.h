// Text as zucloud-upload prints it: file names, folder names and messages
// from the library or a server may hold terminal control sequences, which
// must reach the operator's screen as visible text, never as commands.
#ifndef ZUCLOUD_TOOLS_PRINTABLE_H
#define ZUCLOUD_TOOLS_PRINTABLE_H

#include <string>

namespace zutool {

// `text` with every control character (C0, DEL and the C1 range U+0080 to
// U+009F) and every byte that is not part of valid UTF-8 written as "\xNN".
// Other UTF-8 characters are kept.
std::string Printable(const std::string& text);

// The columns `text` (valid UTF-8, as Printable makes it) takes on a
// terminal: none for a combining mark, two for a wide (East Asian, emoji)
// character, one for any other.
size_t DisplayWidth(const std::string& text);

// `text` cut to at most `width` columns (never inside a character) and
// padded with blanks to `width`, so that table columns line up.
std::string FitWidth(const std::string& text, size_t width);

}  // namespace zutool

#endif  // ZUCLOUD_TOOLS_PRINTABLE_H
