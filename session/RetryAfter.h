// The wait a refusal's Retry-After header asks for: delta seconds (any
// number of digits, leading zeros included) or an HTTP date, at most a day;
// 0 when there is none or it cannot be read, or the date has passed. The
// gateway records the header as the server wrote it
// (LIBCURL::RetryAfterHeaderOnThisThread); the retry policy waits at least
// this long, up to its own cap (RetryPolicy.h).
#ifndef ZUCLOUD_SESSION_RETRY_AFTER_H
#define ZUCLOUD_SESSION_RETRY_AFTER_H

#include <ctime>

#include "platform/http/ZuInternetGateway.h"

namespace zu {

// Reads the first Retry-After of `replyHeaders` (any letter case) at time
// `now`.
long RetryAfterSeconds(const ZuCURL::commandInfoList& replyHeaders, std::time_t now);

// The wait the last request this thread handed to a gateway since the last
// LIBCURL::ClearRequestRefusedOnThisThread was told by its refusal's
// Retry-After, read at the time its reply came; 0 when it had none.
long RetryAfterOnThisThread();
// Notes a refusal's Retry-After of `seconds` on this thread, as a gateway
// does (for gateways of tests).
void NoteRetryAfterOnThisThread(long seconds);

}  // namespace zu

#endif  // ZUCLOUD_SESSION_RETRY_AFTER_H
