#include "session/UploadProgress.h"

#include <atomic>

#include "ZuUploadProgress.h"
#include "platform/threads/ZuSync.h"

namespace {

// Calls hold the lock shared; registration takes it exclusively, so it
// returns only after every running call of the old callback has ended.
zu::SharedMutex g_mutex;
ZuUploadProgressCallback g_callback GUARDED_BY(g_mutex) = nullptr;
void* g_context GUARDED_BY(g_mutex) = nullptr;
std::atomic<bool> g_registered{false};

}  // namespace

extern "C" void zuSetUploadProgressCallback(ZuUploadProgressCallback callback, void* context) {
  zu::ExclusiveLock lock(g_mutex);
  g_callback = callback;
  g_context = context;
  g_registered.store(callback != nullptr, std::memory_order_release);
}

namespace zu {

void ReportUploadProgress(const std::string& fileName, unsigned long long bytesSent,
                          unsigned long long totalBytes) {
  if (!g_registered.load(std::memory_order_acquire)) return;
  SharedLock lock(g_mutex);
  if (g_callback != nullptr) g_callback(g_context, fileName.c_str(), bytesSent, totalBytes);
}

}  // namespace zu
