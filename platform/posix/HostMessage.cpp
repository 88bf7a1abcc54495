#include "platform/HostMessage.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/Module.h"

namespace kelda::platform {

using PostFn = int (*)(uintptr_t window, uint32_t message, uintptr_t wParam, intptr_t lParam);
using SendFn = int (*)(uintptr_t window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                       uint32_t timeoutMs);

template <class Fn>
static Fn HostFunction(const char* name) {
  return reinterpret_cast<Fn>(FindExport(HostProgramHandle(), name));
}

bool PostHostMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (window == kNoWindow) return false;
  static const PostFn post = HostFunction<PostFn>("KeldaHost_PostMessage");
  return post && post(window, message, wParam, lParam) != 0;
}

bool SendHostMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                     uint32_t timeoutMs) {
  if (window == kNoWindow) return false;
  static const SendFn send = HostFunction<SendFn>("KeldaHost_SendMessage");
  return send && send(window, message, wParam, lParam, timeoutMs) != 0;
}

namespace {

// A message waiting for its window's owner thread. A sender waits on Done; when it gives up,
// the message is still handled later and its answer dropped.
struct TQueuedMessage {
  WindowHandle Window;
  uint32_t Message;
  uintptr_t WParam;
  intptr_t LParam;
  bool Done = false;
};

struct TWindowEntry {
  THostWindow* Window;
  std::thread::id Owner;
};

struct THostWindows {
  std::mutex Mutex;
  std::condition_variable Handled;
  std::map<WindowHandle, TWindowEntry> Windows;
  std::map<std::thread::id, std::deque<std::shared_ptr<TQueuedMessage>>> Queues;
  WindowHandle NextHandle = 0x1000;
};

THostWindows& Registry() {
  static THostWindows registry;
  return registry;
}

}  // namespace

THostWindow::THostWindow(Handler handler) : FHandler(std::move(handler)) {
  auto& registry = Registry();
  std::lock_guard lock(registry.Mutex);
  FHandle = registry.NextHandle;
  registry.NextHandle += 4;
  registry.Windows[FHandle] = TWindowEntry{this, std::this_thread::get_id()};
}

THostWindow::~THostWindow() {
  auto& registry = Registry();
  std::lock_guard lock(registry.Mutex);
  registry.Windows.erase(FHandle);
}

int THostWindow::ProcessMessages() {
  auto& registry = Registry();
  int count = 0;
  for (;;) {
    std::shared_ptr<TQueuedMessage> next;
    THostWindow* window = nullptr;
    {
      std::lock_guard lock(registry.Mutex);
      auto& queue = registry.Queues[std::this_thread::get_id()];
      if (queue.empty()) return count;
      next = queue.front();
      queue.pop_front();
      auto found = registry.Windows.find(next->Window);
      if (found != registry.Windows.end()) window = found->second.Window;
    }
    // Handlers run without the registry lock: they call into the module, which may post again.
    if (window) window->Dispatch(next->Message, next->WParam, next->LParam);
    {
      std::lock_guard lock(registry.Mutex);
      next->Done = true;
    }
    registry.Handled.notify_all();
    ++count;
  }
}

static std::shared_ptr<TQueuedMessage> Enqueue(WindowHandle window, uint32_t message, uintptr_t wParam,
                                               intptr_t lParam, THostWindow** ownWindow) {
  auto& registry = Registry();
  std::lock_guard lock(registry.Mutex);
  auto found = registry.Windows.find(window);
  if (found == registry.Windows.end()) return nullptr;
  if (ownWindow && found->second.Owner == std::this_thread::get_id()) {
    *ownWindow = found->second.Window;
    return nullptr;
  }
  auto queued = std::make_shared<TQueuedMessage>(TQueuedMessage{window, message, wParam, lParam});
  registry.Queues[found->second.Owner].push_back(queued);
  return queued;
}

bool THostWindow::Post(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  return Enqueue(window, message, wParam, lParam, nullptr) != nullptr;
}

bool THostWindow::Send(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                       uint32_t timeoutMs) {
  THostWindow* own = nullptr;
  auto queued = Enqueue(window, message, wParam, lParam, &own);
  if (own) {
    own->Dispatch(message, wParam, lParam);
    return true;
  }
  if (!queued) return false;
  auto& registry = Registry();
  std::unique_lock lock(registry.Mutex);
  return registry.Handled.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return queued->Done; });
}

}  // namespace kelda::platform

namespace kelda::platform {

// The thread's own message windows and timers, then the host windows it owns.
void ServeThreadMessages() {
  ProcessPendingMessages();
  THostWindow::ProcessMessages();
}

void* HostHeapAlloc(std::size_t size) {
  return std::malloc(size ? size : 1);
}

void* HostHeapRealloc(void* buffer, std::size_t size) {
  return std::realloc(buffer, size ? size : 1);
}

void HostHeapFree(void* buffer) {
  std::free(buffer);
}

}  // namespace kelda::platform
