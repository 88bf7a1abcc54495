#include "tools/plcsim/Slave.h"

#include <string>

namespace kelda::plcsim {

namespace {

// A frame whose rest has not come after this pause is given up, as a PLC's character timer does;
// the master's retry then starts clean.
constexpr uint64_t kPartialFrameTimeoutMs = 500;

}  // namespace

void Slave::flushSkipped() {
  if (skipped_ == 0) return;
  ctx_.note("skipped " + std::to_string(skipped_) + " bytes");
  skipped_ = 0;
}

void Slave::receive(const uint8_t* data, size_t size, uint64_t now) {
  if (size == 0) return;
  if (!buffer_.empty() && now > lastByteAt_ + kPartialFrameTimeoutMs) {
    ctx_.note("incomplete frame dropped (" + std::to_string(buffer_.size()) + " bytes)");
    ++ctx_.counters.ignored;
    buffer_.clear();
  }
  lastByteAt_ = now;
  buffer_.insert(buffer_.end(), data, data + size);
  size_t used = 0;
  while (used < buffer_.size()) {
    const size_t n = parse(buffer_.data() + used, buffer_.size() - used, now);
    if (n == 0) break;
    used += n;
  }
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(used));
  flushSkipped();
}

void Slave::lineBreak(uint64_t now) {
  flushSkipped();
  buffer_.clear();
}

}  // namespace kelda::plcsim
