#include "support/EncryptedBlob.h"

#include <sys/stat.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/crypto/KeyFile.h"
#include "platform/crypto/KeyWrap.h"
#include "platform/crypto/RegionLayout.h"
#include "platform/crypto/RegionSeal.h"
#include "support/TestEnv.h"

namespace zutest {

std::string WriteKeyFile(const std::string& path, const std::string& kid,
                         const std::string& keyText, mode_t mode) {
  WriteFile(path, "{\"kid\": \"" + kid + "\", \"key\": \"" + keyText + "\"}");
  ::chmod(path.c_str(), mode);
  return path;
}

std::string WrappedKeyOf(const std::string& encryptionData) {
  const nlohmann::json data = nlohmann::json::parse(encryptionData, nullptr, false);
  if (!data.is_object() || !data.contains("WrappedContentKey")) return std::string();
  return data["WrappedContentKey"].value("EncryptedKey", "");
}

bool OpenStoredBlob(const std::string& keyFile, const std::string& encryptionData,
                    const std::string& stored, std::string& plain, std::string& contentKeyHex) {
  zu::KeyEncryptionKey kek;
  zu::ContentKey key;
  std::string reason;
  if (!zu::LoadKeyEncryptionKey(keyFile, kek, reason) ||
      !zu::UnwrapContentKey(kek, WrappedKeyOf(encryptionData), key)) {
    return false;
  }
  contentKeyHex.clear();
  for (size_t i = 0; i < zu::SecretKey32::kSize; ++i) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", key.data()[i]);
    contentKeyHex += hex;
  }
  plain.clear();
  std::string region;
  for (size_t at = 0; at < stored.size(); at += zu::kRegionStoredBytes) {
    region = stored.substr(at, zu::kRegionStoredBytes);
    if (!zu::OpenRegion(key, reinterpret_cast<unsigned char*>(&region[0]), region.size())) {
      return false;
    }
    plain.append(region, zu::kRegionNonceBytes, region.size() - zu::kRegionOverheadBytes);
  }
  return true;
}

}  // namespace zutest
