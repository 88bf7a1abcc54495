// A short demonstration of the runtime support, until the host harness drives the real module:
// bytes arrive in chunks as a host would hand them over, the receive buffer is searched in
// place, and consumed frames leave the buffer.
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "Common/FIFOStream.h"
#include "Common/Thread_ObjectList.h"
#include "platform/Tick.h"

using namespace kelda;

static void ShowReceivePath() {
  std::printf("Receive buffer: 2048 bytes, oldest 64 dropped when full\n");
  TFIFOStream fifo(2048, true, 64);
  const char* chunks[] = {"noise<FRA", "ME 1>tail<FR", "AME 2>"};
  for (const char* chunk : chunks) {
    fifo.Write(chunk, static_cast<int32_t>(std::strlen(chunk)));
    std::printf("  received %-14s buffered %d bytes\n", ("\"" + std::string(chunk) + "\"").c_str(),
                fifo.DataSize());
    // Search the buffered bytes in place for complete frames "<...>" and consume them.
    for (;;) {
      const uint8_t* data = fifo.LockData();
      std::string view(reinterpret_cast<const char*>(data), static_cast<std::size_t>(fifo.DataSize()));
      auto open = view.find('<');
      auto close = view.find('>', open == std::string::npos ? 0 : open);
      if (open == std::string::npos || close == std::string::npos) {
        fifo.UnlockWrite();
        break;
      }
      std::printf("  frame found: %s (skipped %zu bytes before it)\n", view.substr(open, close - open + 1).c_str(),
                  open);
      fifo.Discard(static_cast<int32_t>(close + 1));
      fifo.UnlockWrite();
    }
  }
  std::printf("  left in the buffer: %d bytes\n", fifo.DataSize());
}

static void ShowSharedQueue() {
  std::printf("Request queue shared by a ticking thread and a receiving thread\n");
  struct Request : TObject {};
  TThreadObjectList queue(true);
  std::thread producers[2];
  for (auto& p : producers)
    p = std::thread([&] {
      for (int i = 0; i < 1000; ++i) queue.Add(new Request);
    });
  for (auto& p : producers) p.join();
  std::printf("  %d requests queued from two threads\n", queue.Count());
}

int main() {
  std::printf("Korvane runtime demonstration (tick %s)\n",
              platform::HasTick64() ? "64-bit" : "32-bit fallback");
  ShowReceivePath();
  ShowSharedQueue();
  return 0;
}
