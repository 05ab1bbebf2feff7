// The encryption data's text, written member by member: the SDKs' order
// and Python's separators, which a general JSON writer does not keep.
#include "platform/crypto/EncryptionData.h"

#include <string>

#include "platform/crypto/KeyFile.h"
#include "platform/crypto/KeyWrap.h"
#include "platform/crypto/RegionLayout.h"

namespace zu {
namespace {

// `text` as a JSON string; it holds printable ASCII only (KidProblem), of
// which '"' and '\' need escaping.
std::string Quoted(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

bool IsBase64Text(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (!letter && c != '+' && c != '/' && c != '=') return false;
  }
  return true;
}

}  // namespace

std::string EncryptionDataJson(const std::string& kid, const std::string& wrappedKey) {
  if (KidProblem(kid) != nullptr || !IsBase64Text(wrappedKey)) return std::string();
  return std::string("{\"WrappedContentKey\": {\"KeyId\": ") + Quoted(kid) +
         ", \"EncryptedKey\": " + Quoted(wrappedKey) + ", \"Algorithm\": \"" + kKeyWrapAlgorithm +
         "\"}, \"EncryptionAgent\": {\"Protocol\": \"2.0\", \"EncryptionAlgorithm\": "
         "\"AES_GCM_256\"}, \"EncryptedRegionInfo\": {\"DataLength\": " +
         std::to_string(kRegionPlainBytes) +
         ", \"NonceLength\": " + std::to_string(kRegionNonceBytes) +
         "}, \"KeyWrappingMetadata\": {\"EncryptionLibrary\": \"zucloud " ZUCLOUD_VERSION
         "\"}, \"EncryptionMode\": \"FullBlob\"}";
}

}  // namespace zu
