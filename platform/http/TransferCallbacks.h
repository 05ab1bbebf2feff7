// The libcurl callbacks of a transfer and the data each is handed: the
// request body read in place from the caller's buffer (paced when asked),
// the reply body bounded by a cap, the reply's header lines, the one start
// a transfer is allowed, and close-on-exec sockets.
#ifndef ZUCLOUD_PLATFORM_TRANSFER_CALLBACKS_H
#define ZUCLOUD_PLATFORM_TRANSFER_CALLBACKS_H

#include <curl/curl.h>

#include <cstddef>
#include <string>

namespace LIBCURL {

// Source of an upload body: the caller's buffer, read in place.
struct ReadSource {
  const char* data = nullptr;
  size_t length = 0;
  size_t offset = 0;
  bool paced = false;  // each piece waits for the process's send pacer
};

// Sink of a reply body, bounded by the reply cap.
struct WriteSink {
  std::string body;
  long long cap = 0;
  bool capExceeded = false;
};

// One transfer's requests as libcurl starts them. libcurl sends a request
// again by itself, on a new connection, when a reused connection closes
// before the first byte of the reply; the server may have carried the first
// copy out. The second start is refused, so the transfer fails and the
// caller's retry policy decides, with its own log lines.
struct SendGuard {
  int starts = 0;
  bool resendRefused = false;
};

// CURLOPT_READFUNCTION; `userdata` is a ReadSource.
size_t ReadCallback(char* buffer, size_t size, size_t nitems, void* userdata);
// CURLOPT_WRITEFUNCTION; `userdata` is a WriteSink. A body past its cap
// aborts the transfer (CURLE_WRITE_ERROR) with capExceeded set.
size_t WriteCallback(char* ptr, size_t size, size_t nmemb, void* userdata);
// CURLOPT_HEADERFUNCTION; `userdata` is a ZuCURL::commandInfoList that
// receives the final reply's headers as name and value.
size_t HeaderCallback(char* data, size_t size, size_t nitems, void* userdata);
// CURLOPT_SEEKFUNCTION; `userdata` is a ReadSource. Only rewinds within the
// caller's buffer, counted from its start, are allowed.
int SeekCallback(void* userdata, curl_off_t offset, int origin);
// CURLOPT_PREREQFUNCTION; `userdata` is a SendGuard.
int PrereqCallback(void* userdata, char* remoteIp, char* localIp, int remotePort, int localPort);
// CURLOPT_OPENSOCKETFUNCTION: every connection socket is close-on-exec, so
// a process the host starts does not inherit the pool's connections.
curl_socket_t OpenSocketCallback(void* userdata, curlsocktype purpose,
                                 struct curl_sockaddr* address);

}  // namespace LIBCURL

#endif  // ZUCLOUD_PLATFORM_TRANSFER_CALLBACKS_H
