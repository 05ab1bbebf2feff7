// Login to the web console and the account check.
#ifndef ZUCLOUD_SESSION_LOGIN_H
#define ZUCLOUD_SESSION_LOGIN_H

#include <string>

#include "session/SessionParams.h"

namespace zu {

// POSTs a credential check to params.url + "/api/Login" and returns 1 with
// the session token, or 0 with a user-facing message in `error`. Failed
// attempts wait kRetryWaitMs (120000 ms) unless `ignoreRetryWait`; a reply
// that refuses the credentials (an error entry in the CheckCredentialResp)
// ends the login at once, with the console's text in `error`. The token is
// registered with the log's redaction so it never reaches the log.
int Login(const SessionParams& params, std::wstring& error, std::string& sessionToken,
          bool ignoreRetryWait);

// 1 when the account can log in (attempts do not wait), else 0.
int ValidateAccount(const SessionParams& params, std::wstring& error);

}  // namespace zu

#endif  // ZUCLOUD_SESSION_LOGIN_H
