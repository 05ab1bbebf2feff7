// NewEasyHandle (see CloseOnExec.h).
//
// The descriptors that appear during the priming transfer are found by
// listing /proc/self/fd before and after it. Only AF_UNIX sockets without
// FD_CLOEXEC are changed: libcurl's pair is exactly that. Primings run one
// at a time, and each is one call that returns before any network step, so
// a descriptor another thread opens at that moment is left alone unless it
// is such a socket too (the gateway's connection sockets never are: they
// are made close-on-exec). The check reads a descriptor with getsockopt and
// fcntl only.
#include "platform/http/CloseOnExec.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <vector>

#include "platform/threads/ZuSync.h"

namespace LIBCURL {
namespace {

// The open descriptors of this process, sorted; empty when they cannot be
// listed.
std::vector<int> OpenDescriptors() {
  std::vector<int> fds;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return fds;
  const int own = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == own) continue;
    fds.push_back(static_cast<int>(fd));
  }
  ::closedir(dir);
  std::sort(fds.begin(), fds.end());
  return fds;
}

// getsockopt fails (ENOTSOCK) for anything but a socket.
bool IsInheritableUnixSocket(int fd) {
  int domain = 0;
  socklen_t length = sizeof domain;
  if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0 || domain != AF_UNIX) {
    return false;
  }
  const int flags = ::fcntl(fd, F_GETFD);
  return flags >= 0 && (flags & FD_CLOEXEC) == 0;
}

// One priming at a time: two at once would each see the other's pair among
// its new descriptors.
zu::Mutex g_primingMutex;

}  // namespace

CURL* NewEasyHandle() {
  CURL* easy = curl_easy_init();
  if (easy == nullptr) return nullptr;
  zu::MutexLock lock(g_primingMutex);
  const std::vector<int> before = OpenDescriptors();
  // Without a URL the transfer stops at its first check ("No URL set"),
  // after curl_easy_perform has made the handle's multi handle and before
  // anything else is set up for it: in particular no TLS session cache of
  // the handle's own, which a share joined later would replace without
  // freeing.
  curl_easy_perform(easy);
  const std::vector<int> after = OpenDescriptors();
  std::vector<int> added;
  std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                      std::back_inserter(added));
  for (int fd : added) {
    if (IsInheritableUnixSocket(fd)) ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
  }
  return easy;
}

}  // namespace LIBCURL
