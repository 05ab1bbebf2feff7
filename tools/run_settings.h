// The settings file the library reads for one run of zucloud-upload.
#ifndef ZUCLOUD_TOOLS_RUN_SETTINGS_H
#define ZUCLOUD_TOOLS_RUN_SETTINGS_H

#include <string>

#include "upload_options.h"

namespace zutool {

// The settings file the library reads for this run: `configFile` itself
// (`copy` -1), or, when --md5, --verify, --tier, --encrypt-key,
// --keep-page-cache, --proxy or --proxy-bypass add settings, a private copy
// of it ending with them (a later key of a section wins over an earlier
// one), the proxy URL with the proxy's credentials.
//
// The copy is never linked in the file system, so that a run killed at any
// moment leaves nothing behind: it is an unnamed file (O_TMPFILE, mode
// 0600) in TMPDIR (or /tmp), or, where TMPDIR's file system has no unnamed
// files, an anonymous memory file (memfd, mode 0600). `path` is then
// /proc/self/fd/N, which only this process's user can open, and `copy` the
// descriptor N, which must stay open while the library runs. False with
// `error` when the copy cannot be made.
bool SettingsForRun(const UploadOptions& options, std::string& path, int& copy, std::string& error);

// `url` with "user:password@" (each percent-encoded) put before its host.
std::string ProxyUrlWithCredentials(const std::string& url, const std::string& user,
                                    const std::string& password);

}  // namespace zutool

#endif  // ZUCLOUD_TOOLS_RUN_SETTINGS_H
