// kelda-plcsim on a timed line (--baud on --tcp or --stdio): the answers leave at the wire's
// rate after the request has taken its own time, and the run still ends when the input has.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>

#include "platform/Tick.h"
#include "tests/tools/PlcSimTestKit.h"
#include "tools/plcsim/SimServer.h"

using namespace kelda::plcsim;
using namespace kelda::plcsim::testkit;

namespace {

using Clock = std::chrono::steady_clock;

// Delivers its bytes at the first read, then ends; keeps what is written and when.
class TTimedLink : public SimLink {
public:
  explicit TTimedLink(Bytes input) : FInput(std::move(input)) {}
  size_t read(uint8_t* buffer, size_t size, uint32_t) override {
    if (FInput.empty()) return 0;
    FirstRead = Clock::now();
    const size_t n = std::min(size, FInput.size());
    std::copy(FInput.begin(), FInput.begin() + static_cast<std::ptrdiff_t>(n), buffer);
    FInput.clear();
    return n;
  }
  bool closed() const override { return FInput.empty(); }
  void write(const uint8_t* data, size_t size) override {
    if (Output.empty()) FirstWrite = Clock::now();
    LastWrite = Clock::now();
    Output.insert(Output.end(), data, data + size);
  }
  Bytes Output;
  Clock::time_point FirstRead, FirstWrite, LastWrite;

private:
  Bytes FInput;
};

double MsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

}  // namespace

// At 2400 8O1 a character takes 4.58 ms: the X-Attach reaches the PLC 24 characters after it
// was read, and its 24-character answer takes as long again.
TEST(PlcSimTimedServe, AnswersLeaveAtTheWiresRate) {
  Simulator sim(Mode::SnpX, "PLC1");
  TTimedLink link(XAttach("PLC1"));
  LineFormat format;
  format.baud = 2400;
  std::atomic<bool> stop{false};
  EXPECT_EQ(Serve(sim, link, stop, kelda::platform::Now(), nullptr, &format), ServeEnd::LineClosed);
  ASSERT_EQ(link.Output.size(), 24u);
  EXPECT_EQ(link.Output[10], 0x80) << "the X-Attach response";
  EXPECT_GE(MsBetween(link.FirstRead, link.FirstWrite), 25 * format.charMs() - 1)
      << "the request's 24 characters and the answer's first";
  EXPECT_GE(MsBetween(link.FirstRead, link.LastWrite), 48 * format.charMs() - 1);
  EXPECT_GT(link.LastWrite, link.FirstWrite) << "the answer left byte by byte, not at once";
}
