// Small platform pieces: JSON codec, string conversion, file size, Base64,
// waits, locks on private files, platform focus and the URL encoders.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ZuUrlEncode.h"
#include "platform/host/FXFile.h"
#include "platform/host/PrivateFile.h"
#include "platform/host/PrivateLock.h"
#include "platform/host/PzSleep.h"
#include "platform/host/SequentialFile.h"
#include "platform/host/ZUPIFocus.h"
#include "platform/http/SendPacer.h"
#include "platform/text/Base64.h"
#include "platform/text/Decimal.h"
#include "platform/text/FXString.h"
#include "platform/text/Md5.h"
#include "platform/text/ZuJson.h"
#include "support/EnvChange.h"
#include "support/TestEnv.h"

namespace {

using zutest::ScopedEnv;
using zutest::TempDir;
using zutest::WriteFile;

// Runs `fn` on its own thread and reports whether it finished within
// `seconds`; a call that hangs is left behind (detached) and the test fails
// instead of hanging.
bool FinishesWithin(std::function<void()> fn, int seconds) {
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
  };
  auto state = std::make_shared<State>();
  std::thread worker([state, fn] {
    fn();
    std::lock_guard<std::mutex> lock(state->mutex);
    state->done = true;
    state->cv.notify_all();
  });
  std::unique_lock<std::mutex> lock(state->mutex);
  const bool finished =
      state->cv.wait_for(lock, std::chrono::seconds(seconds), [&] { return state->done; });
  lock.unlock();
  if (finished) {
    worker.join();
  } else {
    worker.detach();
  }
  return finished;
}

// ---------------------------------------------------------------------------
// ZuJson

// The one number reader: exact bounds, no overflow, nothing but digits.
TEST(DecimalTest, BoundsSignsAndGarbage) {
  struct Row {
    const char* text;
    zu::Signs signs;
    long long min, max;
    bool ok;
    long long value;
  };
  const Row rows[] = {
      {"2147483647", zu::Signs::kPlusOrMinus, INT_MIN, INT_MAX, true, INT_MAX},
      {"-2147483648", zu::Signs::kPlusOrMinus, INT_MIN, INT_MAX, true, INT_MIN},
      {"+7", zu::Signs::kPlusOrMinus, INT_MIN, INT_MAX, true, 7},
      {"-0", zu::Signs::kPlusOrMinus, 0, 5, true, 0},
      {"2147483648", zu::Signs::kPlusOrMinus, INT_MIN, INT_MAX, false, 0},
      {"-2147483649", zu::Signs::kPlusOrMinus, INT_MIN, INT_MAX, false, 0},
      {"-9223372036854775808", zu::Signs::kPlusOrMinus, LLONG_MIN, LLONG_MAX, true, LLONG_MIN},
      {"9223372036854775808", zu::Signs::kPlusOrMinus, LLONG_MIN, LLONG_MAX, false, 0},
      {"99999999999999999999999", zu::Signs::kPlusOrMinus, LLONG_MIN, LLONG_MAX, false, 0},
      {"+7", zu::Signs::kMinusOnly, -9, 9, false, 0},
      {"-3", zu::Signs::kPlusOrMinus, 0, 9, false, 0},
      {"", zu::Signs::kPlusOrMinus, -9, 9, false, 0},
      {"-", zu::Signs::kPlusOrMinus, -9, 9, false, 0},
      {" 1", zu::Signs::kPlusOrMinus, -9, 9, false, 0},
      {"1 ", zu::Signs::kPlusOrMinus, -9, 9, false, 0},
      {"1x", zu::Signs::kPlusOrMinus, -9, 9, false, 0},
      {"0x1", zu::Signs::kPlusOrMinus, -9, 9, false, 0},
      {"--1", zu::Signs::kPlusOrMinus, -9, 9, false, 0},
  };
  for (const Row& row : rows) {
    long long value = 12345;
    EXPECT_EQ(zu::ParseSignedDecimal(row.text, row.signs, row.min, row.max, value), row.ok)
        << row.text;
    EXPECT_EQ(value, row.ok ? row.value : 12345) << row.text;
  }
  unsigned long long u = 0;
  EXPECT_TRUE(zu::ParseDecimal("18446744073709551615", ~0ULL, u));
  EXPECT_EQ(u, ~0ULL);
  EXPECT_FALSE(zu::ParseDecimal("18446744073709551616", ~0ULL, u));
  EXPECT_FALSE(zu::ParseDecimal("4294967296", 4294967295ULL, u));
  EXPECT_FALSE(zu::ParseDecimal("+1", ~0ULL, u));
  EXPECT_TRUE(zu::ParseDecimal("9999999999999999999", u));    // 19 digits
  EXPECT_FALSE(zu::ParseDecimal("00000000000000000001", u));  // 20 digits
}

TEST(ZuJsonTest, RoundTripKeepsSignedness) {
  ZuJsonValue value = ZuJsonValue::Object();
  value.Set("JobId", 4294967295u);
  value.Set("Offset", static_cast<unsigned long long>(ULLONG_MAX));
  value.Set("Delta", -1);
  value.Set("Level", 3);
  value.Set("Name", "backup \xC3\xA9t\xC3\xA9.zip");
  value.Set("Done", true);
  ZuJsonValue files = ZuJsonValue::Array();
  files.Append("a");
  files.Append(7u);
  value.Set("Files", files);

  const std::string text = ZuJson::Serialize(value);
  EXPECT_NE(std::string::npos, text.find("\"JobId\":4294967295")) << text;
  EXPECT_NE(std::string::npos, text.find("\"Offset\":18446744073709551615")) << text;
  EXPECT_NE(std::string::npos, text.find("\"Delta\":-1")) << text;
  // Keys come out sorted.
  EXPECT_LT(text.find("\"Delta\""), text.find("\"JobId\""));

  ZuJsonValue parsed;
  ASSERT_EQ(1, ZuJson::Unserialize(text, parsed));
  EXPECT_TRUE(value == parsed);
  EXPECT_TRUE(parsed.Member("JobId").IsUnsigned());
  EXPECT_EQ(4294967295u, parsed.Member("JobId").Unsigned());
  EXPECT_TRUE(parsed.Member("Delta").IsInteger());
  EXPECT_FALSE(parsed.Member("Delta").IsUnsigned());
  EXPECT_EQ(-1, parsed.Member("Delta").Integer());
  EXPECT_EQ(text, ZuJson::Serialize(parsed));
}

TEST(ZuJsonTest, AcceptsOneValueWithSurroundingBlanks) {
  ZuJsonValue v;
  EXPECT_EQ(1, ZuJson::Unserialize(" \n\t{\"isSuccess\": true}\r\n ", v));
  EXPECT_TRUE(ZuJson::GetBoolValue(v, "isSuccess"));
  EXPECT_EQ(1, ZuJson::Unserialize("[]", v));
  EXPECT_TRUE(v.IsArray());
  EXPECT_EQ(1, ZuJson::Unserialize("\"text\"", v));
  EXPECT_EQ("text", v.String());
}

TEST(ZuJsonTest, GarbageIsRefusedAndLeavesTheValue) {
  const char* bad[] = {"",       "   ",       "{",         "{\"a\":1} x", "{\"a\":1}{}",
                       "[1,]",   "{'a':1}",   "nul",       "\xFF\xFE",    "{\"a\":1}//c",
                       "/*c*/1", "[\"\\x\"]", "{\"a\" 1}", "01",          "\"unterminated"};
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    ZuJsonValue v = ZuJsonValue::Object();
    v.Set("kept", 1);
    EXPECT_EQ(0, ZuJson::Unserialize(text, v));
    EXPECT_EQ(1, v.Member("kept").Integer());
  }
  // A NUL byte does not end the text: what follows it is still trailing garbage.
  ZuJsonValue v;
  EXPECT_EQ(0, ZuJson::Unserialize(std::string("{}\0{}", 5), v));
}

TEST(ZuJsonTest, DeepNestingIsRefusedWithoutCrash) {
  ZuJsonValue v;
  for (size_t depth : {600u, 100000u, 2000000u}) {
    SCOPED_TRACE(depth);
    const std::string arrays = std::string(depth, '[') + std::string(depth, ']');
    EXPECT_EQ(0, ZuJson::Unserialize(arrays, v));
    std::string objects;
    for (size_t i = 0; i < depth; ++i) objects += "{\"a\":";
    objects += "1" + std::string(depth, '}');
    EXPECT_EQ(0, ZuJson::Unserialize(objects, v));
    // Unbalanced and deep.
    EXPECT_EQ(0, ZuJson::Unserialize(std::string(depth, '['), v));
  }
  // Moderate nesting is fine, and brackets inside strings do not count.
  EXPECT_EQ(1, ZuJson::Unserialize(std::string(100, '[') + std::string(100, ']'), v));
  EXPECT_EQ(1, ZuJson::Unserialize("[\"" + std::string(100000, '[') + "\\\"\"]", v));
  ASSERT_TRUE(v.IsArray());
  EXPECT_EQ(100001u, v.Elements().at(0).String().size());
}

TEST(ZuJsonTest, GettersOnAbsentAndWrongTypes) {
  ZuJsonValue v;
  ASSERT_EQ(
      1, ZuJson::Unserialize(R"({"flag":true,"off":false,"str":"s","num":5,"arr":[1,2,3],"obj":{},)"
                             R"("boolText":"true"})",
                             v));
  EXPECT_TRUE(ZuJson::GetBoolValue(v, "flag"));
  EXPECT_FALSE(ZuJson::GetBoolValue(v, "off"));
  EXPECT_FALSE(ZuJson::GetBoolValue(v, "boolText"));
  EXPECT_FALSE(ZuJson::GetBoolValue(v, "num"));
  EXPECT_FALSE(ZuJson::GetBoolValue(v, "missing"));
  EXPECT_EQ("s", ZuJson::GetStringValue(v, "str"));
  EXPECT_EQ("", ZuJson::GetStringValue(v, "num"));
  EXPECT_EQ("", ZuJson::GetStringValue(v, "flag"));
  EXPECT_EQ("", ZuJson::GetStringValue(v, "missing"));
  std::vector<ZuJsonValue> arr;
  ASSERT_TRUE(ZuJson::GetArrayValue(v, "arr", arr));
  EXPECT_EQ(3u, arr.size());
  EXPECT_FALSE(ZuJson::GetArrayValue(v, "obj", arr));
  EXPECT_FALSE(ZuJson::GetArrayValue(v, "str", arr));
  EXPECT_FALSE(ZuJson::GetArrayValue(v, "missing", arr));

  // Not an object at all.
  ZuJsonValue array = ZuJsonValue::Array();
  array.Append(true);
  for (const ZuJsonValue& other : {ZuJsonValue(), array, ZuJsonValue("flag"), ZuJsonValue(1)}) {
    EXPECT_FALSE(ZuJson::GetBoolValue(other, "flag"));
    EXPECT_EQ("", ZuJson::GetStringValue(other, "flag"));
    EXPECT_FALSE(ZuJson::GetArrayValue(other, "flag", arr));
  }
}

TEST(ZuJsonTest, SerializeNeverThrowsOnInvalidUtf8) {
  ZuJsonValue v = ZuJsonValue::Object();
  v.Set("name", std::string("bad \xFF byte"));
  std::string text;
  ASSERT_NO_THROW(text = ZuJson::Serialize(v));
  ZuJsonValue back;
  ASSERT_EQ(1, ZuJson::Unserialize(text, back));
  EXPECT_EQ("bad \xEF\xBF\xBD byte", back.Member("name").String());
}

// ---------------------------------------------------------------------------
// FXString

TEST(FXStringTest, RoundTrips) {
  const std::wstring wide =
      L"Gr\u00FC\u00DFe \u20AC \U0001F600 \u007F\u0080\u07FF\u0800\uFFFF"
      L"\U00010000\U0010FFFF";
  const std::string narrow = FXString::ToString(wide);
  EXPECT_EQ(wide, FXString::ToWstring(narrow));
  EXPECT_EQ(std::string("Gr\xC3\xBC\xC3\x9F"
                        "e \xE2\x82\xAC \xF0\x9F\x98\x80"),
            narrow.substr(0, 16));
  EXPECT_EQ("", FXString::ToString(L""));
  EXPECT_EQ(L"", FXString::ToWstring(""));
  const std::string withNul("a\0b", 3);
  EXPECT_EQ(std::wstring(L"a\0b", 3), FXString::ToWstring(withNul));
  EXPECT_EQ(withNul, FXString::ToString(std::wstring(L"a\0b", 3)));
}

TEST(FXStringTest, InvalidUtf8BecomesReplacementCharacters) {
  struct Case {
    std::string in;
    std::wstring out;
  };
  const Case cases[] = {
      {"\xFF", L"\uFFFD"},
      {"a\x80z", L"a\uFFFDz"},
      {"a\xC3", L"a\uFFFD"},  // cut short at the end
      {"\xE2\x82"
       "A",
       L"\uFFFD"
       L"A"},                                             // cut short before ASCII
      {"\xC0\xAF", L"\uFFFD\uFFFD"},                      // overlong '/'
      {"\xE0\x80\xAF", L"\uFFFD\uFFFD\uFFFD"},            // overlong, three bytes
      {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},            // UTF-16 surrogate
      {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xF0\x9F\x98", L"\uFFFD"},                        // truncated emoji
      {"\xF8\x88\x80\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(c.out, FXString::ToWstring(c.in));
  }
}

TEST(FXStringTest, UnencodableCodePointsBecomeReplacementCharacters) {
  const std::string replacement = "\xEF\xBF\xBD";
  EXPECT_EQ("a" + replacement + "b",
            FXString::ToString(std::wstring{L'a', static_cast<wchar_t>(0xD800), L'b'}));
  EXPECT_EQ(replacement, FXString::ToString(std::wstring(1, static_cast<wchar_t>(0x110000))));
  EXPECT_EQ(replacement, FXString::ToString(std::wstring(1, static_cast<wchar_t>(-1))));
}

TEST(FXStringTest, CompareLeftNoCase) {
  EXPECT_EQ(0, FXString::CompareLeftNoCase("Bearer abc", "bEARER"));
  EXPECT_EQ(0, FXString::CompareLeftNoCase("HTTPS://host", "https://"));
  EXPECT_EQ(0, FXString::CompareLeftNoCase("same", "SAME"));
  EXPECT_EQ(0, FXString::CompareLeftNoCase("anything", ""));
  EXPECT_EQ(0, FXString::CompareLeftNoCase("", ""));
  EXPECT_NE(0, FXString::CompareLeftNoCase("abc", "abcd"));
  EXPECT_NE(0, FXString::CompareLeftNoCase("", "a"));
  EXPECT_NE(0, FXString::CompareLeftNoCase("abd", "abc"));
  EXPECT_NE(0, FXString::CompareLeftNoCase("xabc", "abc"));
  // Only ASCII letters fold.
  EXPECT_NE(0, FXString::CompareLeftNoCase("\xC3\x89t\xC3\xA9", "\xC3\xA9t\xC3\xA9"));
  EXPECT_NE(0, FXString::CompareLeftNoCase("[", "{"));
}

// ---------------------------------------------------------------------------
// FXFile, and opening a file to read

TEST(FXFileTest, DoesFileExist) {
  TempDir dir;
  WriteFile(dir.file("f"), "data");
  ASSERT_EQ(0, symlink(dir.file("f").c_str(), dir.file("link").c_str()));
  ASSERT_EQ(0, symlink(dir.file("none").c_str(), dir.file("dangling").c_str()));
  EXPECT_TRUE(FXFile::DoesFileExist(dir.file("f")));
  EXPECT_TRUE(FXFile::DoesFileExist(dir.file("link")));
  EXPECT_FALSE(FXFile::DoesFileExist(dir.file("dangling")));
  EXPECT_FALSE(FXFile::DoesFileExist(dir.file("none")));
  EXPECT_FALSE(FXFile::DoesFileExist(dir.path()));
  EXPECT_FALSE(FXFile::DoesFileExist(""));
}

// The size, as the identity taken when a file is opened tells it.
unsigned long long OpenedSize(const std::string& path) {
  CPzError error;
  std::unique_ptr<zu::SequentialFile> file = zu::OpenPosixSequentialFile(path, error);
  zu::FileIdentity identity;
  if (file) error = file->Identity(identity);
  if (!file || error.IsError()) {
    ADD_FAILURE() << path << ": " << error.Message();
    return ~0ULL;
  }
  return identity.size;
}

TEST(SequentialFileOpen, SizeOfSmallEmptyAndSparseFiles) {
  TempDir dir;
  WriteFile(dir.file("small"), std::string(12345, 'x'));
  WriteFile(dir.file("empty"), "");
  EXPECT_EQ(12345u, OpenedSize(dir.file("small")));
  EXPECT_EQ(0u, OpenedSize(dir.file("empty")));

  const unsigned long long target = (5ULL << 30) + 7;
  const int fd = ::open(dir.file("big").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  const int rc = ::ftruncate(fd, static_cast<off_t>(target));
  const int err = errno;
  ::close(fd);
  if (rc != 0) GTEST_SKIP() << "file system refuses a 5 GiB sparse file: " << std::strerror(err);
  EXPECT_EQ(target, OpenedSize(dir.file("big")));
}

TEST(SequentialFileOpen, ErrorsCarryErrnoAndText) {
  TempDir dir;
  CPzError e;
  EXPECT_EQ(zu::OpenPosixSequentialFile(dir.file("missing.bak"), e), nullptr);
  ASSERT_TRUE(e.IsError());
  EXPECT_EQ(ENOENT, e.Code());
  EXPECT_NE(std::string::npos, e.Message().find("missing.bak")) << e.Message();
  EXPECT_NE(std::string::npos, e.Message().find(std::strerror(ENOENT))) << e.Message();

  EXPECT_EQ(zu::OpenPosixSequentialFile(dir.path(), e), nullptr);
  EXPECT_TRUE(e.IsError());
  EXPECT_EQ(EISDIR, e.Code());

  if (geteuid() == 0) return;  // root reads files whatever their mode
  WriteFile(dir.file("secret"), "x");
  ASSERT_EQ(0, chmod(dir.file("secret").c_str(), 0));
  EXPECT_EQ(zu::OpenPosixSequentialFile(dir.file("secret"), e), nullptr);
  EXPECT_TRUE(e.IsError());
  EXPECT_EQ(EACCES, e.Code());
  EXPECT_NE(std::string::npos, e.Message().find("secret"));
}

TEST(SequentialFileOpen, FifoIsRefusedWithoutBlocking) {
  TempDir dir;
  ASSERT_EQ(0, mkfifo(dir.file("fifo").c_str(), 0600));
  CPzError e;
  bool opened = true;
  ASSERT_TRUE(FinishesWithin(
      [&] { opened = zu::OpenPosixSequentialFile(dir.file("fifo"), e) != nullptr; }, 30));
  EXPECT_FALSE(opened);
  EXPECT_TRUE(e.IsError());
}

TEST(SequentialFileOpen, TheFileClosesWithItsObject) {
  TempDir dir;
  WriteFile(dir.file("f"), "abc");
  const int before = zutest::CountOpenFds();
  {
    CPzError e;
    std::unique_ptr<zu::SequentialFile> file = zu::OpenPosixSequentialFile(dir.file("f"), e);
    ASSERT_TRUE(file) << e.Message();
    EXPECT_EQ(before + 1, zutest::CountOpenFds());
  }
  EXPECT_EQ(before, zutest::CountOpenFds()) << "the destructor closes";
}

TEST(PrivateLock, OneHolderAtATimeWhoseIdTheOthersRead) {
  TempDir dir;
  std::string problem;
  const std::unique_ptr<zu::PrivateDirectory> state =
      zu::PrivateDirectory::Open(dir.path(), problem);
  ASSERT_TRUE(state) << problem;
  const int before = zutest::CountOpenFds();
  const std::string path = dir.file("j.lock");
  const std::string ownPid = std::to_string(::getpid());
  using Result = zu::PrivateLock::Result;
  std::unique_ptr<zu::PrivateLock> first;
  long holder = -1;
  ASSERT_EQ(Result::kTaken, zu::PrivateLock::Take(*state, "j.lock", first, holder, problem))
      << problem;
  EXPECT_EQ(ownPid + "\n", zutest::ReadFile(path));
  struct stat st;
  ASSERT_EQ(0, ::stat(path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);

  // A second open file description, as another process has: refused with
  // what the holder wrote (the holder's id, or nothing to read).
  struct Row {
    const char* content;  // nullptr: as the holder wrote it
    long holder;
  };
  const Row rows[] = {{nullptr, ::getpid()}, {"4242\n", 4242}, {"", 0}, {"42x\n", 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.content == nullptr ? "the holder's own" : row.content);
    if (row.content != nullptr) WriteFile(path, row.content);
    std::unique_ptr<zu::PrivateLock> second;
    EXPECT_EQ(Result::kHeld, zu::PrivateLock::Take(*state, "j.lock", second, holder, problem));
    EXPECT_EQ(row.holder, holder);
    EXPECT_EQ(second, nullptr);
  }
  // Released: the file is gone and the next one takes the lock.
  first.reset();
  EXPECT_NE(0, ::access(path.c_str(), F_OK));
  EXPECT_EQ(before, zutest::CountOpenFds());
  // A file left by a holder that died is no lock: it is taken over.
  WriteFile(path, "99999\n");
  std::unique_ptr<zu::PrivateLock> next;
  EXPECT_EQ(Result::kTaken, zu::PrivateLock::Take(*state, "j.lock", next, holder, problem));
  EXPECT_EQ(ownPid + "\n", zutest::ReadFile(path));
  next.reset();
  // A planted symbolic link is never locked through.
  ASSERT_EQ(0, ::symlink(dir.file("elsewhere").c_str(), path.c_str()));
  EXPECT_EQ(Result::kFailed, zu::PrivateLock::Take(*state, "j.lock", next, holder, problem));
  EXPECT_EQ("it is a symbolic link", problem);
  EXPECT_NE(0, ::access(dir.file("elsewhere").c_str(), F_OK));
}

// ---------------------------------------------------------------------------
// SequentialFile

// Which pages of the file at `path` (`size` bytes) are in the page cache.
std::vector<unsigned char> ResidentPages(const std::string& path, size_t size) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> resident((size + page - 1) / page, 0);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return resident;
  void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  ::close(fd);
  if (map == MAP_FAILED) return resident;
  if (::mincore(map, size, resident.data()) != 0) resident.assign(resident.size(), 0);
  ::munmap(map, size);
  for (unsigned char& bit : resident) bit &= 1;
  return resident;
}

size_t CountResident(const std::vector<unsigned char>& resident, size_t from, size_t to) {
  return static_cast<size_t>(std::count(resident.begin() + from, resident.begin() + to, 1));
}

// A file written, synced and read once, so that all its pages are cached.
void WriteCachedFile(const std::string& path, size_t size) {
  std::string content(size, '\0');
  for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i * 7 + i / 4096);
  WriteFile(path, content);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, ::fsync(fd));
  std::vector<char> buffer(1 << 20);
  while (::read(fd, buffer.data(), buffer.size()) > 0) {
  }
  ::close(fd);
}

// Dropping on: the pages a read covered leave the page cache (all but the
// block of up to 2 MiB the read ended in, which goes with the next read; the
// rest with the end of the file), while pages skipped before the 2 MiB
// boundary the reads start from stay. Dropping off: all stay.
TEST(SequentialFileTest, DropPagesAfterReadEmptiesWhatWasRead) {
  TempDir dir;
  struct statfs fs;
  ASSERT_EQ(0, ::statfs(dir.path().c_str(), &fs));
  if (fs.f_type == 0x01021994) GTEST_SKIP() << "tmpfs keeps its files in the page cache";
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t block = (2 << 20) / page;             // pages of the largest cache block
  const size_t size = (16 << 20) + 1234;             // the last page is partly used
  const size_t skipped = (2 << 20) + 3 * page + 10;  // reads start within a page
  const size_t pages = (size + page - 1) / page;
  for (const bool drop : {true, false}) {
    SCOPED_TRACE(drop ? "dropping" : "keeping");
    const std::string path = dir.file(drop ? "drop.bak" : "keep.bak");
    WriteCachedFile(path, size);
    ASSERT_EQ(CountResident(ResidentPages(path, size), 0, pages), pages);
    CPzError error;
    std::unique_ptr<zu::SequentialFile> file = zu::OpenPosixSequentialFile(path, error);
    ASSERT_TRUE(file) << error.Message();
    file->DropPagesAfterRead(drop);
    ASSERT_FALSE(file->Skip(skipped).IsError());
    std::vector<char> buffer((4 << 20) + 1);
    unsigned long long got = 0;
    size_t total = skipped;
    for (int i = 0; i < 2; ++i) {
      ASSERT_FALSE(file->Read(buffer.data(), buffer.size(), got).IsError());
      ASSERT_EQ(got, buffer.size());
      total += got;
    }
    const size_t readPages = total / page - skipped / page;  // wholly or partly read
    std::vector<unsigned char> resident = ResidentPages(path, size);
    const size_t left = CountResident(resident, skipped / page, total / page);
    if (drop) {
      EXPECT_LE(left, block);
    } else {
      EXPECT_EQ(left, readPages);
    }
    do {
      ASSERT_FALSE(file->Read(buffer.data(), buffer.size(), got).IsError());
      total += got;
    } while (got == buffer.size());
    ASSERT_EQ(total, size);
    resident = ResidentPages(path, size);
    EXPECT_EQ(CountResident(resident, 0, block), block);
    EXPECT_EQ(CountResident(resident, skipped / page, pages), drop ? 0 : pages - skipped / page);
  }
}

// ---------------------------------------------------------------------------
// Base64

// Independent reference: one line, RFC 4648 alphabet and padding.
std::string ReferenceBase64(const std::string& in) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 3 <= in.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                       (static_cast<unsigned char>(in[i + 1]) << 8) |
                       static_cast<unsigned char>(in[i + 2]);
    for (int s = 18; s >= 0; s -= 6) out.push_back(kAlphabet[(v >> s) & 63]);
  }
  const size_t rest = in.size() - i;
  if (rest > 0) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

TEST(Base64Test, KnownVectors) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& v : vectors) {
    SCOPED_TRACE(v.first);
    std::string encoded = "junk";
    EXPECT_EQ(0, base64Encode(v.first, encoded));
    EXPECT_EQ(*v.second ? std::string(v.second) + "\n" : std::string(), encoded);
    EXPECT_EQ(v.second, zu::Base64OneLine(v.first));
    std::string decoded = "junk";
    EXPECT_EQ(0, base64Decode(v.second, decoded));
    EXPECT_EQ(v.first, decoded);
  }
  std::string decoded;
  EXPECT_EQ(0, base64Decode("AP8A/w==", decoded));
  EXPECT_EQ(std::string("\x00\xFF\x00\xFF", 4), decoded);
}

TEST(Base64Test, LongInputIsBrokenIntoLinesOf64) {
  std::string in;
  for (int i = 0; i < 1000; ++i) in.push_back(static_cast<char>(i * 7));
  std::string encoded;
  ASSERT_EQ(0, base64Encode(in, encoded));
  const std::string oneLine = ReferenceBase64(in);
  ASSERT_FALSE(encoded.empty());
  EXPECT_EQ('\n', encoded.back());
  size_t pos = 0;
  std::string joined;
  while (pos < encoded.size()) {
    const size_t nl = encoded.find('\n', pos);
    ASSERT_NE(std::string::npos, nl);
    const size_t length = nl - pos;
    if (nl + 1 < encoded.size()) {
      EXPECT_EQ(64u, length);
    } else {
      EXPECT_GE(64u, length);
      EXPECT_LT(0u, length);
    }
    joined += encoded.substr(pos, length);
    pos = nl + 1;
  }
  EXPECT_EQ(oneLine, joined);
  EXPECT_EQ(oneLine, zu::Base64OneLine(in));
  std::string decoded;
  ASSERT_EQ(0, base64Decode(encoded, decoded));
  EXPECT_EQ(in, decoded);
  ASSERT_EQ(0, base64Decode(oneLine, decoded));
  EXPECT_EQ(in, decoded);
}

TEST(Base64Test, MegabytesRoundTrip) {
  std::mt19937 rng(12345);
  std::string in(3 * 1024 * 1024 + 17, '\0');
  for (char& c : in) c = static_cast<char>(rng());
  EXPECT_EQ(ReferenceBase64(in), zu::Base64OneLine(in));
  std::string encoded, decoded;
  ASSERT_EQ(0, base64Encode(in, encoded));
  ASSERT_EQ(0, base64Decode(encoded, decoded));
  EXPECT_TRUE(in == decoded);
}

TEST(Base64Test, BrokenInputIsRefusedWithEmptyOutput) {
  for (const char* bad : {"Zm9v!", "Zm9", "Zm9vY", "Z", "Zm9v\x80w==", "Zm 9v$$$$", "Zm9vYg=a"}) {
    SCOPED_TRACE(bad);
    std::string out = "previous";
    EXPECT_NE(0, base64Decode(bad, out));
    EXPECT_EQ("", out);
  }
}

// RFC 1321's vectors, whole and fed in pieces; a finished digest starts anew.
TEST(Md5Test, KnownVectorsWholeAndInPieces) {
  const std::pair<std::string, const char*> vectors[] = {
      {"", "1B2M2Y8AsgTpgAmY7PhCfg=="},
      {"abc", "kAFQmDzST7DWlj99KOF/cg=="},
      {"message digest", "+WtpfXy3k41SWi8xqvFh0A=="},
      {std::string(1000, 'a'), "yr5F3MmuW2a6hmAMymuLqA=="},
  };
  zu::Md5 md5;
  for (const auto& [data, expected] : vectors) {
    SCOPED_TRACE(data.substr(0, 20));
    EXPECT_EQ(zu::Md5Base64(data.data(), data.size()), expected);
    for (size_t at = 0; at < data.size(); at += 7) {
      ASSERT_TRUE(md5.Update(data.data() + at, std::min<size_t>(7, data.size() - at)));
    }
    EXPECT_EQ(md5.FinishBase64(), expected);
  }
  zu::Md5 moved(std::move(md5));
  ASSERT_TRUE(moved.Update("abc", 3));
  EXPECT_EQ(moved.FinishBase64(), "kAFQmDzST7DWlj99KOF/cg==");
}

// ---------------------------------------------------------------------------
// Sleep

// An environment whose waits call `record` instead of sleeping.
zutest::EnvChange SleepRecordedBy(std::function<void(unsigned int)> record) {
  zutest::EnvChange change;
  change.sleep = std::move(record);
  return change;
}

TEST(SleepTest, EnvironmentRecordsNominalWaitsInsteadOfSleeping) {
  ScopedEnv scale("ZUCLOUD_WAIT_SCALE", "1");
  std::vector<unsigned int> waits;
  std::mutex mutex;
  zutest::ScopedEnvChange recording(SleepRecordedBy([&](unsigned int ms) {
    std::lock_guard<std::mutex> lock(mutex);
    waits.push_back(ms);
  }));
  // An hour each: only the hook can make these return in time.
  ASSERT_TRUE(FinishesWithin(
      [] {
        PZSLEEP(3600000);
        PZSLEEP(0);
        PZSLEEP(1500);
      },
      60));
  {
    ScopedEnv zero("ZUCLOUD_WAIT_SCALE", "0");
    PZSLEEP(2000);  // still reported with its nominal value
  }
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ((std::vector<unsigned int>{3600000, 0, 1500, 2000}), waits);
}

TEST(SleepTest, EndOfTheScopeRestoresRealSleeping) {
  int calls = 0;
  {
    zutest::ScopedEnvChange recording(SleepRecordedBy([&](unsigned int) { ++calls; }));
    PZSLEEP(10);
  }
  ScopedEnv scale("ZUCLOUD_WAIT_SCALE", "0");
  PZSLEEP(10);
  EXPECT_EQ(1, calls);
}

TEST(SleepTest, ZeroOrNegativeScaleReturnsAtOnce) {
  for (const char* value : {"0", "-2", "0.0", "-0.5"}) {
    SCOPED_TRACE(value);
    ScopedEnv scale("ZUCLOUD_WAIT_SCALE", value);
    EXPECT_EQ(0.0, zu::WaitScale());
    EXPECT_TRUE(FinishesWithin([] { PZSLEEP(3600000); }, 60));
  }
}

TEST(SleepTest, ScaleParsing) {
  {
    ScopedEnv scale("ZUCLOUD_WAIT_SCALE", std::nullopt);
    EXPECT_EQ(1.0, zu::WaitScale());
  }
  const std::pair<const char*, double> cases[] = {
      {"", 1.0},   {"1", 1.0},  {"2", 2.0},    {"0.5", 0.5},  {" 0.25 ", 0.25},
      {".5", 0.5}, {"+3", 3.0}, {"abc", 1.0},  {"0.5x", 1.0}, {"1,5", 1.0},
      {".", 1.0},  {"-", 1.0},  {"-abc", 1.0}, {"10", 10.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    ScopedEnv scale("ZUCLOUD_WAIT_SCALE", c.first);
    EXPECT_DOUBLE_EQ(c.second, zu::WaitScale());
  }
}

TEST(SleepTest, EnvironmentMayBeSwappedWhileOtherThreadsWait) {
  std::mutex mutex;
  unsigned long long total = 0;
  auto record = [&](unsigned int ms) {
    std::lock_guard<std::mutex> lock(mutex);
    total += ms;
  };
  zutest::ScopedEnvChange recording(SleepRecordedBy(record));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 500; ++i) PZSLEEP(1);
    });
  }
  for (int i = 0; i < 200; ++i) zutest::ScopedEnvChange again(SleepRecordedBy(record));
  for (auto& th : threads) th.join();
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(2000u, total);
}

TEST(SleepTest, EnvironmentScopesEndingOutOfOrderStopTheProgram) {
  // Putting back what the first scope replaced would silently drop the
  // second scope's recording.
  EXPECT_DEATH(
      {
        auto first = std::make_unique<zutest::ScopedEnvChange>(SleepRecordedBy([](unsigned) {}));
        zutest::ScopedEnvChange second(SleepRecordedBy([](unsigned) {}));
        first.reset();
      },
      "environment scopes ended out of order");
}

// ---------------------------------------------------------------------------
// Focus

TEST(FocusTest, SetAndGet) {
  ZUPI_Focus::setFocus("instance-1");
  EXPECT_EQ("instance-1", ZUPI_Focus::getFocus());
  ZUPI_Focus::setFocus(nullptr);
  EXPECT_EQ("", ZUPI_Focus::getFocus());

  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      const std::string mine = "focus-" + std::to_string(t);
      for (int i = 0; i < 500; ++i) {
        ZUPI_Focus::setFocus(mine.c_str());
        const std::string seen = ZUPI_Focus::getFocus();
        EXPECT_EQ(0u, seen.rfind("focus-", 0)) << seen;
      }
    });
  }
  for (auto& th : threads) th.join();
  ZUPI_Focus::setFocus("final");
  EXPECT_EQ("final", ZUPI_Focus::getFocus());
}

// ---------------------------------------------------------------------------
// URL encoding

// An output buffer of 3 * limit + 1 bytes followed by guard bytes.
struct Output {
  explicit Output(int limit) : bytes(3 * limit + 1 + kGuard, '#') {}
  char* data() { return &bytes[0]; }
  std::string text() const { return std::string(bytes.c_str()); }
  bool guardIntact(int limit) const {
    return bytes.compare(3 * limit + 1, kGuard, std::string(kGuard, '#')) == 0;
  }
  static constexpr size_t kGuard = 16;
  std::string bytes;
};

TEST(UrlEncodeTest, EncodesWithinTheLimit) {
  Output out(7);
  EXPECT_EQ(1, urlEncode(out.data(), "a b/c+d", 7));
  EXPECT_EQ("a%20b/c%2Bd", out.text());
  EXPECT_TRUE(out.guardIntact(7));

  Output shortOut(3);
  EXPECT_EQ(0, urlEncode(shortOut.data(), "a b/c+d", 3));
  EXPECT_EQ("a%20b", shortOut.text());
  EXPECT_TRUE(shortOut.guardIntact(3));

  Output exact(4);
  EXPECT_EQ(1, urlEncode(exact.data(), "%&=?", 4));
  EXPECT_EQ("%25%26%3D%3F", exact.text());
  EXPECT_TRUE(exact.guardIntact(4));
}

TEST(UrlEncodeTest, NullAndEmptyInput) {
  Output out(4);
  EXPECT_EQ(1, urlEncode(out.data(), nullptr, 4));
  EXPECT_EQ("", out.text());
  Output out2(0);
  EXPECT_EQ(1, urlEncodeUseSafeChar(out2.data(), nullptr, 0, "+"));
  EXPECT_EQ("", out2.text());
  Output out3(0);
  EXPECT_EQ(1, urlEncode(out3.data(), "", 0));
  EXPECT_EQ("", out3.text());
  Output out4(0);
  EXPECT_EQ(0, urlEncode(out4.data(), "x", 0));
  EXPECT_EQ("", out4.text());
}

TEST(UrlEncodeTest, DefaultSafeSetAndAsciiLettersAndDigits) {
  const std::string kept = "ABCXYZabcxyz0189-_.~/";
  Output out(static_cast<int>(kept.size()));
  EXPECT_EQ(1, urlEncode(out.data(), kept.c_str(), static_cast<int>(kept.size())));
  EXPECT_EQ(kept, out.text());

  const std::string encoded = " !\"#$%&'()*+,:;<=>?@[\\]^`{|}\x01\x7F";
  Output out2(static_cast<int>(encoded.size()));
  EXPECT_EQ(1, urlEncode(out2.data(), encoded.c_str(), static_cast<int>(encoded.size())));
  EXPECT_EQ(
      "%20%21%22%23%24%25%26%27%28%29%2A%2B%2C%3A%3B%3C%3D%3E%3F%40%5B%5C%5D%5E%60%7B%7C%7D"
      "%01%7F",
      out2.text());
}

TEST(UrlEncodeTest, HighBytesAreAlwaysEncoded) {
  std::string in;
  std::string expected;
  for (int b = 0x80; b <= 0xFF; ++b) {
    in.push_back(static_cast<char>(b));
    char hex[4];
    std::snprintf(hex, sizeof(hex), "%%%02X", b);
    expected += hex;
  }
  const int limit = static_cast<int>(in.size());
  Output out(limit);
  EXPECT_EQ(1, urlEncode(out.data(), in.c_str(), limit));
  EXPECT_EQ(expected, out.text());
  EXPECT_TRUE(out.guardIntact(limit));
}

TEST(UrlEncodeTest, CustomSafeSet) {
  Output out(9);
  EXPECT_EQ(1, urlEncodeUseSafeChar(out.data(), "a+b=c/d~e", 9, "+="));
  EXPECT_EQ("a+b=c%2Fd%7Ee", out.text());
  Output none(5);
  EXPECT_EQ(1, urlEncodeUseSafeChar(none.data(), "a-b/c", 5, ""));
  EXPECT_EQ("a%2Db%2Fc", none.text());
  Output nullSet(5);
  EXPECT_EQ(1, urlEncodeUseSafeChar(nullSet.data(), "a-b/c", 5, nullptr));
  EXPECT_EQ("a%2Db%2Fc", nullSet.text());
}

}  // namespace

namespace {

TEST(SendPacer, NoPieceGoesBeforeTheSharedBudgetAllowsIt) {
  zu::SendPacer& pacer = zu::SendPacer::Global();
  pacer.SetRate(0);
  // Without a rate nothing waits, however much is sent.
  const auto free = std::chrono::steady_clock::now();
  for (int i = 0; i < 1000; ++i) pacer.Acquire(1 << 20);
  EXPECT_LT(std::chrono::steady_clock::now() - free, std::chrono::seconds(5));

  // 4 MB/s shared by two senders: the last of twenty 60 kB pieces cannot
  // start before the 1.14 MB ahead of it took their time at that rate, less
  // the 20 ms burst that idle time earns (a piece waits for its start).
  pacer.SetRate(4000000);
  const auto start = std::chrono::steady_clock::now();
  auto send = [&pacer] {
    for (int i = 0; i < 10; ++i) pacer.Acquire(60000);
  };
  std::thread a(send);
  std::thread b(send);
  a.join();
  b.join();
  const auto took = std::chrono::steady_clock::now() - start;
  pacer.SetRate(0);
  EXPECT_GE(took, std::chrono::milliseconds(285 - 20 - 1));
  EXPECT_EQ(pacer.Rate(), 0u);
}

}  // namespace
