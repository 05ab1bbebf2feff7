#include "blob/resume/ResumeJournal.h"

#include <climits>
#include <sstream>

#include "blob/storage/BlockId.h"
#include "platform/host/Env.h"
#include "platform/text/Base64.h"
#include "platform/text/Decimal.h"
#include "platform/text/Sha256.h"

namespace zu::blob {
namespace {

constexpr char kDefaultStateDir[] = "/var/lib/zucloud";
constexpr char kMagicLine[] = "zucloud blob upload journal 4";
constexpr char kUnsealedMagicLine[] = "zucloud blob upload journal 3";
constexpr char kOldMagicLine[] = "zucloud blob upload journal 1";
constexpr char kKeylessMagicLine[] = "zucloud blob upload journal 2";
constexpr size_t kHeaderLines = 7;
constexpr size_t kUnsealedHeaderLines = 6;  // version 3: no mac line
// The bytes of a seal (StateSeal.h's kStateSealBytes, an HMAC-SHA-256).
constexpr size_t kSealBytes = 32;
// Longer than any wrapped content key's Base64 text (64 characters).
constexpr size_t kMaxWrappedKeyText = 128;

// Splits `text` into lines; false when the last one is not ended by "\n"
// (a journal cut short).
bool SplitLines(const std::string& text, std::vector<std::string>& lines) {
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) return false;
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return true;
}

// Splits a line at single blanks; empty words (two blanks, a blank at an
// end) make the line invalid.
bool SplitWords(const std::string& line, std::vector<std::string>& words) {
  words.clear();
  size_t start = 0;
  for (;;) {
    const size_t end = line.find(' ', start);
    const std::string word = line.substr(start, end == std::string::npos ? end : end - start);
    if (word.empty()) return false;
    words.push_back(word);
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

// A file time in nanoseconds as JournalHeader writes it.
bool ParseNanoseconds(const std::string& text, long long& value) {
  return ParseSignedDecimal(text, Signs::kMinusOnly, -LLONG_MAX, LLONG_MAX, value);
}

// Offset and length of block `blockNo` (from 1).
void BlockExtent(unsigned int blockNo, unsigned long long blockSize, unsigned long long fileSize,
                 unsigned long long& offset, unsigned long long& length) {
  offset = static_cast<unsigned long long>(blockNo - 1) * blockSize;
  length = fileSize - offset < blockSize ? fileSize - offset : blockSize;
}

}  // namespace

std::string StateDirectory() { return VariableOr("ZUCLOUD_STATE_DIR", kDefaultStateDir); }

std::string JournalFileName(const std::string& blobUrl) {
  return "blob-" + Sha256Hex(blobUrl) + ".journal";
}

std::string JournalLockName(const std::string& blobUrl) {
  return "blob-" + Sha256Hex(blobUrl) + ".lock";
}

namespace {

// The header lines before the mac line.
std::string SealedLines(const std::string& blobUrl, const FileIdentity& identity,
                        unsigned long long blockSize, const std::string& tag,
                        const std::string& kid, const std::string& wrappedKey) {
  std::ostringstream out;
  out << kMagicLine << "\n"
      << "url " << blobUrl << "\n"
      << "file " << identity.device << " " << identity.inode << " " << identity.size << " "
      << identity.modifiedNs << " " << identity.changedNs << "\n"
      << "blocksize " << blockSize << "\n"
      << "tag " << tag << "\n"
      << "key " << (kid.empty() ? std::string("none") : Base64OneLine(kid) + " " + wrappedKey)
      << "\n";
  return out.str();
}

}  // namespace

std::string JournalSealedText(const std::string& blobUrl, const FileIdentity& identity,
                              unsigned long long blockSize, const std::string& tag,
                              const std::string& kid, const std::string& wrappedKey,
                              unsigned long long storedLength) {
  return SealedLines(blobUrl, identity, blockSize, tag, kid, wrappedKey) + "stored " +
         std::to_string(storedLength) + "\n";
}

std::string JournalHeader(const std::string& blobUrl, const FileIdentity& identity,
                          unsigned long long blockSize, const std::string& tag,
                          const std::string& kid, const std::string& wrappedKey,
                          const std::string& mac) {
  return SealedLines(blobUrl, identity, blockSize, tag, kid, wrappedKey) + "mac " +
         (mac.empty() ? std::string("none") : mac) + "\n";
}

std::string JournalBlockLine(unsigned int blockNo, unsigned long long blockSize,
                             unsigned long long fileSize, const std::string& tag) {
  unsigned long long offset = 0;
  unsigned long long length = 0;
  BlockExtent(blockNo, blockSize, fileSize, offset, length);
  return "block " + std::to_string(blockNo) + " " + BlockId(blockNo, tag) + " " +
         std::to_string(offset) + " " + std::to_string(length) + "\n";
}

namespace {

// The key line: "key none", or the Base64 of a kid and a wrapped key.
bool ParseKeyLine(const std::string& line, JournalContent& content, std::string& problem) {
  std::vector<std::string> words;
  if (line == "key none") return true;
  if (!SplitWords(line, words) || words.size() != 3 || words[0] != "key" ||
      base64Decode(words[1], content.kid) != 0 || content.kid.empty() ||
      Base64OneLine(content.kid) != words[1] || words[2].size() > kMaxWrappedKeyText) {
    content.kid.clear();
    problem = "its key line is invalid";
    return false;
  }
  content.wrappedKey = words[2];
  return true;
}

// The mac line: "mac none" without a key, the Base64 of a seal with one.
bool ParseMacLine(const std::string& line, JournalContent& content, std::string& problem) {
  std::vector<std::string> words;
  std::string seal;
  if (content.kid.empty() ? line == "mac none"
                          : SplitWords(line, words) && words.size() == 2 && words[0] == "mac" &&
                                base64Decode(words[1], seal) == 0 && seal.size() == kSealBytes &&
                                Base64OneLine(seal) == words[1]) {
    if (!content.kid.empty()) content.mac = words[1];
    return true;
  }
  problem = "its mac line is invalid";
  return false;
}

// The lines after the magic line: url, file identity, block size, tag,
// key and (version 4) mac.
bool ParseHeader(const std::vector<std::string>& lines, JournalContent& content,
                 std::string& problem) {
  std::vector<std::string> words;
  if (lines[1].compare(0, 4, "url ") != 0 || lines[1].size() == 4) {
    problem = "its url line is invalid";
    return false;
  }
  content.blobUrl = lines[1].substr(4);
  FileIdentity& id = content.identity;
  if (!SplitWords(lines[2], words) || words.size() != 6 || words[0] != "file" ||
      !ParseDecimal(words[1], id.device) || !ParseDecimal(words[2], id.inode) ||
      !ParseDecimal(words[3], id.size) || !ParseNanoseconds(words[4], id.modifiedNs) ||
      !ParseNanoseconds(words[5], id.changedNs)) {
    problem = "its file line is invalid";
    return false;
  }
  if (!SplitWords(lines[3], words) || words.size() != 2 || words[0] != "blocksize" ||
      !ParseDecimal(words[1], content.blockSize) || content.blockSize == 0) {
    problem = "its blocksize line is invalid";
    return false;
  }
  if (!SplitWords(lines[4], words) || words.size() != 2 || words[0] != "tag" ||
      !IsUploadTag(words[1])) {
    problem = "its tag line is invalid";
    return false;
  }
  content.tag = words[1];
  if (!ParseKeyLine(lines[5], content, problem)) return false;
  return content.version < 4 || ParseMacLine(lines[6], content, problem);
}

// Line `i`, which must be exactly the block line this file, block size and
// tag give for its block number.
bool ParseBlockLine(const std::vector<std::string>& lines, size_t i, JournalContent& content,
                    std::string& problem) {
  const unsigned long long blocks = BlocksNeeded(content.identity.size, content.blockSize);
  std::vector<std::string> words;
  unsigned long long number = 0;
  unsigned long long offset = 0;
  unsigned long long length = 0;
  if (!SplitWords(lines[i], words) || words.size() != 5 || words[0] != "block" ||
      !ParseDecimal(words[1], number) || number < 1 || number > blocks ||
      number > kMaxBlocksPerBlob || !ParseDecimal(words[3], offset) ||
      !ParseDecimal(words[4], length)) {
    problem = "line " + std::to_string(i + 1) + " is not a block line";
    return false;
  }
  const unsigned int blockNo = static_cast<unsigned int>(number);
  if (lines[i] + "\n" !=
      JournalBlockLine(blockNo, content.blockSize, content.identity.size, content.tag)) {
    problem = "line " + std::to_string(i + 1) + " does not match the file's blocks";
    return false;
  }
  content.blocks.push_back(blockNo);
  return true;
}

}  // namespace

bool ParseJournal(const std::string& text, JournalContent& content, std::string& problem) {
  content = JournalContent{};
  std::vector<std::string> lines;
  if (!SplitLines(text, lines)) {
    problem = "its last line is cut short";
    return false;
  }
  if (!lines.empty() && lines[0] == kOldMagicLine) {
    problem = "it was written by an earlier version, whose block ids carried no upload tag";
    return false;
  }
  if (!lines.empty() && lines[0] == kKeylessMagicLine) {
    problem = "it was written by an earlier version, whose journals named no content key";
    return false;
  }
  if (!lines.empty()) content.version = lines[0] == kMagicLine ? 4 : 3;
  const size_t headerLines = content.version == 4 ? kHeaderLines : kUnsealedHeaderLines;
  if (lines.size() < headerLines || (lines[0] != kMagicLine && lines[0] != kUnsealedMagicLine)) {
    content.version = 0;
    problem = "it does not start with the journal's header";
    return false;
  }
  if (!ParseHeader(lines, content, problem)) return false;
  for (size_t i = headerLines; i < lines.size(); ++i) {
    // The commit line ends a journal: nothing is confirmed after it.
    if (lines[i] + "\n" == kJournalCommitLine && i + 1 == lines.size()) {
      content.commitSent = true;
      continue;
    }
    if (!ParseBlockLine(lines, i, content, problem)) return false;
  }
  return true;
}

ResumeJournal::ResumeJournal(std::unique_ptr<PrivateDirectory> dir, std::string name,
                             std::unique_ptr<AppendFile> file)
    : m_dir(std::move(dir)), m_name(std::move(name)), m_file(std::move(file)) {}

std::string ResumeJournal::path() const { return m_dir->path() + "/" + m_name; }

bool ResumeJournal::Append(const std::string& line, std::string& problem) {
  zu::MutexLock lock(m_mutex);
  if (!m_file) return true;
  if (m_file->Append(line, problem)) return true;
  m_file.reset();
  return false;
}

void ResumeJournal::Remove() {
  zu::MutexLock lock(m_mutex);
  m_file.reset();
  m_dir->Remove(m_name);
}

}  // namespace zu::blob
