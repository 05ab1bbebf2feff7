#include "upload_options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "command_line.h"
#include "local_files.h"
#include "option_checks.h"
#include "secret_sources.h"

namespace zutool {
namespace {

bool ParseInt(const std::string& text, long long min, long long max, long long& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < min || value > max) return false;
  out = value;
  return true;
}

// The name of an option the tool does not know, for the error message: the
// text after "=" (or after a one-letter option) may be a secret typed in the
// wrong place, so it is never repeated.
std::string UnknownOptionName(const std::string& arg) {
  size_t keep = 2;
  if (arg.compare(0, 2, "--") == 0) {
    keep = arg.find('=');
    if (keep != std::string::npos) ++keep;
  }
  if (keep == std::string::npos || keep >= arg.size()) return arg;
  return arg.substr(0, keep) + "...";
}

// Options that take a text value.
struct TextOption {
  const char* name;
  std::string& (*target)(CommandLine&);
};

const TextOption kTextOptions[] = {
    {"--service", [](CommandLine& c) -> std::string& { return c.options.service; }},
    {"--config", [](CommandLine& c) -> std::string& { return c.options.configFile; }},
    {"--user", [](CommandLine& c) -> std::string& { return c.options.user; }},
    {"--password-env", [](CommandLine& c) -> std::string& { return c.passwordEnv; }},
    {"--password-file", [](CommandLine& c) -> std::string& { return c.passwordFile; }},
    {"--vestrum-guid", [](CommandLine& c) -> std::string& { return c.options.vestrumGUID; }},
    {"--set-id", [](CommandLine& c) -> std::string& { return c.options.setId; }},
    {"--remote-folder", [](CommandLine& c) -> std::string& { return c.options.remoteFolder; }},
    {"--focus", [](CommandLine& c) -> std::string& { return c.options.focus; }},
    {"--login-extra", [](CommandLine& c) -> std::string& { return c.options.loginExtra; }},
    {"--tier", [](CommandLine& c) -> std::string& { return c.tier; }},
    {"--proxy", [](CommandLine& c) -> std::string& { return c.options.proxyUrl; }},
    {"--proxy-bypass", [](CommandLine& c) -> std::string& { return c.options.proxyBypass; }},
    {"--proxy-user", [](CommandLine& c) -> std::string& { return c.options.proxyUser; }},
    {"--proxy-password-env", [](CommandLine& c) -> std::string& { return c.proxyPasswordEnv; }},
    {"--proxy-password-file", [](CommandLine& c) -> std::string& { return c.proxyPasswordFile; }},
    {"--encrypt-key", [](CommandLine& c) -> std::string& { return c.options.encryptionKeyFile; }},
};

// Options that take a whole decimal number within [min, max].
struct NumberOption {
  const char* name;
  long long min;
  long long max;
  void (*store)(UploadOptions&, long long);
};

const NumberOption kNumberOptions[] = {
    {"--vestrum-id", INT_MIN, INT_MAX,
     [](UploadOptions& o, long long n) { o.vestrumId = static_cast<int>(n); }},
    {"--job-id", 0, UINT_MAX,
     [](UploadOptions& o, long long n) { o.jobId = static_cast<unsigned int>(n); }},
    {"--full-job-id", 0, UINT_MAX,
     [](UploadOptions& o, long long n) { o.fullJobId = static_cast<unsigned int>(n); }},
    {"--backup-level", INT_MIN, INT_MAX,
     [](UploadOptions& o, long long n) { o.backupLevel = static_cast<int>(n); }},
};

// Options that take no value and set a flag.
struct FlagOption {
  const char* name;
  bool UploadOptions::*flag;
};

const FlagOption kFlagOptions[] = {
    {"--quiet", &UploadOptions::quiet},
    {"--allow-partial", &UploadOptions::allowPartial},
    {"--md5", &UploadOptions::contentMd5},
    {"--verify", &UploadOptions::verify},
    {"--keep-page-cache", &UploadOptions::keepPageCache},
};

// What reading one argument leads to.
enum class ArgumentOutcome { kNext, kHelp, kVersion, kError };

// Reads argv[i] (and its value, moving `i` past it).
// A value comes as the next argument or, for a long option, after "="
// ("--tier=Cool").
ArgumentOutcome ReadArgument(int argc, char** argv, int& i, CommandLine& line, std::string& error) {
  std::string arg = argv[i];
  std::string attached;
  bool hasAttached = false;
  const size_t eq = arg.find('=');
  if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos && arg != "--password" &&
      arg.compare(0, 11, "--password=") != 0) {
    attached = arg.substr(eq + 1);
    arg = arg.substr(0, eq);
    hasAttached = true;
  }
  auto value = [&](std::string& out) {
    if (hasAttached) {
      out = attached;
      return true;
    }
    if (i + 1 >= argc) {
      error = "missing value for " + arg;
      return false;
    }
    const std::string text = argv[++i];
    // A line break would start a line of its own in the log and in what
    // the tool prints; the value itself may be a secret, so it is not shown.
    if (text.find_first_of("\r\n") != std::string::npos) {
      error = "the value of " + arg + " holds a line break (CR or LF)";
      return false;
    }
    out = text;
    return true;
  };
  for (const TextOption& option : kTextOptions) {
    if (arg != option.name) continue;
    return value(option.target(line)) ? ArgumentOutcome::kNext : ArgumentOutcome::kError;
  }
  for (const NumberOption& option : kNumberOptions) {
    if (arg != option.name) continue;
    std::string text;
    long long n = 0;
    if (!value(text)) return ArgumentOutcome::kError;
    if (!ParseInt(text, option.min, option.max, n)) {
      error = "invalid number for " + arg + ": " + text;
      return ArgumentOutcome::kError;
    }
    option.store(line.options, n);
    return ArgumentOutcome::kNext;
  }
  if (arg == "--password" || arg.compare(0, 11, "--password=") == 0) {
    error =
        "--password is not accepted: other users can read command lines; use "
        "--password-env or --password-file";
    return ArgumentOutcome::kError;
  }
  if (hasAttached) {
    // Only options that take a value take one after "=".
    error = "unknown option " + UnknownOptionName(argv[i]);
    return ArgumentOutcome::kError;
  }
  for (const FlagOption& option : kFlagOptions) {
    if (arg != option.name) continue;
    line.options.*option.flag = true;
    return ArgumentOutcome::kNext;
  }
  if (arg == "--help" || arg == "-h") return ArgumentOutcome::kHelp;
  if (arg == "--version") return ArgumentOutcome::kVersion;
  if (arg.size() > 1 && arg[0] == '-') {
    error = "unknown option " + UnknownOptionName(arg);
    return ArgumentOutcome::kError;
  }
  line.paths.push_back(arg);
  return ArgumentOutcome::kNext;
}

}  // namespace

ParseOutcome ParseUploadOptions(int argc, char** argv, UploadOptions& options, std::string& error) {
  CommandLine line{options, {}, {}, {}, {}, {}, {}};
  for (int i = 1; i < argc; ++i) {
    switch (ReadArgument(argc, argv, i, line, error)) {
      case ArgumentOutcome::kNext:
        break;
      case ArgumentOutcome::kHelp:
        return ParseOutcome::kHelp;
      case ArgumentOutcome::kVersion:
        return ParseOutcome::kVersion;
      case ArgumentOutcome::kError:
        return ParseOutcome::kError;
    }
  }
  if (!CheckServiceAndSettings(options, error) || !CheckBlobSettings(line, error) ||
      !ReadCredentials(line, error) || !ReadProxyCredentials(line, error) ||
      !CollectFiles(line, error)) {
    return ParseOutcome::kError;
  }
  return ParseOutcome::kUpload;
}

}  // namespace zutool
