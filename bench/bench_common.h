// Helpers shared by the upload benchmarks: the account they log in with,
// the measured loop over the files named and its result line.
//
// Each benchmark program runs one upload (the blob program: one UploadFile
// per file named, after one init) and prints one line
//   RESULT {"ok":true,"bytes":...,"wall_s":...,"user_s":...,"sys_s":...,"maxrss_kib":...}
// on stdout, which scripts/bench.sh collects. Wall and CPU time cover the
// UploadFile call(s) only (log-in and set-up happen before the clock starts);
// peak RSS is the whole process's, which did nothing but this upload.
// "start_unix_s" is the wall-clock time the measurement started (seconds
// since the epoch), so that a driver can tell the server's records of the
// upload from those of the log-in and set-up before it.
#ifndef ZUCLOUD_BENCH_COMMON_H
#define ZUCLOUD_BENCH_COMMON_H

#include <sys/resource.h>
#include <sys/time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace zubench {

inline double Seconds(const timeval& tv) {
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

// CPU time of the whole process (every thread, joined ones included).
struct CpuSample {
  double user = 0;
  double system = 0;
  long maxRssKiB = 0;

  static CpuSample Now() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    CpuSample sample;
    sample.user = Seconds(usage.ru_utime);
    sample.system = Seconds(usage.ru_stime);
    sample.maxRssKiB = usage.ru_maxrss;
    return sample;
  }
};

// Times one operation: wall clock and the process's CPU time around it.
class Measurement {
 public:
  void start() {
    m_cpuStart = CpuSample::Now();
    m_startUnix =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    m_wallStart = std::chrono::steady_clock::now();
  }
  void stop() {
    m_wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_wallStart).count();
    m_cpuEnd = CpuSample::Now();
  }

  void print(bool ok, unsigned long long bytes, const std::string& message) const {
    std::string escaped;
    for (char c : message) {
      if (c == '"' || c == '\\') escaped += '\\';
      if (static_cast<unsigned char>(c) < 0x20) continue;
      escaped += c;
    }
    std::printf(
        "RESULT {\"ok\":%s,\"bytes\":%llu,\"wall_s\":%.6f,\"user_s\":%.6f,\"sys_s\":%.6f,"
        "\"maxrss_kib\":%ld,\"start_unix_s\":%.6f,\"message\":\"%s\"}\n",
        ok ? "true" : "false", bytes, m_wall, m_cpuEnd.user - m_cpuStart.user,
        m_cpuEnd.system - m_cpuStart.system, CpuSample::Now().maxRssKiB, m_startUnix,
        escaped.c_str());
    std::fflush(stdout);
  }

 private:
  std::chrono::steady_clock::time_point m_wallStart{};
  double m_wall = 0;
  double m_startUnix = 0;
  CpuSample m_cpuStart;
  CpuSample m_cpuEnd;
};

// Reads a required environment variable or ends the program with status 2.
inline std::string RequiredEnv(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') {
    std::fprintf(stderr, "benchmark: environment variable %s is not set\n", name);
    std::exit(2);
  }
  return value;
}

// Splits "/dir/name" into "/dir/" and "name" (the services join the two as
// given).
inline void SplitPath(const std::string& path, std::string& dir, std::string& name) {
  const std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) {
    dir = "./";
    name = path;
  } else {
    dir = path.substr(0, slash + 1);
    name = path.substr(slash + 1);
  }
}

// Bytes of the files named by argv[1] to argv[argc - 1] together.
inline unsigned long long FileBytes(int argc, char** argv) {
  unsigned long long bytes = 0;
  for (int i = 1; i < argc; ++i) {
    if (FILE* f = std::fopen(argv[i], "rb")) {
      std::fseek(f, 0, SEEK_END);
      bytes += static_cast<unsigned long long>(std::ftell(f));
      std::fclose(f);
    }
  }
  return bytes;
}

inline std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
  return out;
}

// The account (BENCH_USER, BENCH_PASSWORD) and deployment (BENCH_GUID) a
// benchmark logs in with.
struct Account {
  std::string user;
  std::string password;
  std::string guid;
};

// Ends the program with status 2 and a usage line unless a file is named;
// otherwise reads the account from the environment.
inline Account AccountForFiles(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE...\n", argv[0]);
    std::exit(2);
  }
  return Account{RequiredEnv("BENCH_USER"), RequiredEnv("BENCH_PASSWORD"),
                 RequiredEnv("BENCH_GUID")};
}

// Measures `upload(dir, name, message)` (a service's UploadFile, 1 on
// success) of the files named by argv[1] to argv[argc - 1], in order,
// stopping at the first that fails; prints the RESULT line and returns the
// program's exit status.
template <class Upload>
int MeasureUploads(int argc, char** argv, Upload upload) {
  Measurement measurement;
  std::wstring message;
  int result = 1;
  measurement.start();
  for (int i = 1; i < argc && result == 1; ++i) {
    std::string dir;
    std::string name;
    SplitPath(argv[i], dir, name);
    result = upload(dir, name, message);
  }
  measurement.stop();

  measurement.print(result == 1, FileBytes(argc, argv), Narrow(message));
  return result == 1 ? 0 : 1;
}

}  // namespace zubench

#endif  // ZUCLOUD_BENCH_COMMON_H
