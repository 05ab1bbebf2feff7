// Where the console's and the proxy's passwords come from: an environment
// variable or a file named on the command line, never the command line.
#ifndef ZUCLOUD_TOOLS_SECRET_SOURCES_H
#define ZUCLOUD_TOOLS_SECRET_SOURCES_H

#include <string>

#include "command_line.h"

namespace zutool {

// The password from the environment variable or the file named, then the
// credentials and the deployment GUID.
bool ReadCredentials(CommandLine& line, std::string& error);

// The proxy's credentials: never in --proxy, where other users could read
// them; the user from --proxy-user and the password from the environment
// variable or the file named, as the console password.
bool ReadProxyCredentials(CommandLine& line, std::string& error);

}  // namespace zutool

#endif  // ZUCLOUD_TOOLS_SECRET_SOURCES_H
