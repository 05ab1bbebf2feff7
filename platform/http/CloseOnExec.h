// Easy handles whose descriptors stay in this process.
//
// The gateway's connection sockets are opened close-on-exec through
// CURLOPT_OPENSOCKETFUNCTION. One descriptor pair is out of its reach:
// curl_easy_perform gives every easy handle a multi handle of its own on the
// first transfer, and that multi handle makes a socket pair (its wake-up
// pair) that lives as long as the handle and is not close-on-exec. A pooled
// handle lives for minutes, so every process the host starts in that time
// would inherit the pair. NewEasyHandle makes libcurl create the pair at
// once, with a transfer that fails at its first check, and marks the
// AF_UNIX sockets that appeared during that call close-on-exec.
//
// The threaded resolver's own pair lives only while a name is looked up and
// is closed by libcurl when the lookup ends.
#ifndef ZUCLOUD_PLATFORM_CLOSE_ON_EXEC_H
#define ZUCLOUD_PLATFORM_CLOSE_ON_EXEC_H

#include <curl/curl.h>

namespace LIBCURL {

// A new easy handle (null when libcurl cannot make one) whose libcurl-made
// descriptors are close-on-exec; no option of it is set.
CURL* NewEasyHandle();

}  // namespace LIBCURL

#endif  // ZUCLOUD_PLATFORM_CLOSE_ON_EXEC_H
