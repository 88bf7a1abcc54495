// Waiting helpers for tests: poll a condition with a generous bound instead of sleeping for a
// fixed time, so tests neither flake on a loaded machine nor wait longer than needed.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace kelda::test {

inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Checks that a condition stays false for a while: for "must not happen" expectations whose
// failure direction cannot flake (a correct lock never lets the condition become true).
inline bool StaysFalse(const std::function<bool()>& condition, int forMs = 100) {
  return !WaitFor(condition, forMs);
}

}  // namespace kelda::test
