// Client-side encryption: the key file, content keys and their wrapping,
// regions sealed in place, the encryption data, and blobs restored by the
// Python storage SDK's own download with only the owner's key.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/crypto/CryptoKeys.h"
#include "platform/crypto/EncryptionData.h"
#include "platform/crypto/KeyFile.h"
#include "platform/crypto/KeyWrap.h"
#include "platform/crypto/RegionLayout.h"
#include "platform/crypto/RegionSeal.h"
#include "platform/crypto/StateSeal.h"
#include "platform/text/Base64.h"
#include "support/TestEnv.h"

namespace {

using zutest::ReadFile;
using zutest::TempDir;
using zutest::WriteFile;
using Bytes = std::vector<unsigned char>;

constexpr size_t kMiB = 1024 * 1024;
// The key of RFC 3394's examples: bytes 00 to 1F.
constexpr char kKeyHex[] = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
constexpr char kKeyBase64[] = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";

Bytes FromHex(const std::string& hex) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

Bytes KeyBytes(const zu::SecretKey32& key) {
  return Bytes(key.data(), key.data() + zu::SecretKey32::kSize);
}

std::string KeyFileText(const std::string& kid, const std::string& key) {
  return "{\"kid\": \"" + kid + "\", \"key\": \"" + key + "\"}";
}

// `text` padded with spaces (which JSON allows) to `size` bytes.
std::string PaddedTo(std::string text, size_t size) {
  text.resize(size, ' ');
  return text;
}

// Writes a key file `name` with `content` and `mode` in `dir`.
std::string WriteKeyFile(const TempDir& dir, const std::string& name, const std::string& content,
                         mode_t mode = 0600) {
  const std::string path = dir.file(name);
  WriteFile(path, content);
  EXPECT_EQ(::chmod(path.c_str(), mode), 0);
  return path;
}

Bytes RandomBytes(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<unsigned char>(gen());
  return bytes;
}

// ---------------------------------------------------------------------------
// The key file

struct Refusal {
  const char* what;
  std::function<std::string(const TempDir&)> makeFile;  // returns the path
  const char* reason;
};

std::string TextFile(const TempDir& dir, const std::string& text) {
  return WriteKeyFile(dir, "key.json", text);
}

std::vector<Refusal> FileRefusals() {
  const std::string good = KeyFileText("k1", kKeyHex);
  return {
      {"missing", [](const TempDir& d) { return d.file("none.json"); }, "does not exist"},
      {"symbolic link",
       [good](const TempDir& d) {
         const std::string target = WriteKeyFile(d, "real.json", good);
         EXPECT_EQ(::symlink(target.c_str(), d.file("link.json").c_str()), 0);
         return d.file("link.json");
       },
       "is a symbolic link"},
      {"directory",
       [](const TempDir& d) {
         EXPECT_EQ(::mkdir(d.file("dir").c_str(), 0700), 0);
         return d.file("dir");
       },
       "is not a regular file"},
      {"below a file",
       [good](const TempDir& d) { return WriteKeyFile(d, "k", good) + "/key.json"; },
       "cannot be opened (Not a directory)"},
      {"group readable", [good](const TempDir& d) { return WriteKeyFile(d, "k", good, 0640); },
       "group or others (mode 0640)"},
      {"others writable", [good](const TempDir& d) { return WriteKeyFile(d, "k", good, 0602); },
       "group or others (mode 0602)"},
      {"one byte too large",
       [good](const TempDir& d) { return TextFile(d, PaddedTo(good, zu::kMaxKeyFileBytes + 1)); },
       "larger than 65536 bytes"},
  };
}

std::vector<Refusal> TextRefusals() {
  const std::string hex = kKeyHex;
  const std::vector<std::pair<std::string, const char*>> rows = {
      {"{\"kid\": \"k1\", ", "does not hold JSON"},
      {"[\"k1\", \"" + hex + "\"]", "does not hold a JSON object"},
      {"{\"key\": \"" + hex + "\"}", "has no \"kid\" text"},
      {"{\"kid\": 7, \"key\": \"" + hex + "\"}", "has no \"kid\" text"},
      {KeyFileText("", hex), "\"kid\" is empty"},
      {KeyFileText("k\\n1", hex), "\"kid\" holds control characters"},
      {KeyFileText("k\\u007f", hex), "\"kid\" holds control characters"},
      {KeyFileText("k\\u00e9", hex), "\"kid\" holds characters outside ASCII"},
      {KeyFileText(std::string(zu::kMaxKidLength + 1, 'k'), hex), "longer than 1024 characters"},
      {"{\"kid\": \"k1\"}", "has no \"key\" text"},
      {KeyFileText("k1", hex.substr(2)), "62 hexadecimal digits long, not 64"},
      {KeyFileText("k1", hex + "20"), "66 hexadecimal digits long, not 64"},
      {KeyFileText("k1", "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHg=="), "31 bytes long"},
      {KeyFileText("k1", "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8g"), "33 bytes long"},
      {KeyFileText("k1", "~" + hex.substr(1)), "neither 64 hexadecimal digits nor"},
      {KeyFileText("k1", "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwd-h8="), "neither"},
      // The key file's JSON is read by the library's own reader: each
      // malformed text is refused as JSON, never read in part.
      {"{\"kid\": \"k1\", \"kid\": \"k2\", \"key\": \"" + hex + "\"}",
       "names \"kid\" more than once"},
      {"{\"kid\": 1, \"key\": \"" + hex + "\", \"key\": \"" + hex + "\"}",
       "names \"key\" more than once"},
      {"{\"kid\": \"k1\", \"key\": \"" + hex + "\",}", "does not hold JSON"},
      {"{\"kid\": \"k1\", \"key\": \"" + hex + "\"", "does not hold JSON"},
      {"{\"kid\": \"k1\", \"key\": \"" + hex + "\"} x", "does not hold JSON"},
      {"{'kid': \"k1\", \"key\": \"" + hex + "\"}", "does not hold JSON"},
      {"{\"n\": 01, \"kid\": \"k1\", \"key\": \"" + hex + "\"}", "does not hold JSON"},
      {"{\"n\": [1, {\"a\": }], \"kid\": \"k1\", \"key\": \"" + hex + "\"}", "does not hold JSON"},
      {"{\"n\": " + std::string(10000, '[') + std::string(9999, ']') + ", \"kid\": \"k1\"}",
       "does not hold JSON"},
      {KeyFileText("k\\ud800", hex), "does not hold JSON"},
      {KeyFileText("k\\udc00\\ud800", hex), "does not hold JSON"},
      {KeyFileText("k\\x41", hex), "does not hold JSON"},
      {KeyFileText("k\t1", hex), "does not hold JSON"},
      {KeyFileText("k\xff", hex), "does not hold JSON"},
      {KeyFileText("k\xc0\x81", hex), "does not hold JSON"},
      {KeyFileText("k\xed\xa0\x80", hex), "does not hold JSON"},
      {"\"" + hex + "\"", "does not hold a JSON object"},
      {"null", "does not hold a JSON object"},
      {"[{\"kid\": \"k1\", \"key\": \"" + hex + "\"}]", "does not hold a JSON object"},
  };
  std::vector<Refusal> refusals;
  for (const auto& row : rows) {
    const std::string text = row.first;
    refusals.push_back(
        {row.second, [text](const TempDir& d) { return TextFile(d, text); }, row.second});
  }
  return refusals;
}

void ExpectRefused(const Refusal& row) {
  SCOPED_TRACE(row.what);
  TempDir dir;
  const std::string path = row.makeFile(dir);
  zu::KeyEncryptionKey kek;
  kek.kid = "stale";
  std::memset(kek.key.data(), 0xAB, zu::SecretKey32::kSize);
  std::string reason;
  EXPECT_FALSE(zu::LoadKeyEncryptionKey(path, kek, reason));
  EXPECT_NE(reason.find(row.reason), std::string::npos) << reason;
  const std::string message = zu::KeyFileRefusal(reason);
  EXPECT_NE(message.find("DRBackupEncryptionKeyFile"), std::string::npos) << message;
  EXPECT_EQ(message.find(kKeyHex), std::string::npos) << message;
  EXPECT_EQ(kek.kid, "");
  EXPECT_EQ(KeyBytes(kek.key), Bytes(zu::SecretKey32::kSize, 0));
}

TEST(KeyFile, RefusesEachUnusableFileWithItsReason) {
  for (const auto& row : FileRefusals()) ExpectRefused(row);
}

TEST(KeyFile, RefusesEachUnusableTextWithItsReason) {
  for (const auto& row : TextRefusals()) ExpectRefused(row);
}

TEST(KeyFile, RefusesAnotherUsersFile) {
  // As root the test makes the file another user's; otherwise a system
  // file of root's is another user's already.
  TempDir dir;
  std::string path = "/etc/passwd";
  if (::geteuid() == 0) {
    path = WriteKeyFile(dir, "k", KeyFileText("k1", kKeyHex));
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
  }
  ExpectRefused({"another user's", [path](const TempDir&) { return path; }, "another user"});
}

TEST(KeyFile, RefusesAFileThisUserCannotRead) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads a file of mode 0200";
  ExpectRefused({"unreadable", [](const TempDir& d) { return WriteKeyFile(d, "k", "{}", 0200); },
                 "cannot be read by this user"});
}

TEST(KeyFile, AcceptsEachFormOfTheKey) {
  const std::string hex = kKeyHex;
  std::string upper = hex;
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string longKid(zu::kMaxKidLength, 'k');
  struct Row {
    const char* what;
    std::string text;
    std::string kid;
    mode_t mode;
  };
  const Row rows[] = {
      {"lower-case hex", KeyFileText("k1", hex), "k1", 0600},
      {"upper-case hex", KeyFileText("k1", upper), "k1", 0600},
      {"Base64", KeyFileText("k1", kKeyBase64), "k1", 0600},
      {"read-only, other members", "{\"note\": 1, \"kid\": \"a b/c\", \"key\": \"" + hex + "\"}",
       "a b/c", 0400},
      {"longest kid", KeyFileText(longKid, hex), longKid, 0600},
      {"byte order mark, white space, escapes and members of every kind",
       "\xEF\xBB\xBF \r\n\t{\"n\": [0, -2.5e+3, 1E2, {\"a\": [true, false, null, []], "
       "\"b\": {}}, \"\\u00e9\\ud83d\\ude00\xc3\xa9\\\"\"], \"kid\": \"a\\u0041\\/b\", "
       "\"key\": \"\\u0030\\u0030" +
           hex.substr(2) + "\" } \n",
       "aA/b", 0600},
      {"nested 10000 deep",
       "{\"n\": " + std::string(10000, '[') + std::string(10000, ']') +
           ", \"kid\": \"k1\", \"key\": \"" + hex + "\"}",
       "k1", 0600},
      {"largest file", PaddedTo(KeyFileText("k1", hex), zu::kMaxKeyFileBytes), "k1", 0600},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    zu::KeyEncryptionKey kek;
    std::string reason;
    ASSERT_TRUE(zu::LoadKeyEncryptionKey(WriteKeyFile(dir, "k", row.text, row.mode), kek, reason))
        << reason;
    EXPECT_EQ(kek.kid, row.kid);
    EXPECT_EQ(KeyBytes(kek.key), FromHex(hex));
  }
}

// ---------------------------------------------------------------------------
// Secret pages

// The VmFlags of the mapping of this process that holds `p`.
std::string VmFlagsOf(const void* p) {
  const auto at = reinterpret_cast<uintptr_t>(p);
  std::istringstream smaps(ReadFile("/proc/self/smaps"));
  bool inside = false;
  for (std::string line; std::getline(smaps, line);) {
    unsigned long long start = 0, end = 0;
    if (std::sscanf(line.c_str(), "%llx-%llx ", &start, &end) == 2) {
      inside = at >= start && at < end;
    } else if (inside && line.compare(0, 8, "VmFlags:") == 0) {
      return line.substr(8) + " ";
    }
  }
  return std::string();
}

// Takes CAP_IPC_LOCK out of this process's effective set, so that
// RLIMIT_MEMLOCK applies to it.
void DropIpcLock() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return;
  data[0].effective &= ~(1u << CAP_IPC_LOCK);
  ::syscall(SYS_capset, &header, data);
}

// The sanitizers' runtimes take mlock over and do nothing (AddressSanitizer
// says it ignores it): under them no page is ever seen locked.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kLockingSeen = false;
#else
constexpr bool kLockingSeen = true;
#endif

TEST(SecretBuffer, KeysLiveInPagesLeftOutOfCoresAndLockedWhereTheLimitAllows) {
  // Each row runs in a child, which may lower its own limit. The flags:
  // "dd" left out of a core, "lo" locked.
  const struct {
    const char* what;
    rlim_t memlock;  // RLIM_INFINITY: as inherited
    bool locked;
  } rows[] = {{"limit as inherited (8 MiB)", RLIM_INFINITY, true},
              {"one page allowed", 4096, true},
              {"no locked memory allowed", 0, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (row.memlock != RLIM_INFINITY) {
        DropIpcLock();
        const struct rlimit limit = {row.memlock, row.memlock};
        if (::setrlimit(RLIMIT_MEMLOCK, &limit) != 0) ::_exit(10);
      }
      zu::KeyEncryptionKey kek;
      std::memset(kek.key.data(), 0x5A, zu::SecretKey32::kSize);
      const std::string flags = VmFlagsOf(kek.key.data());
      int status = 0;
      if (flags.find(" dd ") == std::string::npos) status |= 1;
      if ((flags.find(" lo ") != std::string::npos) != (row.locked && kLockingSeen)) status |= 2;
      ::_exit(status);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status) & 1, 0) << "the key's pages are not marked to be left out";
    EXPECT_EQ(WEXITSTATUS(status) & 2, 0)
        << "the key's pages are locked: " << !(row.locked && kLockingSeen);
    EXPECT_NE(WEXITSTATUS(status), 10);
  }
}

TEST(SecretBuffer, AMoveHandsTheKeyOverAndAWipeZeroesIt) {
  zu::ContentKey key;
  std::memset(key.data(), 0x77, zu::SecretKey32::kSize);
  const unsigned char* pages = key.data();
  zu::ContentKey moved(std::move(key));
  EXPECT_EQ(moved.data(), pages);
  EXPECT_EQ(KeyBytes(moved), Bytes(zu::SecretKey32::kSize, 0x77));
  EXPECT_EQ(key.data(), nullptr);  // NOLINT(bugprone-use-after-move): what a move leaves
  zu::ContentKey other;
  other = std::move(moved);
  EXPECT_EQ(other.data(), pages);
  other.Wipe();
  EXPECT_EQ(KeyBytes(other), Bytes(zu::SecretKey32::kSize, 0));
}

// ---------------------------------------------------------------------------
// Content keys and their wrapping

zu::KeyEncryptionKey TestKek(const std::string& hex = kKeyHex) {
  zu::KeyEncryptionKey kek;
  kek.kid = "local:test-kek";
  const Bytes bytes = FromHex(hex);
  std::memcpy(kek.key.data(), bytes.data(), bytes.size());
  return kek;
}

TEST(KeyWrap, MatchesTheRfc3394Example256BitKeyDataUnder256BitKek) {
  const Bytes kek = FromHex(kKeyHex);
  const Bytes data = FromHex("00112233445566778899aabbccddeeff000102030405060708090a0b0c0d0e0f");
  const Bytes expected =
      FromHex("28c9f404c4b810f4cbccb35cfb87f8263f5786e2d80ed326cbc7f0e71a99f43bfb988b9b7a02dd21");
  Bytes wrapped(data.size() + 8);
  ASSERT_TRUE(zu::AesKeyWrap256(kek.data(), data.data(), data.size(), wrapped.data()));
  EXPECT_EQ(wrapped, expected);
  Bytes unwrapped(data.size());
  ASSERT_TRUE(zu::AesKeyUnwrap256(kek.data(), expected.data(), expected.size(), unwrapped.data()));
  EXPECT_EQ(unwrapped, data);
}

TEST(KeyWrap, WrapsAndUnwrapsOnlyLengthsWithinItsBounds) {
  const Bytes kek = FromHex(kKeyHex);
  const struct {
    size_t length;
    bool wraps;
  } rows[] = {{8, false}, {15, false}, {16, true}, {24, true}, {4096, true}, {4104, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.length);
    const Bytes data = RandomBytes(row.length, 1);
    Bytes wrapped(row.length + 8);
    EXPECT_EQ(zu::AesKeyWrap256(kek.data(), data.data(), data.size(), wrapped.data()), row.wraps);
    // Unwrapping takes the wrapped lengths: 8 more than each.
    Bytes unwrapped(row.length);
    EXPECT_EQ(zu::AesKeyUnwrap256(kek.data(), wrapped.data(), wrapped.size(), unwrapped.data()),
              row.wraps);
    if (row.wraps) {
      EXPECT_EQ(unwrapped, data);
    }
  }
}

TEST(KeyWrap, ContentKeyRoundTripsThroughItsWrappedText) {
  const zu::KeyEncryptionKey kek = TestKek();
  zu::ContentKey first, second;
  ASSERT_TRUE(zu::MakeContentKey(first));
  ASSERT_TRUE(zu::MakeContentKey(second));
  EXPECT_NE(KeyBytes(first), KeyBytes(second));
  const std::string wrapped = zu::WrapContentKey(kek, first);
  EXPECT_EQ(wrapped.size(), 64u);  // Base64 of 48 bytes
  zu::ContentKey restored;
  ASSERT_TRUE(zu::UnwrapContentKey(kek, wrapped, restored));
  EXPECT_EQ(KeyBytes(restored), KeyBytes(first));
  // The wrapped bytes are the version "2.0", five zero bytes, then the key.
  std::string bytes;
  ASSERT_EQ(base64Decode(wrapped, bytes), 0);
  ASSERT_EQ(bytes.size(), 48u);
  Bytes plain(40);
  ASSERT_TRUE(zu::AesKeyUnwrap256(
      kek.key.data(), reinterpret_cast<const unsigned char*>(bytes.data()), 48, plain.data()));
  EXPECT_EQ(Bytes(plain.begin(), plain.begin() + 8), Bytes({'2', '.', '0', 0, 0, 0, 0, 0}));
  EXPECT_EQ(Bytes(plain.begin() + 8, plain.end()), KeyBytes(first));
}

// The Base64 text of `data` (a multiple of 8 bytes) wrapped under `kek`.
std::string WrappedText(const zu::KeyEncryptionKey& kek, const Bytes& data) {
  Bytes wrapped(data.size() + 8);
  EXPECT_TRUE(zu::AesKeyWrap256(kek.key.data(), data.data(), data.size(), wrapped.data()));
  return zu::Base64OneLine(std::string(wrapped.begin(), wrapped.end()));
}

TEST(KeyWrap, UnwrapRefusesAnotherKekDamageAndOtherVersions) {
  const zu::KeyEncryptionKey kek = TestKek();
  zu::ContentKey key;
  ASSERT_TRUE(zu::MakeContentKey(key));
  const std::string wrapped = zu::WrapContentKey(kek, key);
  std::string damaged = wrapped;
  damaged[10] = damaged[10] == 'A' ? 'B' : 'A';
  // Version "1.0" padded to 8 bytes, then the key.
  Bytes v1(8 + zu::SecretKey32::kSize, 0);
  v1[0] = '1';
  v1[1] = '.';
  v1[2] = '0';
  std::copy(key.data(), key.data() + zu::SecretKey32::kSize, v1.begin() + 8);
  const struct {
    const char* what;
    zu::KeyEncryptionKey kek;
    std::string text;
  } rows[] = {
      {"another KEK", TestKek(std::string(64, 'f')), wrapped},
      {"a changed character", TestKek(), damaged},
      {"not Base64", TestKek(), "!" + wrapped.substr(1)},
      {"cut short", TestKek(), WrappedText(kek, Bytes(v1.begin(), v1.end() - 8))},
      {"version 1.0", TestKek(), WrappedText(kek, v1)},
      {"bare key", TestKek(), WrappedText(kek, Bytes(key.data(), key.data() + 32))},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    zu::ContentKey restored;
    std::memset(restored.data(), 0xAB, zu::SecretKey32::kSize);
    EXPECT_FALSE(zu::UnwrapContentKey(row.kek, row.text, restored));
    EXPECT_EQ(KeyBytes(restored), Bytes(zu::SecretKey32::kSize, 0));
  }
}

// ---------------------------------------------------------------------------
// Regions

TEST(RegionLayout, CountsRegionsAndStoredBytesOnBothSidesOfARegion) {
  const struct {
    uint64_t plain;
    uint64_t regions;
    bool whole;
  } rows[] = {{0, 0, true},
              {1, 1, false},
              {4 * kMiB - 1, 1, false},
              {4 * kMiB, 1, true},
              {4 * kMiB + 1, 2, false},
              {8 * kMiB, 2, true},
              {8 * kMiB + 1, 3, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.plain);
    EXPECT_EQ(zu::RegionCount(row.plain), row.regions);
    EXPECT_EQ(zu::StoredLength(row.plain), row.plain + 28 * row.regions);
    EXPECT_EQ(zu::HoldsWholeRegions(row.plain), row.whole);
  }
  EXPECT_EQ(zu::PlainOffsetInSlot(0), 12u);
  EXPECT_EQ(zu::PlainOffsetInSlot(1), 4 * kMiB + 28 + 12);
  EXPECT_EQ(zu::PlainOffsetInSlot(2), 2 * (4 * kMiB + 28) + 12);
}

// A slot holding `plain` laid out for sealing: region i's plaintext at
// PlainOffsetInSlot(i), the rest zero.
Bytes SlotWith(const Bytes& plain) {
  Bytes slot(zu::StoredLength(plain.size()), 0);
  for (uint64_t i = 0; i < zu::RegionCount(plain.size()); ++i) {
    const size_t from = i * zu::kRegionPlainBytes;
    const size_t length = std::min(zu::kRegionPlainBytes, plain.size() - from);
    std::memcpy(&slot[zu::PlainOffsetInSlot(i)], &plain[from], length);
  }
  return slot;
}

TEST(RegionSeal, SealsEachRegionAsNonceCiphertextTagAndOpensIt) {
  zu::ContentKey key;
  ASSERT_TRUE(zu::MakeContentKey(key));
  for (size_t size : {size_t{0}, size_t{1}, 4 * kMiB - 1, 4 * kMiB, 4 * kMiB + 1, 8 * kMiB + 1}) {
    SCOPED_TRACE(size);
    const Bytes plain = RandomBytes(size, static_cast<unsigned>(size));
    Bytes slot = SlotWith(plain);
    ASSERT_TRUE(zu::SealBlock(key, slot.data(), plain.size()));
    ASSERT_EQ(slot.size(), zu::StoredLength(size));
    std::vector<Bytes> nonces;
    for (uint64_t i = 0; i < zu::RegionCount(size); ++i) {
      unsigned char* region = &slot[i * zu::kRegionStoredBytes];
      const size_t length =
          std::min<size_t>(zu::kRegionPlainBytes, size - i * zu::kRegionPlainBytes);
      const unsigned char* expected = &plain[i * zu::kRegionPlainBytes];
      if (length >= 16) {  // shorter ciphertext may equal its plaintext by chance
        EXPECT_NE(std::memcmp(region + 12, expected, length), 0);
      }
      nonces.emplace_back(region, region + 12);
      ASSERT_TRUE(zu::OpenRegion(key, region, length + 28));
      EXPECT_EQ(std::memcmp(region + 12, expected, length), 0);
    }
    for (size_t i = 1; i < nonces.size(); ++i) EXPECT_NE(nonces[i], nonces[i - 1]);
  }
}

TEST(RegionSeal, SealsAndOpensOnlyLengthsOfARegion) {
  zu::ContentKey key;
  ASSERT_TRUE(zu::MakeContentKey(key));
  Bytes region(zu::kRegionStoredBytes + 1);
  const struct {
    size_t plain;
    bool ok;
  } rows[] = {{0, false}, {1, true}, {4 * kMiB, true}, {4 * kMiB + 1, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.plain);
    EXPECT_EQ(zu::SealRegion(key, region.data(), row.plain), row.ok);
    EXPECT_EQ(zu::OpenRegion(key, region.data(), row.plain + 28), row.ok);
  }
}

TEST(RegionSeal, OpenRefusesAChangedByteOrAnotherKey) {
  zu::ContentKey key, other;
  ASSERT_TRUE(zu::MakeContentKey(key));
  ASSERT_TRUE(zu::MakeContentKey(other));
  const Bytes plain = RandomBytes(1000, 7);
  const struct {
    const char* what;
    size_t flip;  // the byte changed, or none
    const zu::ContentKey* key;
  } rows[] = {{"nonce", 0, &key},
              {"ciphertext", 12 + 999, &key},
              {"tag", 1012 + 15, &key},
              {"another key", SIZE_MAX, &other}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Bytes region = SlotWith(plain);
    ASSERT_TRUE(zu::SealRegion(key, region.data(), plain.size()));
    if (row.flip != SIZE_MAX) region[row.flip] ^= 0x01;
    EXPECT_FALSE(zu::OpenRegion(*row.key, region.data(), region.size()));
    EXPECT_EQ(region, Bytes(region.size(), 0));  // wiped, not half decrypted
  }
}

// ---------------------------------------------------------------------------
// The encryption data

TEST(EncryptionData, IsTheSdkTextForTheKidAndWrappedKey) {
  const std::string wrapped(64, 'Q');
  // A kid with a quote and a backslash, which JSON escapes.
  const std::string text = zu::EncryptionDataJson(R"(local:k\"1)", wrapped);
  const std::string head = R"({"WrappedContentKey": {"KeyId": "local:k\\\"1", "EncryptedKey": ")" +
                           wrapped +
                           R"(", "Algorithm": "A256KW"}, "EncryptionAgent": {"Protocol": "2.0", )"
                           R"("EncryptionAlgorithm": "AES_GCM_256"}, "EncryptedRegionInfo": )"
                           R"({"DataLength": 4194304, "NonceLength": 12}, "KeyWrappingMetadata": )"
                           R"({"EncryptionLibrary": "zucloud )";
  const std::string tail = R"("}, "EncryptionMode": "FullBlob"})";
  ASSERT_GT(text.size(), head.size() + tail.size()) << text;
  EXPECT_EQ(text.substr(0, head.size()), head);
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  const std::string version = text.substr(head.size(), text.size() - head.size() - tail.size());
  EXPECT_EQ(version.find_first_not_of("0123456789."), std::string::npos) << version;

  const std::pair<std::string, std::string> refused[] = {
      {"k\n", wrapped},
      {"", wrapped},
      {std::string(zu::kMaxKidLength + 1, 'k'), wrapped},
      {"k", "ab\"c"},
      {"k", ""}};
  for (const auto& row : refused) {
    EXPECT_EQ(zu::EncryptionDataJson(row.first, row.second), "") << row.first << row.second;
  }
  EXPECT_NE(zu::EncryptionDataJson(std::string(zu::kMaxKidLength, 'k'), wrapped), "");
}

// ---------------------------------------------------------------------------
// Seals of the library's own state

// HMAC-SHA-256 with OpenSSL's one-shot HMAC, apart from the EVP_MAC path
// the library takes.
Bytes HmacSha256(const Bytes& key, const std::string& data) {
  unsigned char out[32];
  unsigned int length = 0;
  EXPECT_NE(HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
                 reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, &length),
            nullptr);
  return Bytes(out, out + length);
}

// The seal as RFC 5869 spells HKDF (no salt: 32 zero bytes; one block of
// output) and RFC 2104 HMAC, computed here step by step.
std::string ExpectedSeal(const Bytes& kek, const std::string& text) {
  const Bytes prk = HmacSha256(Bytes(32, 0), std::string(kek.begin(), kek.end()));
  const Bytes macKey =
      HmacSha256(prk, std::string("zucloud state seal: HMAC-SHA-256 key, version 1") + '\x01');
  const Bytes seal = HmacSha256(macKey, text);
  return zu::Base64OneLine(std::string(seal.begin(), seal.end()));
}

TEST(StateSeal, IsHmacUnderAKeyDerivedWithHkdfAndProvesOnlyItsOwnText) {
  zu::KeyEncryptionKey kek;
  std::string reason;
  ASSERT_TRUE(zu::ParseKeyEncryptionKey(KeyFileText("k", kKeyHex), kek, reason)) << reason;
  const std::string text = "zucloud blob upload journal 4\nurl https://s/c/a\nstored 5\n";
  const std::string seal = zu::SealStateText(kek, text);
  EXPECT_EQ(seal, ExpectedSeal(FromHex(kKeyHex), text));
  EXPECT_EQ(zu::SealStateText(kek, ""), ExpectedSeal(FromHex(kKeyHex), ""));
  EXPECT_TRUE(zu::StateTextSealed(kek, text, seal));

  zu::KeyEncryptionKey other;
  ASSERT_TRUE(zu::ParseKeyEncryptionKey(KeyFileText("k", std::string(64, 'a')), other, reason));
  std::string bytes;
  ASSERT_EQ(base64Decode(seal, bytes), 0);
  std::string flipped = bytes;
  flipped[31] ^= 0x01;
  const struct {
    const char* what;
    const zu::KeyEncryptionKey* kek;
    std::string text;
    std::string seal;
  } refused[] = {
      {"another key", &other, text, seal},
      {"one byte of the text changed", &kek, "y" + text.substr(1), seal},
      {"the text one byte longer", &kek, text + " ", seal},
      {"the text one byte shorter", &kek, text.substr(0, text.size() - 1), seal},
      {"one bit of the seal changed", &kek, text, zu::Base64OneLine(flipped)},
      {"a seal of 31 bytes", &kek, text, zu::Base64OneLine(bytes.substr(0, 31))},
      {"a seal of 33 bytes", &kek, text, zu::Base64OneLine(bytes + "x")},
      {"no seal", &kek, text, ""},
      {"not Base64", &kek, text, std::string(43, '*') + "="},
  };
  for (const auto& row : refused) {
    EXPECT_FALSE(zu::StateTextSealed(*row.kek, row.text, row.seal)) << row.what;
  }
  // The key-encryption key itself never keys the MAC.
  EXPECT_NE(seal, zu::Base64OneLine([&] {
              const Bytes raw = HmacSha256(FromHex(kKeyHex), text);
              return std::string(raw.begin(), raw.end());
            }()));
}

// ---------------------------------------------------------------------------
// Restored by the storage SDK

// Stores `plain` as the upload does: blocks of two regions, each sealed in
// its slot; blocks after the first with the content key unwrapped from the
// wrapped text, as after a resume. Writes STEM.stored and STEM.json.
void StoreEncrypted(const zu::KeyEncryptionKey& kek, const Bytes& plain, const std::string& stem) {
  zu::ContentKey key;
  ASSERT_TRUE(zu::MakeContentKey(key));
  const std::string wrapped = zu::WrapContentKey(kek, key);
  zu::ContentKey resumed;
  ASSERT_TRUE(zu::UnwrapContentKey(kek, wrapped, resumed));
  const size_t blockSize = 2 * zu::kRegionPlainBytes;
  std::string stored;
  for (size_t from = 0; from < plain.size(); from += blockSize) {
    const size_t length = std::min(blockSize, plain.size() - from);
    Bytes slot = SlotWith(Bytes(plain.begin() + from, plain.begin() + from + length));
    ASSERT_TRUE(zu::SealBlock(from == 0 ? key : resumed, slot.data(), length));
    stored.append(slot.begin(), slot.end());
  }
  ASSERT_EQ(stored.size(), zu::StoredLength(plain.size()));
  WriteFile(stem + ".stored", stored);
  WriteFile(stem + ".json", zu::EncryptionDataJson(kek.kid, wrapped));
}

// Runs tests/support/sdk_decrypt.py on the key file and stems; its exit
// status.
int RunSdkDecrypt(const std::string& keyFile, const std::vector<std::string>& stems) {
  std::string command =
      "/usr/bin/python3 " + zutest::SourceDir() + "/tests/support/sdk_decrypt.py '" + keyFile + "'";
  for (const auto& stem : stems) command += " '" + stem + "'";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SdkRestore, SdkRestoresWhatWeStoreByteForByteAndRefusesATamperedBlob) {
  TempDir dir;
  const std::string keyFile =
      WriteKeyFile(dir, "kek.json", KeyFileText("local:backup-kek", kKeyBase64));
  zu::KeyEncryptionKey kek;
  std::string reason;
  ASSERT_TRUE(zu::LoadKeyEncryptionKey(keyFile, kek, reason)) << reason;
  const size_t sizes[] = {0, 1, 4 * kMiB - 1, 4 * kMiB, 4 * kMiB + 1, 8 * kMiB + 1, 12 * kMiB + 5};
  std::vector<std::string> stems;
  for (size_t size : sizes) {
    stems.push_back(dir.file(std::to_string(size)));
    StoreEncrypted(kek, RandomBytes(size, static_cast<unsigned>(size)), stems.back());
  }
  // One byte of the second region changed.
  const std::string tampered = dir.file("tampered");
  std::string bytes = ReadFile(stems[5] + ".stored");
  bytes[zu::kRegionStoredBytes + 100] ^= 0x01;
  WriteFile(tampered + ".stored", bytes);
  WriteFile(tampered + ".json", ReadFile(stems[5] + ".json"));

  std::vector<std::string> all = stems;
  all.push_back(tampered);
  const int status = RunSdkDecrypt(keyFile, all);
  if (status == 77) GTEST_SKIP() << "the Python storage SDK (python3-azure-storage) is missing";
  ASSERT_EQ(status, 0);
  for (size_t i = 0; i < stems.size(); ++i) {
    SCOPED_TRACE(stems[i]);
    EXPECT_EQ(ReadFile(stems[i] + ".refused"), "");
    const Bytes plain = RandomBytes(sizes[i], static_cast<unsigned>(sizes[i]));
    EXPECT_TRUE(ReadFile(stems[i] + ".restored") == std::string(plain.begin(), plain.end()));
  }
  EXPECT_NE(ReadFile(tampered + ".refused"), "");
  EXPECT_EQ(::access((tampered + ".restored").c_str(), F_OK), -1);
}

}  // namespace
