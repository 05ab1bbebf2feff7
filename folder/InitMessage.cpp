#include "folder/InitMessage.h"

#include <map>

#include "platform/threads/ZuSync.h"

namespace zu::folder {
namespace {

struct InitMessages {
  Mutex mutex;
  std::map<const void*, std::wstring> texts GUARDED_BY(mutex);
};

InitMessages& Messages() {
  static InitMessages* messages = new InitMessages();  // used until exit
  return *messages;
}

}  // namespace

void RememberInitMessage(const void* service, const std::wstring& message) {
  InitMessages& messages = Messages();
  MutexLock lock(messages.mutex);
  if (message.empty()) {
    messages.texts.erase(service);
  } else {
    messages.texts[service] = message;
  }
}

std::wstring InitMessageOf(const void* service) {
  InitMessages& messages = Messages();
  MutexLock lock(messages.mutex);
  const auto it = messages.texts.find(service);
  return it == messages.texts.end() ? std::wstring() : it->second;
}

void ForgetInitMessage(const void* service) {
  InitMessages& messages = Messages();
  MutexLock lock(messages.mutex);
  messages.texts.erase(service);
}

}  // namespace zu::folder
