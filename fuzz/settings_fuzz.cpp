// The settings file reader: zu::ParseSettingsText, the file loader, the
// ZUGlobalParam / ZUPlatformInfo lookups (int, string, unsigned) and the
// service settings built on them.
//
// Input: the whole settings file.
//
// Checked beyond memory safety:
//  - section names, keys and values come out trimmed, on one line, keys
//    non-empty and without '=';
//  - loading the same text from a file gives the same sections;
//  - the int lookup succeeds exactly for a whole signed decimal within the
//    32-bit range, the unsigned one exactly for whole decimal digits within
//    unsigned long, each with the value a reference conversion gives; a
//    failed int lookup leaves its output unchanged;
//  - the blob settings stay within their documented ranges, and the
//    keep-alive times are the numbers given when the gateway can take them
//    (never a wrapped negative number), else the defaults.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "platform/host/ZuSettings.h"
#include "session/ServiceSettings.h"

namespace {

std::string gDir;
std::string gPath;

void RemoveConfig() {
  std::remove(gPath.c_str());
  rmdir(gDir.c_str());
}

bool AllDigits(const std::string& s, size_t from) {
  if (from >= s.size()) return false;
  for (size_t i = from; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
  }
  return true;
}

// Reference conversions, written independently of the library's.
bool RefInt32(const std::string& s, int& out) {
  const size_t from = !s.empty() && (s[0] == '+' || s[0] == '-') ? 1 : 0;
  if (!AllDigits(s, from)) return false;
  errno = 0;
  const long long v = std::strtoll(s.c_str(), nullptr, 10);
  if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  out = static_cast<int>(v);
  return true;
}

bool RefUnsigned(const std::string& s, unsigned long& out) {
  if (!AllDigits(s, 0)) return false;
  errno = 0;
  const unsigned long long v = std::strtoull(s.c_str(), nullptr, 10);
  if (errno == ERANGE || v > ULONG_MAX) return false;
  out = static_cast<unsigned long>(v);
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

bool Trimmed(const std::string& s) {
  return s.empty() || (!IsBlank(s.front()) && !IsBlank(s.back()));
}

void WriteConfig(const std::string& text) {
  // A new file each time: rewriting one in place makes ext4 flush it to disk
  // on close, which would bound the run to a few hundred inputs a second.
  std::remove(gPath.c_str());
  FILE* f = std::fopen(gPath.c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  FUZZ_CHECK(std::fwrite(text.data(), 1, text.size(), f) == text.size());
  FUZZ_CHECK(std::fclose(f) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Memory-backed when there is /dev/shm.
  char shmPattern[] = "/dev/shm/zucloud-settings-fuzz-XXXXXX";
  char tmpPattern[] = "/tmp/zucloud-settings-fuzz-XXXXXX";
  const char* dir = mkdtemp(shmPattern);
  if (dir == nullptr) dir = mkdtemp(tmpPattern);
  if (dir == nullptr) std::abort();
  gDir = dir;
  gPath = gDir + "/zucloud.conf";
  setenv("ZUCLOUD_CONFIG", gPath.c_str(), 1);
  std::atexit(RemoveConfig);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const zu::SettingsSections sections = zu::ParseSettingsText(text);

  for (const auto& section : sections) {
    FUZZ_CHECK(Trimmed(section.first));
    FUZZ_CHECK(section.first.find('\n') == std::string::npos);
    for (const auto& entry : section.second) {
      FUZZ_CHECK(!entry.first.empty());
      FUZZ_CHECK(Trimmed(entry.first) && Trimmed(entry.second));
      FUZZ_CHECK(entry.first.find_first_of("=\n") == std::string::npos);
      FUZZ_CHECK(entry.second.find('\n') == std::string::npos);
    }
  }

  WriteConfig(text);
  FUZZ_CHECK(zu::LoadSettingsFile(gPath) == sections);

  const ZUGlobalParam global;
  const ZUPlatformInfo platform;
  for (const auto& section : sections) {
    const bool isGlobal = section.first == "GlobalParam";
    for (const auto& entry : section.second) {
      const std::string& key = entry.first;
      const std::string& value = entry.second;
      unsigned long number = 12345;
      unsigned long expected = 0;
      const int found = platform.getNumber(section.first, key, &number);
      if (!isGlobal && RefUnsigned(value, expected)) {
        FUZZ_CHECK(found == 1 && number == expected);
      } else {
        FUZZ_CHECK(found == 0 && number == 12345);
      }
      if (!isGlobal) continue;

      int integer = -7;
      int expectedInt = 0;
      const int rc = global.get(key, integer);
      if (RefInt32(value, expectedInt)) {
        FUZZ_CHECK(rc == 0 && integer == expectedInt);
      } else {
        FUZZ_CHECK(rc != 0 && integer == -7);
      }
      std::string word = "unchanged";
      FUZZ_CHECK(global.get(key, word) == 0 && word == value);
    }
  }
  // A name no line can produce is never found and changes nothing.
  int integer = -7;
  std::string word = "unchanged";
  FUZZ_CHECK(global.get("no\nsuch key", integer) != 0 && integer == -7);
  FUZZ_CHECK(global.get("no\nsuch key", word) != 0 && word == "unchanged");

  const zu::BlobSettings blob = zu::ReadBlobSettings();
  FUZZ_CHECK(blob.retryCount >= 1);
  FUZZ_CHECK(blob.uploadBlobSize >= 1048576);
  FUZZ_CHECK(blob.uploadStreamCount >= 1);
  FUZZ_CHECK(blob.maximumBackoffSeconds >= 0 && blob.maximumBackoffSeconds <= 3600);
  // Keep-alive times: the number when it fits the gateway's long, else the
  // default.
  long long idle = 120;
  long long interval = 60;
  bool enabled = false;
  auto flags = sections.find("UpdateFlags");
  if (flags != sections.end()) {
    unsigned long v = 0;
    auto it = flags->second.find("nEnableTCPKeepAlive");
    if (it != flags->second.end() && RefUnsigned(it->second, v)) enabled = v != 0;
    it = flags->second.find("nKeepIdleSeconds");
    if (it != flags->second.end() && RefUnsigned(it->second, v) && v <= LONG_MAX) {
      idle = static_cast<long long>(v);
    }
    it = flags->second.find("nKeepIntervalSeconds");
    if (it != flags->second.end() && RefUnsigned(it->second, v) && v <= LONG_MAX) {
      interval = static_cast<long long>(v);
    }
  }
  const zu::KeepAliveSettings keepAlive = zu::ReadKeepAliveSettings();
  FUZZ_CHECK(keepAlive.enabled == enabled);
  FUZZ_CHECK(keepAlive.idleSeconds == idle && keepAlive.intervalSeconds == interval);
  // The "Cloud URL" setting wins whenever present (even empty); otherwise
  // the default.
  std::string cloudUrl;
  if (global.get("Cloud URL", cloudUrl) == 0) {
    FUZZ_CHECK(zu::ResolveCloudUrl("") == cloudUrl);
  } else {
    FUZZ_CHECK(zu::ResolveCloudUrl("") == zu::kDefaultCloudUrl);
  }
  return 0;
}
