#include "platform/thread.h"

#include <pthread.h>

#include <chrono>
#include <memory>

namespace platform {
namespace {
void* Run(void* arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  (*body)();
  return nullptr;
}
}  // namespace

int StartDetachedThread(std::function<void()> body, std::size_t stackSize) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, stackSize);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  auto* arg = new std::function<void()>(std::move(body));
  pthread_t thread;
  int rc = pthread_create(&thread, &attributes, Run, arg);
  pthread_attr_destroy(&attributes);
  if (rc != 0) delete arg;
  return rc;
}

std::uint32_t TickCount() {
  auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

}  // namespace platform
