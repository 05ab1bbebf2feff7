// HTTP dates ("Sun, 06 Nov 1994 08:49:37 GMT" and the older forms), read
// as libcurl reads them.
#ifndef ZUCLOUD_PLATFORM_HTTP_DATE_H
#define ZUCLOUD_PLATFORM_HTTP_DATE_H

#include <ctime>
#include <string>

namespace LIBCURL {

// The time `text` names, or -1 when it names none.
std::time_t HttpDateTime(const std::string& text);

}  // namespace LIBCURL

#endif  // ZUCLOUD_PLATFORM_HTTP_DATE_H
