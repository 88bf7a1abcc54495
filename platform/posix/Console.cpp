#include "platform/Console.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace kelda::platform {

static std::atomic<InterruptHandler> gHandler{nullptr};

static void OnSignal(int) {
  InterruptHandler handler = gHandler.load();
  if (handler) handler();
}

bool OnInterrupt(InterruptHandler handler) {
  gHandler = handler;
  struct sigaction action {};
  action.sa_handler = handler ? OnSignal : SIG_DFL;
  sigemptyset(&action.sa_mask);
  // A read that waits for the port returns early; the poller's loop then sees the flag.
  action.sa_flags = 0;
  return sigaction(SIGINT, &action, nullptr) == 0;
}

bool StdoutIsTerminal() {
  return isatty(STDOUT_FILENO) == 1;
}

}  // namespace kelda::platform
