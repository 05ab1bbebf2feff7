#include "blob/storage/BlobEncryption.h"

#include "platform/crypto/EncryptionData.h"
#include "platform/crypto/KeyFile.h"
#include "platform/crypto/KeyWrap.h"
#include "platform/crypto/RegionLayout.h"
#include "platform/crypto/RegionSeal.h"
#include "platform/log/EvDebug.h"
#include "platform/text/FXString.h"

namespace zu::blob {

bool StartEncryption(EvDebug* log, const char* tag, const std::string& keyFile,
                     const std::string& localPath, std::unique_ptr<BlobEncryption>& encryption,
                     std::wstring& errorMessage) {
  encryption.reset();
  if (keyFile.empty()) return true;
  auto made = std::make_unique<BlobEncryption>();
  std::string reason;
  if (!LoadKeyEncryptionKey(keyFile, made->kek, reason)) {
    const std::string refusal = KeyFileRefusal(reason);
    log->Error(tag, "Error: %s File [%s] is not uploaded.", refusal.c_str(), localPath.c_str());
    errorMessage = FXString::ToWstring(refusal);
    return false;
  }
  if (MakeContentKey(made->contentKey))
    made->wrappedKey = WrapContentKey(made->kek, made->contentKey);
  if (made->wrappedKey.empty()) {
    log->Error(tag,
               "Error: No content key could be made and wrapped for file [%s] (OpenSSL "
               "failed); it is not uploaded.",
               localPath.c_str());
    errorMessage = L"Error: No content key could be made to encrypt the file; it was not uploaded.";
    return false;
  }
  encryption = std::move(made);
  return true;
}

bool AdoptWrappedKey(BlobEncryption& encryption, const std::string& wrapped) {
  ContentKey unwrapped;
  if (!UnwrapContentKey(encryption.kek, wrapped, unwrapped)) return false;
  encryption.contentKey = std::move(unwrapped);
  encryption.wrappedKey = wrapped;
  return true;
}

unsigned long long StoredBytes(const BlobEncryption* encryption, unsigned long long plainLength) {
  return encryption != nullptr ? StoredLength(plainLength) : plainLength;
}

std::string EncryptionDataOf(const BlobEncryption* encryption) {
  if (encryption == nullptr) return std::string();
  return EncryptionDataJson(encryption->kek.kid, encryption->wrappedKey);
}

CPzError ReadRegions(SequentialFile& file, char* slot, unsigned long long length,
                     unsigned long long& got) {
  got = 0;
  for (unsigned long long region = 0; got < length; ++region) {
    const unsigned long long left = length - got;
    const unsigned long long want = left < kRegionPlainBytes ? left : kRegionPlainBytes;
    unsigned long long read = 0;
    CPzError error = file.Read(slot + PlainOffsetInSlot(region), want, read);
    if (error.IsError()) return error;
    got += read;
    if (read < want) break;
  }
  return CPzError();
}

bool SealSlot(const BlobEncryption& encryption, char* slot, unsigned long long plainLength) {
  return SealBlock(encryption.contentKey, reinterpret_cast<unsigned char*>(slot),
                   static_cast<size_t>(plainLength));
}

}  // namespace zu::blob
