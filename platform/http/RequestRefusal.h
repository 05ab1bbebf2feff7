// Requests the gateway refuses to send.
//
// libcurl passes header lines through as given, so a CR or LF in a value
// would let a server-supplied token add headers or a whole second request
// to the connection, and a NUL would silently cut the value. A control
// character in a URL is refused for the same reason. Every request is
// checked before anything is sent; the texts name no header value and no
// URL, since either may carry a secret.
#ifndef ZUCLOUD_PLATFORM_REQUEST_REFUSAL_H
#define ZUCLOUD_PLATFORM_REQUEST_REFUSAL_H

#include <string>

#include "platform/http/ZuInternetGateway.h"

namespace LIBCURL {

// True when `text` holds a byte below 0x20 or DEL (NUL included).
bool HasControlCharacter(const std::string& text);

// Why a request to `url` with `headers` must not be sent, or "" when it may.
std::string RefusedRequestText(const std::string& url, const ZuCURL::commandInfoList& headers);

}  // namespace LIBCURL

#endif  // ZUCLOUD_PLATFORM_REQUEST_REFUSAL_H
