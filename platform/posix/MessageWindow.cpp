// Owner-thread message dispatch without a window system: every thread that allocates a window
// gets a message queue of its own; window handles are keys of one registry; a thread's pump
// takes, in this order, the messages sent to it, the posted messages and the due timers (as a
// Windows message loop does), and calls the handlers in that thread. One process-wide lock
// guards the registry and every queue; handlers always run with it released.
#include "platform/MessageWindow.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/Debug.h"
#include "platform/Module.h"
#include "platform/Tick.h"

namespace kelda::platform {

namespace {

// The smallest period of a window timer; shorter ones are raised to it, as on Windows.
constexpr uint32_t kMinimumTimerMs = 10;

struct ThreadQueue;

struct Message {
  WindowHandle Window;
  uint32_t Id;
  uintptr_t WParam;
  intptr_t LParam;
};

// A message sent from another thread, waiting for its owner thread. The sender waits on its own
// queue's condition until the state leaves Waiting or its time is up.
struct SentMessage {
  enum class State { Waiting, Handled, Failed };
  Message Msg;
  intptr_t Result = 0;
  State Status = State::Waiting;
  std::shared_ptr<ThreadQueue> Sender;
};

// A periodic timer. It is due once Due has passed; dispatching a tick sets the next due time
// from the moment of dispatch, so a busy spell leaves at most one tick behind.
struct Timer {
  uint32_t IntervalMs;
  uint64_t Due;
};

struct ThreadQueue {
  std::condition_variable Wake;  // new messages, timer changes, answers to this thread's sends
  std::deque<std::shared_ptr<SentMessage>> Sent;
  std::deque<Message> Posted;
  std::map<std::pair<WindowHandle, uint32_t>, Timer> Timers;
};

struct WindowEntry {
  IMessageHandler* Handler;
  std::shared_ptr<ThreadQueue> Owner;
};

struct Registry {
  std::mutex Lock;
  std::unordered_map<WindowHandle, WindowEntry> Windows;
  WindowHandle NextHandle = 0x10000;  // handles are never reused while the process runs
};

Registry& Reg() {
  static Registry* registry = new Registry;  // outlives the thread queues, also at exit
  return *registry;
}

void FailSent(const std::shared_ptr<SentMessage>& sent) {
  sent->Status = SentMessage::State::Failed;
  if (sent->Sender) sent->Sender->Wake.notify_all();
}

// Under the registry lock: forget the window and everything still queued for it.
void DropWindowLocked(Registry& reg, WindowHandle window) {
  auto it = reg.Windows.find(window);
  if (it == reg.Windows.end()) return;
  ThreadQueue& queue = *it->second.Owner;
  reg.Windows.erase(it);
  std::erase_if(queue.Posted, [&](const Message& m) { return m.Window == window; });
  std::erase_if(queue.Timers, [&](const auto& t) { return t.first.first == window; });
  std::erase_if(queue.Sent, [&](const std::shared_ptr<SentMessage>& s) {
    if (s->Msg.Window != window) return false;
    FailSent(s);
    return true;
  });
}

// When a thread ends its windows end with it, as windows do when their thread exits; senders
// waiting for it are answered with a failure at once.
struct QueueHolder {
  std::shared_ptr<ThreadQueue> Queue = std::make_shared<ThreadQueue>();
  ~QueueHolder() {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.Lock);
    std::vector<WindowHandle> own;
    for (const auto& [handle, entry] : reg.Windows)
      if (entry.Owner == Queue) own.push_back(handle);
    for (WindowHandle handle : own) DropWindowLocked(reg, handle);
    for (const auto& sent : Queue->Sent) FailSent(sent);
    Queue->Sent.clear();
    Queue->Posted.clear();
    Queue->Timers.clear();
  }
};

const std::shared_ptr<ThreadQueue>& CurrentQueue() {
  thread_local QueueHolder holder;
  return holder.Queue;
}

intptr_t CallHandler(IMessageHandler* handler, const Message& m) {
  if (!handler) return 0;
  // Handlers catch their own failures; one that still escapes must not unwind the pump of a
  // thread that belongs to the host.
  try {
    return handler->HandleMessage(m.Window, m.Id, m.WParam, m.LParam);
  } catch (const std::exception& e) {
    DebugOutput(std::string("Unhandled exception in a window handler: ") + e.what());
  } catch (...) {
    DebugOutput("Unhandled exception in a window handler");
  }
  return 0;
}

// Handlers of the calling thread's window, or nullptr when the window is gone.
IMessageHandler* OwnHandlerLocked(Registry& reg, WindowHandle window,
                                  const std::shared_ptr<ThreadQueue>& self, bool* found) {
  auto it = reg.Windows.find(window);
  *found = it != reg.Windows.end() && it->second.Owner == self;
  return *found ? it->second.Handler : nullptr;
}

// Runs a message sent to the calling thread and answers its sender. Enters with the lock held
// and leaves with it held.
void HandleSentLocked(Registry& reg, std::unique_lock<std::mutex>& lock,
                      const std::shared_ptr<SentMessage>& sent, const std::shared_ptr<ThreadQueue>& self) {
  bool found = false;
  IMessageHandler* handler = OwnHandlerLocked(reg, sent->Msg.Window, self, &found);
  if (!found) {
    FailSent(sent);
    return;
  }
  lock.unlock();
  intptr_t result = CallHandler(handler, sent->Msg);
  lock.lock();
  sent->Result = result;
  sent->Status = SentMessage::State::Handled;
  if (sent->Sender) sent->Sender->Wake.notify_all();
}

// The timer of the calling thread that has been due longest (and by dueBy at the latest),
// or end().
auto DueTimerLocked(ThreadQueue& queue, uint64_t dueBy) {
  auto best = queue.Timers.end();
  for (auto it = queue.Timers.begin(); it != queue.Timers.end(); ++it)
    if (it->second.Due <= dueBy && (best == queue.Timers.end() || it->second.Due < best->second.Due))
      best = it;
  return best;
}

// Dispatches one message of the calling thread; false when nothing is due. Timers count as
// due only when they were due by dueBy, so that a caller can stop a timer whose handler takes
// longer than its period from keeping it busy for ever.
bool DispatchOne(uint64_t dueBy = UINT64_MAX) {
  const std::shared_ptr<ThreadQueue>& self = CurrentQueue();
  Registry& reg = Reg();
  std::unique_lock<std::mutex> lock(reg.Lock);
  if (!self->Sent.empty()) {
    std::shared_ptr<SentMessage> sent = self->Sent.front();
    self->Sent.pop_front();
    HandleSentLocked(reg, lock, sent, self);
    return true;
  }
  Message m{};
  if (!self->Posted.empty()) {
    m = self->Posted.front();
    self->Posted.pop_front();
  } else {
    uint64_t now = SystemTick64();
    auto due = DueTimerLocked(*self, std::min(now, dueBy));
    if (due == self->Timers.end()) return false;
    due->second.Due = now + due->second.IntervalMs;
    m = Message{due->first.first, kTimerMessage, due->first.second, 0};
  }
  bool found = false;
  IMessageHandler* handler = OwnHandlerLocked(reg, m.Window, self, &found);
  lock.unlock();
  if (found) CallHandler(handler, m);
  return true;
}

// Waits until something may be due for the calling thread, at most maxWaitMs.
void WaitForWork(uint64_t maxWaitMs) {
  const std::shared_ptr<ThreadQueue>& self = CurrentQueue();
  Registry& reg = Reg();
  std::unique_lock<std::mutex> lock(reg.Lock);
  if (!self->Sent.empty() || !self->Posted.empty()) return;
  uint64_t now = SystemTick64();
  for (const auto& [key, timer] : self->Timers)
    maxWaitMs = std::min<uint64_t>(maxWaitMs, timer.Due > now ? timer.Due - now : 0);
  if (maxWaitMs == 0) return;
  self->Wake.wait_for(lock, std::chrono::milliseconds(maxWaitMs));
}

// Without a window system nothing dispatches this library's windows and timers unless the host's
// message loop runs this library's own pump for the thread. A host program that exports
// KeldaHost_AddMessagePump and KeldaHost_RemoveMessagePump is handed the pump when the first
// window is made, and told to forget it when the library goes away.
using PumpFunction = void (*)();
using PumpRegistration = void (*)(PumpFunction);

void DispatchForHost() {
  ProcessPendingMessages();
}

struct HostPumpOffer {
  PumpRegistration Remove = nullptr;
  HostPumpOffer() {
    auto add =
        reinterpret_cast<PumpRegistration>(FindExport(HostProgramHandle(), "KeldaHost_AddMessagePump"));
    auto remove =
        reinterpret_cast<PumpRegistration>(FindExport(HostProgramHandle(), "KeldaHost_RemoveMessagePump"));
    if (!add || !remove) return;
    add(&DispatchForHost);
    Remove = remove;
  }
  ~HostPumpOffer() {
    if (Remove) Remove(&DispatchForHost);
  }
};

void OfferPumpToHost() {
  static HostPumpOffer offer;
}

}  // namespace

intptr_t DefaultWindowResult(WindowHandle, uint32_t, uintptr_t, intptr_t) {
  return 0;
}

WindowHandle AllocateHiddenWindow(IMessageHandler* handler) {
  OfferPumpToHost();
  const std::shared_ptr<ThreadQueue>& self = CurrentQueue();
  Registry& reg = Reg();
  std::lock_guard<std::mutex> lock(reg.Lock);
  WindowHandle handle = reg.NextHandle;
  reg.NextHandle += 4;
  reg.Windows.emplace(handle, WindowEntry{handler, self});
  return handle;
}

void FreeHiddenWindow(WindowHandle window) {
  Registry& reg = Reg();
  std::lock_guard<std::mutex> lock(reg.Lock);
  DropWindowLocked(reg, window);
}

// A registry entry needs no help from its owner thread to go away.
void DetachHiddenWindow(WindowHandle window) {
  FreeHiddenWindow(window);
}

bool SetWindowTimer(WindowHandle window, uint32_t id, uint32_t intervalMs) {
  Registry& reg = Reg();
  std::lock_guard<std::mutex> lock(reg.Lock);
  auto it = reg.Windows.find(window);
  if (it == reg.Windows.end()) return false;
  uint32_t interval = std::max(intervalMs, kMinimumTimerMs);
  it->second.Owner->Timers[{window, id}] = Timer{interval, SystemTick64() + interval};
  it->second.Owner->Wake.notify_all();
  return true;
}

void KillWindowTimer(WindowHandle window, uint32_t id) {
  Registry& reg = Reg();
  std::lock_guard<std::mutex> lock(reg.Lock);
  auto it = reg.Windows.find(window);
  if (it != reg.Windows.end()) it->second.Owner->Timers.erase({window, id});
}

bool PostWindowMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  Registry& reg = Reg();
  std::lock_guard<std::mutex> lock(reg.Lock);
  auto it = reg.Windows.find(window);
  if (it == reg.Windows.end()) return false;
  it->second.Owner->Posted.push_back(Message{window, message, wParam, lParam});
  it->second.Owner->Wake.notify_all();
  return true;
}

bool SendMessageWithTimeout(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                            uint32_t timeoutMs, intptr_t* result) {
  const std::shared_ptr<ThreadQueue>& self = CurrentQueue();
  Registry& reg = Reg();
  std::unique_lock<std::mutex> lock(reg.Lock);
  auto it = reg.Windows.find(window);
  if (it == reg.Windows.end()) return false;
  const Message m{window, message, wParam, lParam};
  if (it->second.Owner == self) {
    IMessageHandler* handler = it->second.Handler;
    lock.unlock();
    intptr_t answer = CallHandler(handler, m);
    if (result) *result = answer;
    return true;
  }
  auto sent = std::make_shared<SentMessage>();
  sent->Msg = m;
  sent->Sender = self;
  it->second.Owner->Sent.push_back(sent);
  it->second.Owner->Wake.notify_all();

  // While waiting, answer what other threads send to this thread, so that two threads that
  // send to each other both get through.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (sent->Status == SentMessage::State::Waiting) {
    if (!self->Sent.empty()) {
      std::shared_ptr<SentMessage> incoming = self->Sent.front();
      self->Sent.pop_front();
      HandleSentLocked(reg, lock, incoming, self);
      continue;
    }
    if (self->Wake.wait_until(lock, deadline) == std::cv_status::timeout &&
        sent->Status == SentMessage::State::Waiting && self->Sent.empty())
      break;
  }
  // A message not handled yet stays queued for its owner thread; only its answer is lost.
  sent->Sender = nullptr;
  if (sent->Status != SentMessage::State::Handled) return false;
  if (result) *result = sent->Result;
  return true;
}

void ProcessPendingMessages() {
  const uint64_t start = SystemTick64();  // a tick that falls due meanwhile waits for the next call
  while (DispatchOne(start)) {
  }
}

bool PumpMessages(const std::function<bool()>& done, uint32_t timeoutMs) {
  const uint64_t deadline = SystemTick64() + timeoutMs;
  for (;;) {
    if (done()) return true;
    if (DispatchOne()) continue;
    uint64_t now = SystemTick64();
    if (now >= deadline) return done();
    WaitForWork(std::min<uint64_t>(10, deadline - now));
  }
}

bool IsWindowAlive(WindowHandle window) {
  Registry& reg = Reg();
  std::lock_guard<std::mutex> lock(reg.Lock);
  return reg.Windows.count(window) != 0;
}

}  // namespace kelda::platform
