// A JSON reader for the key file's object (KeyFileJson.h): strings are
// decoded into the caller's buffer or checked and passed over, every other
// value is checked and passed over with a stack of the open containers.
#include "platform/crypto/KeyFileJson.h"

#include <cstring>
#include <vector>

namespace zu {
namespace {

const char kNoJson[] = "the key file does not hold JSON";

class Reader {
 public:
  Reader(const char* text, size_t size)
      : m_p(reinterpret_cast<const unsigned char*>(text)), m_end(m_p + size) {
    if (size >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) m_p += 3;
  }

  void SkipSpace() {
    while (m_p < m_end && (*m_p == ' ' || *m_p == '\t' || *m_p == '\n' || *m_p == '\r')) ++m_p;
  }
  bool AtEnd() const { return m_p == m_end; }
  bool Next(unsigned char c) const { return m_p < m_end && *m_p == c; }
  bool Take(unsigned char c) {
    if (!Next(c)) return false;
    ++m_p;
    return true;
  }
  size_t Left() const { return static_cast<size_t>(m_end - m_p); }

  // Reads the string that starts here, writing its decoded bytes to `out`
  // (room for Left() bytes) when `out` is set; `length` the bytes decoded.
  bool String(char* out, size_t& length);
  // Passes over any one value, containers with all they hold.
  bool SkipValue();

 private:
  bool Escape(char* out, size_t& length);
  bool Utf8Sequence(char* out, size_t& length);
  bool Hex4(unsigned& value);
  bool Number();
  bool Literal();
  bool MemberName();
  bool Digits();

  const unsigned char* m_p;
  const unsigned char* m_end;
};

void Put(char* out, size_t& length, unsigned char c) {
  if (out != nullptr) out[length] = static_cast<char>(c);
  ++length;
}

bool Reader::String(char* out, size_t& length) {
  length = 0;
  if (!Take('"')) return false;
  while (m_p < m_end) {
    const unsigned char c = *m_p;
    if (c == '"') {
      ++m_p;
      return true;
    }
    if (c < 0x20) return false;
    if (c == '\\') {
      ++m_p;
      if (!Escape(out, length)) return false;
    } else if (c >= 0x80) {
      if (!Utf8Sequence(out, length)) return false;
    } else {
      Put(out, length, c);
      ++m_p;
    }
  }
  return false;
}

bool Reader::Hex4(unsigned& value) {
  if (Left() < 4) return false;
  value = 0;
  for (int i = 0; i < 4; ++i) {
    const unsigned char c = *m_p++;
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    value = value * 16 + digit;
  }
  return true;
}

bool Reader::Escape(char* out, size_t& length) {
  if (m_p == m_end) return false;
  const unsigned char c = *m_p++;
  const char* const simple = "\"\\/bfnrt";
  const char* const meant = "\"\\/\b\f\n\r\t";
  if (const char* at = c != 0 ? std::strchr(simple, c) : nullptr) {
    Put(out, length, static_cast<unsigned char>(meant[at - simple]));
    return true;
  }
  if (c != 'u') return false;
  unsigned code = 0;
  if (!Hex4(code)) return false;
  if (code >= 0xDC00 && code <= 0xDFFF) return false;  // a low surrogate alone
  if (code >= 0xD800 && code <= 0xDBFF) {
    unsigned low = 0;
    if (!Take('\\') || !Take('u') || !Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
  }
  if (code < 0x80) {
    Put(out, length, static_cast<unsigned char>(code));
  } else if (code < 0x800) {
    Put(out, length, static_cast<unsigned char>(0xC0 | (code >> 6)));
    Put(out, length, static_cast<unsigned char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    Put(out, length, static_cast<unsigned char>(0xE0 | (code >> 12)));
    Put(out, length, static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F)));
    Put(out, length, static_cast<unsigned char>(0x80 | (code & 0x3F)));
  } else {
    Put(out, length, static_cast<unsigned char>(0xF0 | (code >> 18)));
    Put(out, length, static_cast<unsigned char>(0x80 | ((code >> 12) & 0x3F)));
    Put(out, length, static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F)));
    Put(out, length, static_cast<unsigned char>(0x80 | (code & 0x3F)));
  }
  return true;
}

// One well-formed UTF-8 sequence of two to four bytes (no overlong form,
// no surrogate, nothing past U+10FFFF), copied as it is.
bool Reader::Utf8Sequence(char* out, size_t& length) {
  const unsigned char lead = *m_p;
  size_t more = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    more = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    more = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    more = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return false;
  }
  if (Left() < more + 1) return false;
  for (size_t i = 1; i <= more; ++i) {
    const unsigned char c = m_p[i];
    if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xBF)) return false;
  }
  for (size_t i = 0; i <= more; ++i) Put(out, length, m_p[i]);
  m_p += more + 1;
  return true;
}

bool Reader::Digits() {
  if (m_p == m_end || *m_p < '0' || *m_p > '9') return false;
  while (m_p < m_end && *m_p >= '0' && *m_p <= '9') ++m_p;
  return true;
}

bool Reader::Number() {
  Take('-');
  if (!Take('0') && !Digits()) return false;
  if (Take('.') && !Digits()) return false;
  if (Take('e') || Take('E')) {
    if (!Take('+')) Take('-');
    if (!Digits()) return false;
  }
  return true;
}

bool Reader::Literal() {
  for (const char* word : {"true", "false", "null"}) {
    const size_t n = std::strlen(word);
    if (Left() >= n && std::memcmp(m_p, word, n) == 0) {
      m_p += n;
      return true;
    }
  }
  return false;
}

bool Reader::MemberName() {
  size_t length = 0;
  SkipSpace();
  if (!String(nullptr, length)) return false;
  SkipSpace();
  return Take(':');
}

bool Reader::SkipValue() {
  std::vector<unsigned char> open;  // the closing bracket of each open container
  for (;;) {
    SkipSpace();
    if (m_p == m_end) return false;
    const unsigned char c = *m_p;
    bool valueDone = true;
    if (c == '{' || c == '[') {
      ++m_p;
      SkipSpace();
      const unsigned char close = c == '{' ? '}' : ']';
      if (!Take(close)) {
        open.push_back(close);
        if (close == '}' && !MemberName()) return false;
        valueDone = false;
      }
    } else if (c == '"') {
      size_t length = 0;
      if (!String(nullptr, length)) return false;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      if (!Number()) return false;
    } else if (!Literal()) {
      return false;
    }
    if (!valueDone) continue;
    // After a value: close what it ends, or go on to the next one.
    for (;;) {
      if (open.empty()) return true;
      SkipSpace();
      if (Take(',')) {
        if (open.back() == '}' && !MemberName()) return false;
        break;
      }
      if (!Take(open.back())) return false;
      open.pop_back();
    }
  }
}

// The value of "kid" or "key": its text when it is a string (`isText`),
// else passed over.
bool ReadMember(Reader& reader, bool& isText, SecretBuffer& text, size_t& length) {
  reader.SkipSpace();
  isText = reader.Next('"');
  if (!isText) return reader.SkipValue();
  text = SecretBuffer(reader.Left());
  return reader.String(text.chars(), length);
}

}  // namespace

std::string ReadKeyFileJson(const char* text, size_t size, KeyFileMembers& members) {
  Reader reader(text, size);
  reader.SkipSpace();
  if (!reader.Next('{')) {
    const bool json = reader.SkipValue() && (reader.SkipSpace(), reader.AtEnd());
    return json ? "the key file does not hold a JSON object" : kNoJson;
  }
  reader.Take('{');
  reader.SkipSpace();
  bool sawKid = false;
  bool sawKey = false;
  bool more = !reader.Take('}');
  while (more) {
    reader.SkipSpace();
    std::string name(reader.Left(), '\0');
    size_t nameLength = 0;
    if (!reader.String(&name[0], nameLength)) return kNoJson;
    name.resize(nameLength);
    reader.SkipSpace();
    if (!reader.Take(':')) return kNoJson;
    bool ok = true;
    if (name == "kid" || name == "key") {
      bool& saw = name == "kid" ? sawKid : sawKey;
      if (saw) return "the key file names \"" + name + "\" more than once";
      saw = true;
      SecretBuffer value;
      size_t length = 0;
      bool isText = false;
      ok = ReadMember(reader, isText, value, length);
      if (ok && name == "kid") {
        members.kidIsText = isText;
        if (isText) members.kid.assign(value.chars(), length);
      } else if (ok) {
        members.keyIsText = isText;
        members.keyText = std::move(value);
        members.keyLength = length;
      }
    } else {
      ok = reader.SkipValue();
    }
    if (!ok) return kNoJson;
    reader.SkipSpace();
    if (reader.Take('}')) break;
    if (!reader.Take(',')) return kNoJson;
  }
  reader.SkipSpace();
  return reader.AtEnd() ? std::string() : kNoJson;
}

}  // namespace zu
