#include "tools/plcsim/SimOptions.h"

#include <gtest/gtest.h>

#include <sstream>

using kelda::plcsim::LineParity;
using kelda::plcsim::Mode;
using kelda::plcsim::ParseSimOptions;
using kelda::plcsim::SimOptions;
using kelda::plcsim::Transport;
using kelda::plcsim::UsageError;

namespace {

std::vector<std::string> Split(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> args;
  for (std::string word; in >> word;) args.push_back(word);
  return args;
}

SimOptions Parse(const std::string& line) {
  return ParseSimOptions(Split(line));
}

}  // namespace

TEST(SimOptions, DefaultsAndEachFaultOptionReachTheSimulator) {
  const SimOptions plain = Parse("--mode snpx");
  EXPECT_EQ(plain.mode, Mode::SnpX);
  EXPECT_EQ(plain.snpId, "PLC1");
  EXPECT_EQ(plain.ccmId, 2);
  EXPECT_EQ(plain.transport, Transport::Stdio);
  EXPECT_EQ(plain.faults.noiseBeforeFrames, 0);
  EXPECT_EQ(plain.faults.silent, 0);
  EXPECT_TRUE(plain.faults.noiseSafe);
  EXPECT_FALSE(plain.breakRequired);
  EXPECT_FALSE(plain.verbose);

  const SimOptions o = Parse(
      "--mode snp --noise 3 --noise-any --corrupt always --nak 2 --silent 1 --delay 250 --repeat 4 "
      "--chunk 5 --seed 77 --verbose --id PLC9 --memory m.txt --save s.txt");
  EXPECT_EQ(o.mode, Mode::Snp);
  EXPECT_EQ(o.faults.noiseBeforeFrames, 3);
  EXPECT_FALSE(o.faults.noiseSafe);
  EXPECT_EQ(o.faults.corruptCheck, -1);
  EXPECT_EQ(o.faults.nak, 2);
  EXPECT_EQ(o.faults.silent, 1);
  EXPECT_EQ(o.faults.lateMs, 250);
  EXPECT_EQ(o.faults.repeatFrame, 4);
  EXPECT_EQ(o.faults.chunkSize, 5u);
  EXPECT_EQ(o.faults.seed, 77u);
  EXPECT_TRUE(o.verbose);
  EXPECT_EQ(o.snpId, "PLC9");
  EXPECT_EQ(o.memoryFile, "m.txt");
  EXPECT_EQ(o.saveFile, "s.txt");
  EXPECT_NO_THROW(kelda::plcsim::ValidateFaults(o.faults));
  EXPECT_NO_THROW(kelda::plcsim::Simulator(o.mode, o.snpId, o.ccmId).setFaults(o.faults));

  EXPECT_EQ(Parse("--mode ccm-ms --id 90").ccmId, 90);
  EXPECT_EQ(Parse("--mode ccm-peer --id 254").mode, Mode::CcmPeerToPeer);
  EXPECT_EQ(Parse("--mode ccm-peer --id 254").ccmId, 254);

  const SimOptions tcp = Parse("--mode snpx --tcp 5020");
  EXPECT_EQ(tcp.transport, Transport::Tcp);
  EXPECT_EQ(tcp.tcpPort, 5020);

  const SimOptions line =
      Parse("--serial /dev/pts/3 --baud 9600 --parity even --stop 2 --break-required --mode snp");
  EXPECT_EQ(line.transport, Transport::Serial);
  EXPECT_EQ(line.device, "/dev/pts/3");
  EXPECT_EQ(line.baud, 9600u);
  EXPECT_EQ(line.parity, LineParity::Even);
  EXPECT_EQ(line.stopBits, 2);
  EXPECT_TRUE(line.breakRequired);
  EXPECT_EQ(Parse("--mode snp --serial COM3").parity, LineParity::Odd);
  EXPECT_EQ(Parse("--mode snp --serial COM3 --parity none").parity, LineParity::None);
  EXPECT_FALSE(line.timedLine) << "a serial port keeps its own pace";
  // --baud on TCP or the standard streams times the line.
  const SimOptions timed = Parse("--mode snp --tcp 5020 --baud 9600 --parity none --stop 2");
  EXPECT_TRUE(timed.timedLine);
  EXPECT_EQ(timed.baud, 9600u);
  EXPECT_EQ(timed.parity, LineParity::None);
  EXPECT_EQ(timed.stopBits, 2);
  EXPECT_TRUE(Parse("--mode ccm-ms --baud 19200").timedLine);
  EXPECT_FALSE(tcp.timedLine);

  EXPECT_TRUE(ParseSimOptions({"--help"}).help);
}

TEST(SimOptions, ImpolitePlcOptionsFitTheirProtocol) {
  const SimOptions plain = Parse("--mode ccm-ms");
  EXPECT_EQ(plain.snpDataSize, 1000u);
  EXPECT_TRUE(plain.ccmLrcIncludesFraming);
  EXPECT_EQ(plain.faults.noiseEveryMs, 0);
  EXPECT_EQ(plain.faults.ccmPad, 0);

  const SimOptions snp = Parse(
      "--mode snp --endless-chain 2 --error-nack always --snp-data-size 8192 "
      "--noise-every 25 --noise-any");
  EXPECT_EQ(snp.faults.endlessChain, 2);
  EXPECT_EQ(snp.faults.errorNack, -1);
  EXPECT_EQ(snp.faults.errorNackMajor, 0x05);
  EXPECT_EQ(snp.faults.errorNackMinor, 0xF4);
  EXPECT_EQ(snp.snpDataSize, 8192u);
  EXPECT_EQ(snp.faults.noiseEveryMs, 25);
  EXPECT_FALSE(snp.faults.noiseSafe) << "--noise-any shapes the steady noise too";
  EXPECT_NO_THROW(kelda::plcsim::Simulator(snp.mode).setFaults(snp.faults));

  const SimOptions codes = Parse("--mode snp --error-nack 3:02:0a");
  EXPECT_EQ(codes.faults.errorNack, 3);
  EXPECT_EQ(codes.faults.errorNackMajor, 0x02);
  EXPECT_EQ(codes.faults.errorNackMinor, 0x0A);
  EXPECT_EQ(Parse("--mode snp --error-nack 1:07:FF").faults.errorNackMinor, 0xFF);
  EXPECT_EQ(Parse("--mode snp --snp-data-size 1").snpDataSize, 1u);

  EXPECT_EQ(Parse("--mode snpx --extra-byte").faults.extraByte, -1) << "such a slave does it every time";
  const SimOptions ccm = Parse("--mode ccm-peer --ccm-pad --data-only-lrc");
  EXPECT_EQ(ccm.faults.ccmPad, -1);
  EXPECT_FALSE(ccm.ccmLrcIncludesFraming);
  EXPECT_FALSE(Parse("--mode ccm-ms --data-only-lrc").ccmLrcIncludesFraming);

  const struct {
    const char* line;
    const char* named;
  } kRefused[] = {
      {"--mode snp --endless-chain 0", "--endless-chain 0"},
      {"--mode snp --endless-chain", "--endless-chain needs a value"},
      {"--mode snp --error-nack 2:5:F4", "--error-nack 2:5:F4"},
      {"--mode snp --error-nack 2:00:F4", "MAJOR not 00"},
      {"--mode snp --error-nack 2:05", "--error-nack 2:05"},
      {"--mode snp --error-nack 2:05:F4:00", "--error-nack 2:05:F4:00"},
      {"--mode snp --error-nack 2:GG:F4", "--error-nack 2:GG:F4"},
      {"--mode snp --error-nack :05:F4", "--error-nack"},
      {"--mode snp --error-nack 0:05:F4", "--error-nack 0"},
      {"--mode snp --snp-data-size 0", "--snp-data-size 0"},
      {"--mode snp --snp-data-size 8193", "--snp-data-size 8193"},
      {"--mode snpx --noise-every 0", "--noise-every 0"},
      {"--mode snpx --noise-every 60001", "--noise-every 60001"},
      {"--mode snpx --noise-every soon", "--noise-every soon"},
      {"--mode snpx --endless-chain 1", "--endless-chain applies to --mode snp only"},
      {"--mode ccm-ms --error-nack 1", "--error-nack applies to --mode snp only"},
      {"--mode snpx --snp-data-size 100", "--snp-data-size applies to --mode snp only"},
      {"--mode snp --extra-byte", "--extra-byte applies to --mode snpx only"},
      {"--mode snpx --ccm-pad", "--ccm-pad applies to --mode ccm-ms or ccm-peer only"},
      {"--mode snp --data-only-lrc", "--data-only-lrc applies to --mode ccm-ms or ccm-peer only"},
      {"--mode snpx --extra-byte 3", "unknown option \"3\""},
      {"--mode snpx --extra-byte --extra-byte", "--extra-byte is given twice"},
  };
  for (const auto& c : kRefused) {
    try {
      Parse(c.line);
      ADD_FAILURE() << "accepted: " << c.line;
    } catch (const UsageError& e) {
      EXPECT_NE(std::string(e.what()).find(c.named), std::string::npos) << c.line << " gave: " << e.what();
      EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos) << "one line: " << e.what();
    }
  }
}

TEST(SimOptions, RefusesWhatItCannotHonourNamingTheOption) {
  const struct {
    const char* line;
    const char* named;  // the message must contain this
  } kCases[] = {
      {"", "--mode is missing"},
      {"--mode snpx --frobnicate", "unknown option \"--frobnicate\""},
      {"--mode snpx x", "unknown option \"x\""},
      {"--mode", "--mode needs a value"},
      {"--mode snpx --nak", "--nak needs a value"},
      {"--mode snpx --nak --verbose", "--nak needs a value"},
      {"--mode modbus", "--mode modbus"},
      {"--mode snpx --noise 0", "--noise 0"},
      {"--mode snpx --noise -1", "--noise -1"},
      {"--mode snpx --corrupt sometimes", "--corrupt sometimes"},
      {"--mode snpx --silent 1.5", "--silent 1.5"},
      {"--mode snpx --repeat 9999999999", "--repeat 9999999999"},
      {"--mode snpx --delay 60001", "--delay 60001"},
      {"--mode snpx --chunk 0", "--chunk 0"},
      {"--mode snpx --seed x", "--seed x"},
      {"--mode snpx --tcp 0", "--tcp 0"},
      {"--mode snpx --tcp 65536", "--tcp 65536"},
      {"--mode snp --serial COM1 --baud 5", "--baud 5"},
      {"--mode snp --serial COM1 --parity mark", "--parity mark"},
      {"--mode snp --serial COM1 --stop 3", "--stop 3"},
      {"--mode ccm-ms --id 91", "--id 91"},
      {"--mode ccm-ms --id 0", "--id 0"},
      {"--mode ccm-peer --id 255", "--id 255"},
      {"--mode ccm-ms --id PLC1", "--id PLC1"},
      {"--mode snp --id TOOLONG8", "--id TOOLONG8"},
      {"--mode snpx --parity even", "--parity applies to a serial line or a timed line"},
      {"--mode snpx --tcp 5020 --stop 2", "--stop applies to a serial line or a timed line"},
      {"--mode snpx --tcp 5020 --break-required", "--break-required applies to a serial line only"},
      {"--mode snpx --stdio --tcp 5020", "choose one of"},
      {"--mode snpx --tcp 1 --serial COM1", "choose one of"},
      {"--mode snpx --noise-any", "--noise-any"},
      {"--mode snpx --noise-any --corrupt 1", "add one or leave it out"},
      {"--mode snpx --nak 1 --nak 2", "--nak is given twice"},
  };
  for (const auto& c : kCases) {
    try {
      Parse(c.line);
      ADD_FAILURE() << "accepted: " << c.line;
    } catch (const UsageError& e) {
      EXPECT_NE(std::string(e.what()).find(c.named), std::string::npos) << c.line << " gave: " << e.what();
      EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos) << "one line: " << e.what();
    }
  }
}
