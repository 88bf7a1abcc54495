// kelda-plcsim end to end: the program's run on one end of a pseudo-terminal (where the system
// has them) or a TCP port, a master written here from the SNP-X frame layout on the other.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/SerialPort.h"
#include "platform/Socket.h"
#include "platform/Tick.h"
#include "tests/support/Wait.h"
#include "tests/tools/PlcSimTestKit.h"
#include "tools/plcsim/MemoryFile.h"
#include "tools/plcsim/SimServer.h"

using namespace kelda::plcsim;
using namespace kelda::plcsim::testkit;
using kelda::platform::ESerialPortError;
using kelda::platform::TSerialPort;

namespace {

// The program's messages, read by the test while the program writes them.
class TMessages : public std::stringbuf {
public:
  std::string Text() {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    return str();
  }

protected:
  int overflow(int c) override {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    return std::stringbuf::overflow(c);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    return std::stringbuf::xsputn(s, n);
  }

private:
  std::recursive_mutex FLock;  // xsputn calls overflow
};

// The X-Response to a read: 1B 58 81, status word, no error, data length, data, 17 00 00 00 00, BCC.
Bytes XReadResponse(uint16_t status, const Bytes& data) {
  Bytes f = {0x1B,
             0x58,
             0x81,
             static_cast<uint8_t>(status),
             static_cast<uint8_t>(status >> 8),
             0x00,
             0x00,
             static_cast<uint8_t>(data.size()),
             static_cast<uint8_t>(data.size() >> 8)};
  f.insert(f.end(), data.begin(), data.end());
  f.insert(f.end(), {0x17, 0x00, 0x00, 0x00, 0x00});
  return WithBcc(f);
}

// Reads until `count` bytes came or 10 s passed.
template <typename Port>
Bytes Receive(Port& port, size_t count) {
  Bytes got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
    uint8_t buffer[256];
    const size_t n = port.Read(buffer, sizeof buffer, 50);
    got.insert(got.end(), buffer, buffer + n);
  }
  return got;
}

// Attaches and reads %R1..%R4 as a master would; the answers must be exact.
template <typename Port>
void AttachAndReadRegisters(Port& master) {
  const Bytes attach = XAttach("PLC1");
  master.Write(attach.data(), attach.size());
  const Bytes attachResponse = Receive(master, 24);
  ASSERT_EQ(attachResponse.size(), 24u);
  Bytes expected = attach;
  expected[10] = 0x80;  // the request code with its answer bit
  expected[23] = snpBcc(expected.data(), 23);
  EXPECT_EQ(attachResponse, expected);

  const Bytes read = XRead("PLC1", 0x08, 0, 4);
  master.Write(read.data(), read.size());
  // 1200, 1250, 1190, -125, LSB first.
  EXPECT_EQ(Receive(master, 23), XReadResponse(0x0012, Hex("b0 04 e2 04 a6 04 83 ff")));
}

std::filesystem::path TempFile(const std::string& name, const std::string& text) {
  const auto path = std::filesystem::temp_directory_path() / name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

const char kMemory[] = "%R1 = 1200 1250 1190 -125\nSTATUS = 0x0012\n";

using Master = kelda::platform::TTcpConnection;

}  // namespace

TEST(PlcSimProgram, AnswersAnSnpXMasterOnAPseudoTerminalAndSavesItsMemory) {
  kelda::platform::TPseudoTerminalPair pair;
  try {
    pair = kelda::platform::OpenPseudoTerminalPair();
  } catch (const ESerialPortError&) {
    GTEST_SKIP() << "no pseudo-terminals on this system";
  }
  const auto memory = TempFile("kelda-plcsim-e2e-memory.txt", kMemory);
  const auto saved = std::filesystem::temp_directory_path() / "kelda-plcsim-e2e-saved.txt";
  std::filesystem::remove(saved);
  SimOptions options = ParseSimOptions(
      {"--mode", "snpx", "--serial", pair.Name, "--memory", memory.string(), "--save", saved.string()});

  std::atomic<bool> stop{false};
  TMessages buffer;
  std::ostream messages(&buffer);
  int status = -1;
  std::thread program([&] { status = RunSimulator(options, stop, messages); });
  // The program opens and sets up the terminal end itself; bytes sent before would meet a line
  // still in its default (echoing) mode.
  ASSERT_TRUE(kelda::test::WaitFor([&] {
    return buffer.Text().find("on " + pair.Name) != std::string::npos;
  })) << buffer.Text();

  AttachAndReadRegisters(*pair.Controller);
  stop = true;
  program.join();
  EXPECT_EQ(status, 0) << buffer.Text();

  Simulator reloaded(Mode::SnpX);
  LoadMemoryFile(saved.string(), reloaded);
  EXPECT_EQ(reloaded.word(0x08, 3), 0xFF83);
  EXPECT_EQ(reloaded.plcStatusWord(), 0x0012);
  std::filesystem::remove(memory);
  std::filesystem::remove(saved);
}

// A master that hangs up does not end the program: the device is opened again and the next
// master is served. The link name stands for the device, as a pseudo-terminal pair made anew
// under the same names (socat's link=) or a re-plugged adapter would have it.
TEST(PlcSimProgram, ServesTheNextMasterAfterAHangUp) {
  kelda::platform::TPseudoTerminalPair first;
  try {
    first = kelda::platform::OpenPseudoTerminalPair();
  } catch (const ESerialPortError&) {
    GTEST_SKIP() << "no pseudo-terminals on this system";
  }
  const auto link = std::filesystem::temp_directory_path() / "kelda-plcsim-hangup-link";
  std::filesystem::remove(link);
  std::filesystem::create_symlink(first.Name, link);
  const auto memory = TempFile("kelda-plcsim-hangup-memory.txt", kMemory);
  SimOptions options =
      ParseSimOptions({"--mode", "snpx", "--serial", link.string(), "--memory", memory.string()});
  std::atomic<bool> stop{false};
  TMessages buffer;
  std::ostream messages(&buffer);
  int status = -1;
  std::thread program([&] { status = RunSimulator(options, stop, messages); });
  ASSERT_TRUE(kelda::test::WaitFor([&] {
    return buffer.Text().find("on " + link.string()) != std::string::npos;
  })) << buffer.Text();
  AttachAndReadRegisters(*first.Controller);

  // The master hangs up: the whole line goes, and a new one comes under the same name.
  first.Controller.reset();
  ASSERT_TRUE(kelda::test::WaitFor([&] {
    return buffer.Text().find("waiting for the next master") != std::string::npos;
  })) << buffer.Text();
  kelda::platform::TPseudoTerminalPair second = kelda::platform::OpenPseudoTerminalPair();
  const auto fresh = link.string() + ".new";
  std::filesystem::remove(fresh);
  std::filesystem::create_symlink(second.Name, fresh);
  std::filesystem::rename(fresh, link);
  // The program opens and sets up the new terminal end before the master may speak.
  ASSERT_TRUE(kelda::test::WaitFor([&] { return buffer.Text().find("open again") != std::string::npos; }))
      << buffer.Text();
  AttachAndReadRegisters(*second.Controller);
  stop = true;
  program.join();
  EXPECT_EQ(status, 0) << buffer.Text();
  std::filesystem::remove(link);
  std::filesystem::remove(memory);
}

TEST(PlcSimProgram, ServesTcpMastersOneAfterAnother) {
  // A free port: the system picks one, the listener lets it go, the program takes it.
  uint16_t port = 0;
  {
    kelda::platform::TTcpListener probe("127.0.0.1", 0);
    port = probe.Port();
  }
  const auto memory = TempFile("kelda-plcsim-tcp-memory.txt", kMemory);
  SimOptions options =
      ParseSimOptions({"--mode", "snpx", "--tcp", std::to_string(port), "--memory", memory.string()});
  std::atomic<bool> stop{false};
  TMessages buffer;
  std::ostream messages(&buffer);
  int status = -1;
  std::thread program([&] { status = RunSimulator(options, stop, messages); });

  for (int client = 0; client < 2; ++client) {
    std::unique_ptr<kelda::platform::TTcpConnection> master;
    ASSERT_TRUE(kelda::test::WaitFor([&] {
      try {
        master = kelda::platform::TTcpListener::Connect("127.0.0.1", port);
        return true;
      } catch (const kelda::platform::ESocketError&) {
        return false;
      }
    }));
    // Each client attaches anew: the previous client's session ended with its connection.
    AttachAndReadRegisters(*master);
    master->Close();
  }
  stop = true;
  program.join();
  EXPECT_EQ(status, 0) << buffer.Text();
  std::filesystem::remove(memory);
}

// The protocol settings of the command line reach the PLC that serves: SNP's data size, CCM's
// pad byte and its LRC over the data bytes only.
TEST(PlcSimProgram, ServesWithTheProtocolSettingsOfItsCommandLine) {
  const auto memory = TempFile("kelda-plcsim-settings-memory.txt", kMemory);
  const auto serve = [&](std::vector<std::string> args, const std::function<void(Master&)>& talk) {
    uint16_t port = 0;
    {
      kelda::platform::TTcpListener probe("127.0.0.1", 0);
      port = probe.Port();
    }
    args.insert(args.end(), {"--tcp", std::to_string(port), "--memory", memory.string()});
    const SimOptions options = ParseSimOptions(args);
    std::atomic<bool> stop{false};
    TMessages buffer;
    std::ostream messages(&buffer);
    int status = -1;
    std::thread program([&] { status = RunSimulator(options, stop, messages); });
    std::unique_ptr<Master> master;
    EXPECT_TRUE(kelda::test::WaitFor([&] {
      try {
        master = kelda::platform::TTcpListener::Connect("127.0.0.1", port);
        return true;
      } catch (const kelda::platform::ESocketError&) {
        return false;
      }
    }));
    if (master) talk(*master);
    stop = true;
    program.join();
    EXPECT_EQ(status, 0) << buffer.Text();
  };

  serve({"--mode", "ccm-peer", "--ccm-pad", "--data-only-lrc"}, [](Master& master) {
    master.Write("\x05", 1);
    EXPECT_EQ(Receive(master, 1), Hex("06"));
    const Bytes header = CcmHeader(2, 1, 1, 3, 1);
    master.Write(header.data(), header.size());
    // 1200 and the low byte of 1250, a pad byte, ETX, LRC b0 ^ 04 ^ e2 ^ 00.
    EXPECT_EQ(Receive(master, 8), Hex("06 02 b0 04 e2 00 03 56"));
  });

  serve({"--mode", "snp", "--snp-data-size", "4"}, [](Master& master) {
    const Bytes attach = SnpAttach("PLC1", 10);
    master.Write(attach.data(), attach.size());
    EXPECT_EQ(Receive(master, 24).size(), 24u);
    const Bytes read = SnpRead(1, 0x08, 0, 4);
    master.Write(read.data(), read.size());
    EXPECT_EQ(Receive(master, 42).size(), 42u);
    master.Write("\x06\x00", 2);
    EXPECT_EQ(Receive(master, 12), WithBcc(Hex("1b 54 b0 04 e2 04 17 54 0c 00 00")));
  });
  std::filesystem::remove(memory);
}

TEST(PlcSimProgram, ReportsRunFailuresWithoutOverwritingTheMemory) {
  const auto saved = TempFile("kelda-plcsim-keep.txt", "%R1 = 5\n");
  std::atomic<bool> stop{false};

  // A memory file that does not load: the run fails and the save file keeps its content.
  const auto faulty = TempFile("kelda-plcsim-faulty.txt", "%R1 = 1\n%X9 = 2\n");
  std::ostringstream messages;
  SimOptions options =
      ParseSimOptions({"--mode", "snp", "--memory", faulty.string(), "--save", saved.string(), "--tcp", "1"});
  EXPECT_EQ(RunSimulator(options, stop, messages), 1);
  EXPECT_NE(messages.str().find(faulty.string() + ":2: unknown table %X"), std::string::npos)
      << messages.str();
  {
    std::ifstream in(saved);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "%R1 = 5\n");
  }

  // A port that does not exist: one line naming it, status 1.
  std::ostringstream missing;
  options = ParseSimOptions({"--mode", "snp", "--serial", "COM219"});
  EXPECT_EQ(RunSimulator(options, stop, missing), 1);
  const std::string missingText = missing.str();
  EXPECT_NE(missingText.find("COM219"), std::string::npos) << missingText;
  EXPECT_EQ(std::count(missingText.begin(), missingText.end(), '\n'), 1) << missingText;

  // A TCP port another program holds.
  kelda::platform::TTcpListener holder("127.0.0.1", 0);
  std::ostringstream busy;
  options = ParseSimOptions({"--mode", "snp", "--tcp", std::to_string(holder.Port())});
  EXPECT_EQ(RunSimulator(options, stop, busy), 1);
  EXPECT_NE(busy.str().find("in use"), std::string::npos) << busy.str();
  std::filesystem::remove(saved);
  std::filesystem::remove(faulty);
}

namespace {

// A line that delivers its bytes once, then reports its end; what is written is kept.
class TScriptedLink : public SimLink {
public:
  explicit TScriptedLink(Bytes input) : FInput(std::move(input)) {}
  size_t read(uint8_t* buffer, size_t size, uint32_t) override {
    const size_t n = std::min(size, FInput.size());
    std::copy(FInput.begin(), FInput.begin() + static_cast<std::ptrdiff_t>(n), buffer);
    FInput.erase(FInput.begin(), FInput.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
  }
  bool closed() const override { return FInput.empty(); }
  void write(const uint8_t* data, size_t size) override { Output.insert(Output.end(), data, data + size); }
  Bytes Output;

private:
  Bytes FInput;
};

}  // namespace

// Input piped from a file ends long before a delayed answer is due; the answer still leaves.
TEST(PlcSimProgram, AnswersStillDueLeaveAfterTheInputEnds) {
  Simulator sim(Mode::SnpX, "PLC1");
  Faults faults;
  faults.lateMs = 50;
  faults.chunkSize = 5;
  sim.setFaults(faults);
  sim.setWord(0x08, 0, 0x1234);
  TScriptedLink link(Concat(XAttach("PLC1"), XRead("PLC1", 0x08, 0, 1)));
  std::atomic<bool> stop{false};
  std::ostringstream log;
  EXPECT_EQ(Serve(sim, link, stop, kelda::platform::Now(), &log), ServeEnd::LineClosed);
  ASSERT_EQ(link.Output.size(), 24u + 17u);
  EXPECT_EQ(Bytes(link.Output.begin() + 24, link.Output.end()), XReadResponse(0, Hex("34 12")));
  EXPECT_NE(log.str().find("x-read R 0 len 1"), std::string::npos) << log.str();
}
