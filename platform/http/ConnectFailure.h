// A failed connection in plain words: where the library tried to go (host
// and port, from the URL) and why it could not, with the setting or
// variable that changes it where there is one. curl's own code and text
// follow in brackets for the log reader.
#ifndef ZUCLOUD_PLATFORM_CONNECT_FAILURE_H
#define ZUCLOUD_PLATFORM_CONNECT_FAILURE_H

#include <string>

namespace LIBCURL {

// "cannot connect to cloud.example.com port 443: the host name was not
// found (DNS) [curl error 6: ...]"; `curlCode` and `curlText` as the
// gateway reports them (getLastCurlErrorCodeAndErrorMsg).
std::string DescribeConnectFailure(int curlCode, const std::string& curlText,
                                   const std::string& url);

}  // namespace LIBCURL

#endif  // ZUCLOUD_PLATFORM_CONNECT_FAILURE_H
