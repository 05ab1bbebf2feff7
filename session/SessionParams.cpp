#include "session/SessionParams.h"

#include "platform/text/FXString.h"

namespace zu {

const char* SessionParams::className() const {
  return kind == ServiceKind::kFolder ? "ZUCloudService" : "ZUCloudAzureService";
}

std::wstring SessionParams::notInitializedMessage() const {
  const std::string name = className();
  return FXString::ToWstring("Error: " + name +
                             " not initialized, no user/password provided, call " + name +
                             "::init() first");
}

}  // namespace zu
