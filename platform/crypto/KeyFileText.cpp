// The key file's text: one JSON object with the kid and the key, the key in
// hexadecimal or Base64. The key's text and bytes are only ever held in
// secret pages (SecretBuffer.h), which are wiped when released.
#include <openssl/crypto.h>

#include <cstring>

#include "platform/crypto/KeyFile.h"
#include "platform/crypto/KeyFileJson.h"
#include "platform/crypto/SecretBuffer.h"

namespace zu {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool AllHex(const char* text, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (HexValue(text[i]) < 0) return false;
  }
  return size != 0;
}

// Decodes padded standard Base64 into `out` (room for size / 4 * 3 bytes),
// `length` the bytes decoded; false when `text` is not that. Up to two '='
// end the text; nothing else but the alphabet.
bool DecodeBase64(const char* text, size_t size, unsigned char* out, size_t& length) {
  length = 0;
  if (size == 0 || size % 4 != 0) return false;
  const size_t pad = text[size - 1] != '=' ? 0 : (text[size - 2] == '=' ? 2 : 1);
  unsigned int bits = 0;
  int count = 0;
  for (size_t i = 0; i < size - pad; ++i) {
    const int v = Base64Value(text[i]);
    if (v < 0) return false;
    bits = (bits << 6) | static_cast<unsigned int>(v);
    if (++count == 4) {
      for (int shift = 16; shift >= 0; shift -= 8) {
        out[length++] = static_cast<unsigned char>((bits >> shift) & 0xFF);
      }
      bits = 0;
      count = 0;
    }
  }
  if (pad > 0) {
    bits <<= 6 * pad;  // count is 4 - pad
    for (size_t k = 0; k < 3 - pad; ++k) {
      out[length++] = static_cast<unsigned char>((bits >> (16 - 8 * k)) & 0xFF);
    }
  }
  OPENSSL_cleanse(&bits, sizeof bits);
  return true;
}

// Decodes the `size` bytes of key text at `text` into `key`. "" on
// success, else the reason. The Base64 form is decoded in secret pages.
std::string DecodeKey(const char* text, size_t size, SecretKey32& key) {
  if (size == 2 * SecretKey32::kSize && AllHex(text, size)) {
    for (size_t i = 0; i < SecretKey32::kSize; ++i) {
      key.data()[i] =
          static_cast<unsigned char>(HexValue(text[2 * i]) * 16 + HexValue(text[2 * i + 1]));
    }
    return std::string();
  }
  // Base64 of 32 bytes ends in '=', so no text is both of the two forms.
  if (AllHex(text, size)) {
    return "the key is " + std::to_string(size) + " hexadecimal digits long, not 64";
  }
  SecretBuffer bytes(size / 4 * 3);
  size_t length = 0;
  if (!DecodeBase64(text, size, bytes.data(), length)) {
    return "the key is neither 64 hexadecimal digits nor the Base64 of 32 bytes";
  }
  if (length != SecretKey32::kSize) {
    return "the key is " + std::to_string(length) + " bytes long in Base64, not 32";
  }
  std::memcpy(key.data(), bytes.data(), SecretKey32::kSize);
  return std::string();
}

// The kid and the key of the object's members. "" on success.
std::string ReadMembers(const KeyFileMembers& members, KeyEncryptionKey& kek) {
  if (!members.kidIsText) return "the key file has no \"kid\" text";
  if (const char* problem = KidProblem(members.kid)) return problem;
  if (!members.keyIsText) return "the key file has no \"key\" text";
  std::string reason = DecodeKey(members.keyText.chars(), members.keyLength, kek.key);
  if (reason.empty()) kek.kid = members.kid;
  return reason;
}

}  // namespace

const char* KidProblem(const std::string& kid) {
  if (kid.empty()) return "the \"kid\" is empty";
  if (kid.size() > kMaxKidLength) return "the \"kid\" is longer than 1024 characters";
  for (unsigned char c : kid) {
    if (c < 0x20 || c == 0x7F) return "the \"kid\" holds control characters";
    if (c > 0x7F) return "the \"kid\" holds characters outside ASCII";
  }
  return nullptr;
}

bool ParseKeyEncryptionKey(const char* text, size_t size, KeyEncryptionKey& kek,
                           std::string& reason) {
  kek.kid.clear();
  kek.key.Wipe();
  KeyFileMembers members;
  reason = ReadKeyFileJson(text, size, members);
  if (reason.empty()) reason = ReadMembers(members, kek);
  if (!reason.empty()) kek.key.Wipe();
  return reason.empty();
}

bool ParseKeyEncryptionKey(const std::string& text, KeyEncryptionKey& kek, std::string& reason) {
  return ParseKeyEncryptionKey(text.data(), text.size(), kek, reason);
}

}  // namespace zu
