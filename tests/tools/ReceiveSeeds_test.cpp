// Seeds of the receive fuzz target (fuzz/receive_fuzz.cpp) made from the simulator's impolite
// answers: a master's real frames go to the simulated PLC, and what it answers is written in the
// target's input format (byte 0 the protocol and the step, bytes 1-2 the request's size, then
// chunks of a length byte and that many bytes). The committed files must be what the simulator
// answers today; after a change of the simulator, regenerate them with
//
//     KELDA_WRITE_RECEIVE_SEEDS=1 build/native/tests/test_tools --gtest_filter=ReceiveSeeds.*
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/tools/PlcSimTestKit.h"

namespace kelda::plcsim {
namespace {

using namespace testkit;

// The fuzz target's request: Address "2" (SNP ID or CCM station 2), %R from offset 0, `Size`
// registers (SNP, SNP-X) or bytes (CCM), taken up from its opening step.
constexpr uint8_t kOpeningStep = 0;
const Bytes kAck = Hex("06 00");
const Bytes kEnquiry2 = Hex("4E 22 05");

struct TSeed {
  std::string Name;
  Bytes Input;
};

// A master's side of an exchange with the simulator; the PLC's answers become the seed's chunks.
class TSeedRecorder {
public:
  TSeedRecorder(Simulator& sim, uint16_t requestSize) : FSim(sim) {
    FInput = {static_cast<uint8_t>(static_cast<uint8_t>(sim.mode()) | kOpeningStep << 2),
              static_cast<uint8_t>(requestSize), static_cast<uint8_t>(requestSize >> 8)};
    FSim.takeOutput(FNow);
  }
  void Send(const Bytes& frame) {
    FSim.receive(frame, FNow);
    Wait(5);
  }
  void Wait(uint64_t ms) {
    FNow += ms;
    for (const Bytes& chunk : FSim.takeOutput(FNow)) Answer(chunk);
  }
  TSeed Seed(const std::string& name) const { return {name, FInput}; }

private:
  void Answer(const Bytes& bytes) {
    for (size_t at = 0; at < bytes.size(); at += 255) {
      const size_t n = std::min<size_t>(255, bytes.size() - at);
      FInput.push_back(static_cast<uint8_t>(n));
      FInput.insert(FInput.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                    bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
  }

  Simulator& FSim;
  Bytes FInput;
  uint64_t FNow = 0;
};

void FillRegisters(Simulator& sim, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) sim.setWord(kR, i, static_cast<uint16_t>(0x1B06 + 0x0117 * i));
}

TSeed SnpSeed(const std::string& name, uint16_t registers, size_t dataSize, const Faults& faults, int acks) {
  Simulator sim(Mode::Snp, "2");
  FillRegisters(sim, registers);
  sim.setSnpDataSize(dataSize);
  sim.setFaults(faults);
  TSeedRecorder line(sim, registers);
  line.Send(SnpAttach("2", 10));
  line.Send(SnpRead(1, kR, 0, registers));
  for (int i = 0; i < acks; ++i) line.Send(kAck);
  return line.Seed(name);
}

TSeed SnpxSeed(const std::string& name, uint16_t registers, const Faults& faults) {
  Simulator sim(Mode::SnpX, "2");
  FillRegisters(sim, registers);
  sim.setFaults(faults);
  TSeedRecorder line(sim, registers);
  line.Wait(9);  // the line before the attach: steady noise only
  line.Send(XAttach("2"));
  line.Send(XRead("2", kR, 0, registers));
  line.Wait(9);
  return line.Seed(name);
}

TSeed CcmSeed(const std::string& name, uint16_t bytes, bool lrcIncludesFraming, const Faults& faults) {
  Simulator sim(Mode::CcmMasterSlave, "PLC1", 2);
  FillRegisters(sim, 200);
  sim.setCcmLrcIncludesFraming(lrcIncludesFraming);
  sim.setFaults(faults);
  TSeedRecorder line(sim, bytes);
  line.Send(kEnquiry2);
  line.Send(CcmHeader(2, 1, 1, bytes, 1));
  for (uint16_t block = 0; block <= bytes / 256; ++block) line.Send(Hex("06"));
  return line.Seed(name);
}

std::vector<TSeed> Seeds() {
  std::vector<TSeed> seeds;
  Faults endless;
  endless.endlessChain = -1;
  // 60 bytes in buffers of 40: the read's two, then full ones that never end.
  seeds.push_back(SnpSeed("sim_snp_endless_chain", 30, 40, endless, 6));
  Faults repeat;
  repeat.repeatFrame = 1;
  // 2000 bytes: the first buffer of 1000, its copy, the second.
  seeds.push_back(SnpSeed("sim_snp_repeated_buffer", 1000, 1000, repeat, 2));
  Faults errorNack;
  errorNack.errorNack = 1;
  seeds.push_back(SnpSeed("sim_snp_error_nack", 4, 1000, errorNack, 0));
  seeds.push_back(SnpSeed("sim_snp_long_buffer", 2000, 4000, Faults{}, 1));
  Faults noise;
  noise.noiseEveryMs = 2;
  seeds.push_back(SnpxSeed("sim_snpx_steady_noise", 10, noise));
  Faults extra;
  extra.extraByte = -1;
  seeds.push_back(SnpxSeed("sim_snpx_extra_byte", 4, extra));
  seeds.push_back(CcmSeed("sim_ccm_data_only_lrc", 300, false, Faults{}));
  Faults pad;
  pad.ccmPad = -1;
  seeds.push_back(CcmSeed("sim_ccm_pad", 21, true, pad));
  return seeds;
}

// The PLC's bytes of a seed, read back the way the fuzz target reads its input.
Bytes AnswerBytes(const Bytes& input, bool& exact) {
  Bytes answer;
  size_t at = 3;
  exact = true;
  while (at < input.size()) {
    const size_t n = input[at++];
    exact = exact && n > 0 && n <= input.size() - at;
    if (!exact) break;
    answer.insert(answer.end(), input.begin() + static_cast<std::ptrdiff_t>(at),
                  input.begin() + static_cast<std::ptrdiff_t>(at + n));
    at += n;
  }
  return answer;
}

TEST(ReceiveSeeds, CommittedSeedsAreTheSimulatorsAnswers) {
  const std::string folder = std::string(KELDA_FUZZ_CORPUS_DIR) + "/receive/";
  const bool write = std::getenv("KELDA_WRITE_RECEIVE_SEEDS") != nullptr;
  for (const TSeed& seed : Seeds()) {
    SCOPED_TRACE(seed.Name);
    bool exact = false;
    EXPECT_FALSE(AnswerBytes(seed.Input, exact).empty());
    EXPECT_TRUE(exact) << "the chunks fill the input";
    if (write) {
      std::ofstream(folder + seed.Name, std::ios::binary)
          .write(reinterpret_cast<const char*>(seed.Input.data()),
                 static_cast<std::streamsize>(seed.Input.size()));
      continue;
    }
    std::ifstream file(folder + seed.Name, std::ios::binary);
    ASSERT_TRUE(file) << "missing: regenerate the seeds (see the head of this file)";
    const Bytes committed{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    EXPECT_EQ(committed, seed.Input) << "out of date: regenerate the seeds (see the head of this file)";
  }
}

}  // namespace
}  // namespace kelda::plcsim
