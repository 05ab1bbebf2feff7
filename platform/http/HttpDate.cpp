#include "platform/http/HttpDate.h"

#include <curl/curl.h>

namespace LIBCURL {

std::time_t HttpDateTime(const std::string& text) { return curl_getdate(text.c_str(), nullptr); }

}  // namespace LIBCURL
