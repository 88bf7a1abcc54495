// The poller's options for the built-in simulated PLC's impolite behaviour: each reaches the
// simulator, and an option that would change nothing for the chosen protocol is refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/tools/PlcSimTestKit.h"
#include "tools/PollLine.h"
#include "tools/PollOptions.h"

using namespace kelda;
using namespace kelda::host;
using namespace kelda::plcsim::testkit;

namespace {

std::vector<std::string> Args(const char* protocol, std::initializer_list<const char*> extra) {
  std::vector<std::string> args = {"kelda.dll", "--config", "a.xml", "--protocol", protocol};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

std::string UsageError(const std::vector<std::string>& args) {
  try {
    ParsePollOptions(args);
  } catch (const EPollUsage& usage) {
    return usage.what();
  }
  return "accepted";
}

// What the simulated PLC answers to `bytes`, all pieces the port handed over joined.
Bytes Exchange(TSimulatedPollLine& line, const Bytes& bytes) {
  line.Write(std::string(bytes.begin(), bytes.end()), 0);
  std::string got;
  for (const std::string& piece : line.Read(0)) got += piece;
  return Bytes(got.begin(), got.end());
}

}  // namespace

TEST(PollSimOptions, EachImpolitePlcOptionReachesTheSimulatedPlc) {
  const TPollOptions plain = ParsePollOptions(Args("snp", {}));
  TSimulatedPollLine plainLine(plain);
  EXPECT_EQ(plainLine.Plc().faults().repeatFrame, 0);
  EXPECT_EQ(plainLine.Plc().faults().noiseEveryMs, 0);
  EXPECT_EQ(plainLine.Plc().faults().errorNack, 0);

  const TPollOptions snp =
      ParsePollOptions(Args("snp", {"--sim-repeat", "2", "--sim-noise-every=15", "--sim-endless-chain",
                                    "always", "--sim-error-nack", "4:02:0B"}));
  TSimulatedPollLine snpLine(snp);
  const plcsim::Faults& f = snpLine.Plc().faults();
  EXPECT_EQ(f.repeatFrame, 2);
  EXPECT_EQ(f.noiseEveryMs, 15);
  EXPECT_EQ(f.endlessChain, -1);
  EXPECT_EQ(f.errorNack, 4);
  EXPECT_EQ(f.errorNackMajor, 0x02);
  EXPECT_EQ(f.errorNackMinor, 0x0B);
  const TPollOptions defaultCodes = ParsePollOptions(Args("snp", {"--sim-error-nack=1"}));
  EXPECT_EQ(TSimulatedPollLine(defaultCodes).Plc().faults().errorNackMajor, 0x05);
  EXPECT_EQ(defaultCodes.SimErrorNackMinor, 0xF4);

  // The data size shows in the text buffers: 4 registers, 8 bytes, come as two of 4.
  TSimulatedPollLine sized(ParsePollOptions(Args("snp", {"--sim-snp-data-size", "4"})));
  EXPECT_EQ(Exchange(sized, SnpAttach("PLC1", 10)).size(), 24u);
  EXPECT_EQ(Exchange(sized, SnpRead(1, kR, 0, 4)).size(), 42u);
  EXPECT_EQ(Exchange(sized, Hex("06 00")), WithBcc(Hex("1b 54 01 00 02 00 17 54 0c 00 00")));

  TSimulatedPollLine snpx(ParsePollOptions(Args("snpx", {"--sim-extra-byte"})));
  EXPECT_EQ(snpx.Plc().faults().extraByte, -1);

  // CCM: 3 bytes of %R1 (1 = 01 00, 2 = 02 00) padded to 4, the LRC over the data bytes only.
  TSimulatedPollLine ccm(ParsePollOptions(Args("ccm-ms", {"--sim-ccm-pad", "--sim-data-only-lrc"})));
  EXPECT_EQ(ccm.Plc().faults().ccmPad, -1);
  EXPECT_EQ(Exchange(ccm, Concat(Hex("4E 22 05"), CcmHeader(2, 1, 1, 3, 1))),
            Hex("4E 22 06 06 02 01 00 02 00 03 03"));
  TSimulatedPollLine framed(ParsePollOptions(Args("ccm-peer", {})));
  EXPECT_EQ(Exchange(framed, Concat(Hex("05"), CcmHeader(2, 1, 1, 3, 1))), Hex("06 06 02 01 00 02 03 02"));
}

TEST(PollSimOptions, RefusesWhatTheSimulatedPlcCannotDo) {
  const struct {
    std::vector<std::string> Args;
    const char* Named;
  } kCases[] = {
      {Args("snp", {"--sim-repeat", "often"}), "--sim-repeat"},
      {Args("snp", {"--sim-noise-every", "0"}), "--sim-noise-every"},
      {Args("snp", {"--sim-noise-every", "60001"}), "--sim-noise-every"},
      {Args("snp", {"--sim-endless-chain", "x"}), "--sim-endless-chain"},
      {Args("snp", {"--sim-error-nack", "2:5:F4"}), "--sim-error-nack"},
      {Args("snp", {"--sim-error-nack", "2:00:01"}), "MAJOR not 00"},
      {Args("snp", {"--sim-error-nack", "x:05:F4"}), "--sim-error-nack"},
      {Args("snp", {"--sim-snp-data-size", "0"}), "--sim-snp-data-size"},
      {Args("snp", {"--sim-snp-data-size", "8193"}), "--sim-snp-data-size"},
      {Args("snpx", {"--sim-extra-byte=1"}), "--sim-extra-byte takes no value"},
      {Args("ccm-ms", {"--sim-ccm-pad=yes"}), "--sim-ccm-pad takes no value"},
      {Args("snpx", {"--sim-endless-chain", "1"}), "--sim-endless-chain applies to --protocol snp only"},
      {Args("ccm-peer", {"--sim-error-nack", "1"}), "--sim-error-nack applies to --protocol snp only"},
      {Args("snpx", {"--sim-snp-data-size", "100"}), "--sim-snp-data-size applies to --protocol snp only"},
      {Args("snp", {"--sim-extra-byte"}), "--sim-extra-byte applies to --protocol snpx only"},
      {Args("snpx", {"--sim-ccm-pad"}), "--sim-ccm-pad applies to --protocol ccm-ms and ccm-peer only"},
      {Args("snp", {"--sim-data-only-lrc"}), "--sim-data-only-lrc applies to --protocol ccm-ms and ccm-peer"},
      // With a real port the simulated PLC's options would be silently ignored.
      {Args("ccm-ms", {"--port", "COM3", "--sim-data-only-lrc"}), "--sim-"},
      {Args("snp", {"--port", "COM3", "--sim-noise-every", "5"}), "--sim-"},
  };
  for (const auto& c : kCases) {
    const std::string error = UsageError(c.Args);
    EXPECT_NE(error.find(c.Named), std::string::npos) << c.Args.back() << " gave: " << error;
  }
}
