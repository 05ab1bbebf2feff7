// The key file's text: one JSON object with the kid and the key, the key in
// hexadecimal or Base64. Every copy of the key made here is wiped.
#include <openssl/crypto.h>

#include <cstring>
#include <nlohmann/json.hpp>

#include "platform/crypto/KeyFile.h"

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

bool AllHex(const std::string& text) {
  for (char c : text) {
    if (HexValue(c) < 0) return false;
  }
  return !text.empty();
}

// Decodes padded standard Base64 into `out`; false when `text` is not
// that. Up to two '=' end the text; nothing else but the alphabet.
bool DecodeBase64(const std::string& text, std::string& out) {
  out.clear();
  if (text.empty() || text.size() % 4 != 0) return false;
  const size_t pad = text.compare(text.size() - 2, 2, "==") == 0 ? 2 : (text.back() == '=' ? 1 : 0);
  unsigned int bits = 0;
  int count = 0;
  for (size_t i = 0; i < text.size() - pad; ++i) {
    const int v = Base64Value(text[i]);
    if (v < 0) return false;
    bits = (bits << 6) | static_cast<unsigned int>(v);
    if (++count == 4) {
      for (int shift = 16; shift >= 0; shift -= 8) out += static_cast<char>((bits >> shift) & 0xFF);
      bits = 0;
      count = 0;
    }
  }
  if (pad > 0) {
    bits <<= 6 * pad;  // count is 4 - pad
    for (size_t k = 0; k < 3 - pad; ++k) out += static_cast<char>((bits >> (16 - 8 * k)) & 0xFF);
  }
  OPENSSL_cleanse(&bits, sizeof bits);
  return true;
}

// Decodes the key text into `key`. "" on success, else the reason.
std::string DecodeKey(const std::string& text, SecretKey32& key) {
  if (text.size() == 2 * SecretKey32::kSize && AllHex(text)) {
    for (size_t i = 0; i < SecretKey32::kSize; ++i) {
      key.data()[i] =
          static_cast<unsigned char>(HexValue(text[2 * i]) * 16 + HexValue(text[2 * i + 1]));
    }
    return std::string();
  }
  // Base64 of 32 bytes ends in '=', so no text is both of the two forms.
  if (AllHex(text)) {
    return "the key is " + std::to_string(text.size()) + " hexadecimal digits long, not 64";
  }
  std::string bytes;
  std::string reason;
  if (DecodeBase64(text, bytes)) {
    if (bytes.size() == SecretKey32::kSize) {
      std::memcpy(key.data(), bytes.data(), SecretKey32::kSize);
    } else {
      reason = "the key is " + std::to_string(bytes.size()) + " bytes long in Base64, not 32";
    }
  } else {
    reason = "the key is neither 64 hexadecimal digits nor the Base64 of 32 bytes";
  }
  OPENSSL_cleanse(&bytes[0], bytes.size());
  return reason;
}

// Wipes the text of every string member of `object`.
void WipeStrings(nlohmann::json& object) {
  for (auto& member : object.items()) {
    if (!member.value().is_string()) continue;
    std::string& text = member.value().get_ref<std::string&>();
    OPENSSL_cleanse(&text[0], text.size());
  }
}

// Reads the kid and the key of the parsed `object`. "" on success.
std::string ReadMembers(const nlohmann::json& object, KeyEncryptionKey& kek) {
  const auto kid = object.find("kid");
  if (kid == object.end() || !kid->is_string()) return "the key file has no \"kid\" text";
  const std::string& kidText = kid->get_ref<const std::string&>();
  if (const char* problem = KidProblem(kidText)) return problem;
  const auto key = object.find("key");
  if (key == object.end() || !key->is_string()) return "the key file has no \"key\" text";
  std::string reason = DecodeKey(key->get_ref<const std::string&>(), kek.key);
  if (reason.empty()) kek.kid = kidText;
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

bool ParseKeyEncryptionKey(const std::string& text, KeyEncryptionKey& kek, std::string& reason) {
  kek.kid.clear();
  kek.key.Wipe();
  nlohmann::json parsed = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) {
    reason = "the key file does not hold JSON";
  } else if (!parsed.is_object()) {
    reason = "the key file does not hold a JSON object";
  } else {
    reason = ReadMembers(parsed, kek);
    WipeStrings(parsed);
  }
  if (!reason.empty()) kek.key.Wipe();
  return reason.empty();
}

}  // namespace zu
