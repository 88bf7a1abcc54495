#include "platform/SerialPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/support/Wait.h"

using kelda::platform::ESerialPortError;
using kelda::platform::OpenPseudoTerminalPair;
using kelda::platform::TPseudoTerminalPair;
using kelda::platform::TSerialPort;
using kelda::platform::TSerialSettings;
using Bytes = std::vector<uint8_t>;

namespace {

// A pseudo-terminal pair with its terminal end opened as a port; skips where none exists.
struct TLine {
  TPseudoTerminalPair Pair;
  std::unique_ptr<TSerialPort> Port;
};

bool OpenLine(TLine& line) {
  try {
    line.Pair = OpenPseudoTerminalPair();
  } catch (const ESerialPortError&) {
    return false;
  }
  line.Port = TSerialPort::Open(line.Pair.Name, TSerialSettings{});
  return true;
}

// Reads until `count` bytes came or 10 s passed.
Bytes ReadBytes(TSerialPort& port, std::size_t count) {
  Bytes got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
    uint8_t buffer[64];
    const std::size_t n = port.Read(buffer, sizeof buffer, 100);
    got.insert(got.end(), buffer, buffer + n);
  }
  return got;
}

long long MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

TEST(SerialPort, EveryByteValueTravelsBothWaysUnchanged) {
  TLine line;
  if (!OpenLine(line)) GTEST_SKIP() << "no pseudo-terminals on this system";
  // FF and 00 are the bytes the terminal end marks breaks with: they must arrive as plain data.
  Bytes all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<uint8_t>(i));
  all.insert(all.end(), {0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x41});

  line.Pair.Controller->Write(all.data(), all.size());
  EXPECT_EQ(ReadBytes(*line.Port, all.size()), all);
  EXPECT_FALSE(line.Port->TakeBreakReceived());

  line.Port->Write(all.data(), all.size());
  EXPECT_EQ(ReadBytes(*line.Pair.Controller, all.size()), all);

  // A read smaller than what waits returns the first part, the rest stays for the next read.
  const Bytes text = {'a', 'b', 'c', 'd', 'e'};
  line.Pair.Controller->Write(text.data(), text.size());
  EXPECT_TRUE(kelda::test::WaitFor([&] {
    uint8_t two[2];
    return line.Port->Read(two, 2, 50) == 2 && two[0] == 'a' && two[1] == 'b';
  }));
  EXPECT_EQ(ReadBytes(*line.Port, 3), Bytes({'c', 'd', 'e'}));
}

TEST(SerialPort, ReadWaitsForItsTimeoutAndCancelEndsItEarly) {
  TLine line;
  if (!OpenLine(line)) GTEST_SKIP() << "no pseudo-terminals on this system";
  uint8_t buffer[16];
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(line.Port->Read(buffer, sizeof buffer, 300), 0u);
  const long long waited = MsSince(start);
  EXPECT_GE(waited, 290);
  EXPECT_LT(waited, 5000);

  // A read waiting a minute ends soon after another thread cancels it.
  std::atomic<bool> reading{false};
  std::atomic<long long> result{-1};
  std::thread reader([&] {
    reading = true;
    result = static_cast<long long>(line.Port->Read(buffer, sizeof buffer, 60000));
  });
  ASSERT_TRUE(kelda::test::WaitFor([&] { return reading.load(); }));
  start = std::chrono::steady_clock::now();
  line.Port->Cancel();
  reader.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_LT(MsSince(start), 10000);
  // Later reads return at once, even with bytes waiting.
  line.Pair.Controller->Write("x", 1);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(line.Port->Read(buffer, sizeof buffer, 60000), 0u);
  EXPECT_LT(MsSince(start), 10000);
}

TEST(SerialPort, RefusesMissingPortsBusyPortsAndBadSettings) {
  // A COM number no machine has (on POSIX: a device file that does not exist).
  try {
    TSerialPort::Open("COM219", TSerialSettings{});
    ADD_FAILURE() << "a missing device opened";
  } catch (const ESerialPortError& e) {
    EXPECT_TRUE(e.NotFound) << e.what();
    EXPECT_FALSE(e.InUse);
    EXPECT_NE(std::string(e.what()).find("COM219"), std::string::npos) << e.what();
  }

  TLine line;
  if (!OpenLine(line)) GTEST_SKIP() << "no pseudo-terminals on this system";
  try {
    TSerialPort::Open(line.Pair.Name, TSerialSettings{});
    ADD_FAILURE() << "a port opened twice";
  } catch (const ESerialPortError& e) {
    EXPECT_TRUE(e.InUse) << e.what();
    EXPECT_NE(std::string(e.what()).find("in use"), std::string::npos) << e.what();
  }
  line.Port.reset();  // closing releases the port for the next opener
  TSerialSettings odd;
  odd.BaudRate = 12345;
  EXPECT_THROW(TSerialPort::Open(line.Pair.Name, odd), ESerialPortError);
  TSerialSettings stop3;
  stop3.StopBits = 3;
  EXPECT_THROW(TSerialPort::Open(line.Pair.Name, stop3), ESerialPortError);
  TSerialSettings even;
  even.Parity = kelda::platform::TParity::Even;
  even.StopBits = 2;
  even.BaudRate = 9600;
  EXPECT_NO_THROW(TSerialPort::Open(line.Pair.Name, even));
}

TEST(SerialPort, APseudoTerminalCarriesNoBreak) {
  TLine line;
  if (!OpenLine(line)) GTEST_SKIP() << "no pseudo-terminals on this system";
  EXPECT_FALSE(line.Port->Break(100));
  EXPECT_FALSE(line.Pair.Controller->Break(100));
  EXPECT_FALSE(line.Port->TakeBreakReceived());
  // The line still works afterwards.
  line.Port->Write("ok", 2);
  EXPECT_EQ(ReadBytes(*line.Pair.Controller, 2), Bytes({'o', 'k'}));
}

// A line whose other end went away is an error, not an endless stream of empty reads: the
// tools stop and tell the user instead of waiting for a PLC that can no longer answer.
TEST(SerialPort, AClosedFarEndIsAnError) {
  TLine line;
  if (!OpenLine(line)) GTEST_SKIP() << "no pseudo-terminals on this system";
  line.Port->Write("last", 4);
  line.Port.reset();
  // Bytes written before the close are still delivered, then the error follows.
  EXPECT_EQ(ReadBytes(*line.Pair.Controller, 4), Bytes({'l', 'a', 's', 't'}));
  uint8_t buffer[8];
  EXPECT_THROW(line.Pair.Controller->Read(buffer, sizeof buffer, 1000), ESerialPortError);

  TLine other;
  ASSERT_TRUE(OpenLine(other));
  other.Pair.Controller.reset();
  EXPECT_THROW(other.Port->Read(buffer, sizeof buffer, 1000), ESerialPortError);
  EXPECT_THROW(other.Port->Write("x", 1), ESerialPortError);
}

// A bench line is opened by one run after another: the terminal end of one pair opens with the
// GE default settings (odd parity) as often as asked, keeps its raw mode each time, and tells
// what the device kept instead of refusing the open.
TEST(SerialPort, APseudoTerminalOpensAgainAndAgain) {
  TPseudoTerminalPair pair;
  try {
    pair = OpenPseudoTerminalPair();
  } catch (const ESerialPortError&) {
    GTEST_SKIP() << "no pseudo-terminals on this system";
  }
  TSerialSettings settings;  // 19200 8O1
  for (int run = 1; run <= 3; ++run) {
    SCOPED_TRACE("open " + std::to_string(run));
    std::unique_ptr<TSerialPort> port;
    ASSERT_NO_THROW(port = TSerialPort::Open(pair.Name, settings));
    if (!port->SettingsNote().empty()) {
      EXPECT_NE(port->SettingsNote().find(pair.Name), std::string::npos) << port->SettingsNote();
    }
    // Raw both ways: a CR stays a CR, FF and 00 stay data.
    const Bytes request = {'Q', '\r', 0xFF, 0x00, static_cast<uint8_t>(run)};
    pair.Controller->Write(request.data(), request.size());
    EXPECT_EQ(ReadBytes(*port, request.size()), request);
    port->Write(request.data(), request.size());
    EXPECT_EQ(ReadBytes(*pair.Controller, request.size()), request);
    port.reset();
    // The driving end sees the hang-up until the next run opens the terminal end.
    uint8_t buffer[8];
    EXPECT_THROW(pair.Controller->Read(buffer, sizeof buffer, 100), ESerialPortError);
  }
}
