// The libcurl options of one transfer beyond its callbacks: the method, the
// header list and the body. The options every transfer and the
// reachability probe share, and the wiring of the callbacks, are set by the
// gateway's Impl::applyCommonOptions and Impl::applyRequestOptions, defined
// in TransferOptions.cpp too. Options are (re)applied before every transfer
// from the settings the gateway holds, so each setopt result is checked at
// one place and a refused option fails the request instead of being
// silently ignored.
#ifndef ZUCLOUD_PLATFORM_TRANSFER_OPTIONS_H
#define ZUCLOUD_PLATFORM_TRANSFER_OPTIONS_H

#include <curl/curl.h>

#include <memory>
#include <string>

#include "platform/http/ZuInternetGateway.h"

namespace LIBCURL {

enum class Method { Get, Post, Put, Head };

// Owns the header list of one request.
struct HeaderListFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, HeaderListFree>;

// The caller's headers in order, then suppression of the headers libcurl
// would add on its own ("Expect: 100-continue" for large bodies, a form
// Content-Type for POST) unless the caller gave them. False when a line
// could not be added (out of memory).
bool BuildHeaderList(const ZuCURL::commandInfoList& headers, Method method, HeaderList& list);

// Sets the options that select the method and hand over the body (`length`
// bytes at `data`, read in place; through the read callback when `paced`);
// returns the first option libcurl refuses.
CURLcode ApplyBodyOptions(CURL* h, Method method, bool paced, const char* data, long length);

}  // namespace LIBCURL

#endif  // ZUCLOUD_PLATFORM_TRANSFER_OPTIONS_H
