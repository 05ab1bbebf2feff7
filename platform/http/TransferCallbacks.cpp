#include "platform/http/TransferCallbacks.h"

#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "platform/http/SendPacer.h"
#include "platform/http/ZuInternetGateway.h"

namespace LIBCURL {

size_t ReadCallback(char* buffer, size_t size, size_t nitems, void* userdata) {
  auto* src = static_cast<ReadSource*>(userdata);
  size_t room = size * nitems;
  size_t left = src->length - src->offset;
  size_t n = left < room ? left : room;
  if (n > 0) {
    if (src->paced) zu::SendPacer::Global().Acquire(n);
    std::memcpy(buffer, src->data + src->offset, n);
    src->offset += n;
  }
  return n;
}

size_t WriteCallback(char* ptr, size_t size, size_t nmemb, void* userdata) {
  auto* sink = static_cast<WriteSink*>(userdata);
  size_t n = size * nmemb;
  if (static_cast<long long>(sink->body.size() + n) > sink->cap) {
    sink->capExceeded = true;
    return 0;  // makes libcurl abort the transfer with CURLE_WRITE_ERROR
  }
  sink->body.append(ptr, n);
  return n;
}

// A status line (of an interim reply, or the final one) starts the list
// afresh; each value loses its leading blanks and its line end.
size_t HeaderCallback(char* data, size_t size, size_t nitems, void* userdata) {
  auto* headers = static_cast<ZuCURL::commandInfoList*>(userdata);
  const size_t n = size * nitems;
  std::string line(data, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (line.compare(0, 5, "HTTP/") == 0) {
    headers->clear();
    return n;
  }
  const size_t colon = line.find(':');
  if (colon == std::string::npos) return n;
  const size_t value = line.find_first_not_of(" \t", colon + 1);
  headers->emplace_back(line.substr(0, colon),
                        value == std::string::npos ? std::string() : line.substr(value));
  return n;
}

int SeekCallback(void* userdata, curl_off_t offset, int origin) {
  auto* src = static_cast<ReadSource*>(userdata);
  if (origin != SEEK_SET || offset < 0 || static_cast<unsigned long long>(offset) > src->length)
    return CURL_SEEKFUNC_CANTSEEK;
  src->offset = static_cast<size_t>(offset);
  return CURL_SEEKFUNC_OK;
}

int PrereqCallback(void* userdata, char* /*remoteIp*/, char* /*localIp*/, int /*remotePort*/,
                   int /*localPort*/) {
  auto* guard = static_cast<SendGuard*>(userdata);
  if (++guard->starts > 1) {
    guard->resendRefused = true;
    return CURL_PREREQFUNC_ABORT;
  }
  return CURL_PREREQFUNC_OK;
}

curl_socket_t OpenSocketCallback(void* /*userdata*/, curlsocktype /*purpose*/,
                                 struct curl_sockaddr* address) {
  return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

}  // namespace LIBCURL
