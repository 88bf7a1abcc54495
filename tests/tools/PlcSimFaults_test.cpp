// The simulator's fault injection and its handling of split and paused input.
#include "tools/plcsim/PlcSim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "tests/tools/PlcSimTestKit.h"

namespace kelda::plcsim {
namespace {

using namespace testkit;

const Bytes kEnquiry2 = {0x4E, 0x22, 0x05};

Simulator SnpxSession() {
  Simulator sim(Mode::SnpX, "PLC1");
  sim.receive(XAttach("PLC1"), 0);
  EXPECT_EQ(Drain(sim).size(), 24u);
  return sim;
}

Simulator SnpSession() {
  Simulator sim(Mode::Snp, "PLC1");
  sim.receive(SnpAttach("PLC1", 10), 0);
  EXPECT_EQ(Drain(sim).size(), 24u);
  return sim;
}

Faults With(void (*set)(Faults&)) {
  Faults f;
  set(f);
  return f;
}

TEST(PlcSimFaults, SilentRequestsGetNoAnswerForTheirCount) {
  Simulator sim = SnpxSession();
  sim.setFaults(With([](Faults& f) { f.silent = 2; }));
  for (int i = 0; i < 3; ++i) sim.receive(XRead("PLC1", kR, 0, 1), 0);
  EXPECT_EQ(sim.takeOutput(0).size(), 1u);  // only the third
  EXPECT_EQ(sim.counters().silenced, 2);
  EXPECT_EQ(sim.counters().requests, 4);
  EXPECT_EQ(sim.faults().silent, 0);

  // A silenced CCM enquiry leaves the PLC waiting for the next one; a silenced SNP mailbox is not
  // even ACKed.
  Simulator ccm(Mode::CcmMasterSlave, "PLC1", 2);
  ccm.faults().silent = 1;
  ccm.receive(Concat(kEnquiry2, CcmHeader(2, 1, 1, 2, 1)), 0);
  EXPECT_FALSE(ccm.hasPendingOutput());
  ccm.receive(kEnquiry2, 0);
  EXPECT_EQ(Drain(ccm), Hex("4E 22 06"));

  Simulator snp = SnpSession();
  snp.faults().silent = -1;
  snp.receive(SnpRead(1, kR, 0, 1), 0);
  snp.receive(SnpRead(1, kR, 0, 1), 0);
  EXPECT_FALSE(snp.hasPendingOutput());
  EXPECT_EQ(snp.faults().silent, -1);
  EXPECT_EQ(snp.counters().sequenceErrors, 0);
}

TEST(PlcSimFaults, NakFaultRefusesTheRequestInEachProtocol) {
  Simulator ms(Mode::CcmMasterSlave, "PLC1", 2);
  ms.faults().nak = 1;
  ms.receive(kEnquiry2, 0);
  EXPECT_EQ(Drain(ms), Hex("4E 22 15"));
  ms.receive(kEnquiry2, 0);  // the retry is accepted
  EXPECT_EQ(Drain(ms), Hex("4E 22 06"));

  Simulator peer(Mode::CcmPeerToPeer, "PLC1", 2);
  peer.faults().nak = -1;
  for (int i = 0; i < 3; ++i) {
    peer.receive(Hex("05"), 0);
    EXPECT_EQ(Drain(peer), Hex("15"));
  }
  peer.receive(CcmHeader(2, 1, 1, 2, 1), 0);  // no header without an accepted enquiry
  EXPECT_FALSE(peer.hasPendingOutput());
  EXPECT_EQ(peer.counters().naks, 3);
  EXPECT_EQ(peer.counters().validAnswers, 0);

  Simulator snp = SnpSession();
  snp.faults().nak = 1;
  snp.receive(SnpRead(1, kR, 0, 1), 0);
  EXPECT_EQ(Drain(snp), Hex("15 00"));
  snp.receive(SnpRead(1, kR, 0, 1), 0);
  EXPECT_EQ(Drain(snp).size(), 42u);

  Simulator snpx = SnpxSession();
  snpx.faults().nak = 1;
  snpx.receive(XRead("PLC1", kR, 0, 1), 0);
  EXPECT_EQ(Drain(snpx), WithBcc(Hex("1B 58 81 00 00 0F 07 00 00 17 00 00 00 00")));
  EXPECT_EQ(snpx.counters().naks, 1);
  EXPECT_EQ(snpx.counters().completeReads, 0);
}

TEST(PlcSimFaults, CorruptChecksAreWrongAndRepairedOnRetry) {
  Simulator snpx = SnpxSession();
  snpx.setWord(kR, 0, 0x1234);
  snpx.faults().corruptCheck = 1;
  snpx.receive(XRead("PLC1", kR, 0, 1), 0);
  Bytes bad = Drain(snpx);
  ASSERT_EQ(bad.size(), 17u);
  EXPECT_NE(bad.back(), snpBcc(bad.data(), bad.size() - 1));
  EXPECT_EQ(Bytes(bad.begin() + 9, bad.begin() + 11), Hex("34 12"));  // only the check is wrong
  EXPECT_EQ(snpx.counters().completeReads, 0);
  EXPECT_EQ(snpx.counters().corrupted, 1);
  snpx.receive(XRead("PLC1", kR, 0, 1), 0);
  const Bytes good = Drain(snpx);
  EXPECT_EQ(good.back(), snpBcc(good.data(), good.size() - 1));
  EXPECT_EQ(snpx.counters().completeReads, 1);

  // The attach response's ASCII BCC is still two hex digits, of the wrong value.
  Simulator snp(Mode::Snp, "33101A");
  snp.faults().corruptCheck = 1;
  snp.receive(SnpAttach("33101A", 10), 0);
  const Bytes attach = Drain(snp);
  ASSERT_EQ(attach.size(), 24u);
  EXPECT_TRUE(std::isxdigit(attach[22]) && std::isxdigit(attach[23]));
  EXPECT_NE(Bytes(attach.begin() + 22, attach.end()), Hex("45 37"));  // "E7" when intact

  // CCM: the master NAKs the damaged block and gets it intact.
  Simulator ccm(Mode::CcmMasterSlave, "PLC1", 2);
  ccm.faults().corruptCheck = 1;
  ccm.receive(Concat(kEnquiry2, CcmHeader(2, 1, 1, 4, 1)), 0);
  const std::vector<Bytes> answer = ccm.takeOutput(0);
  ASSERT_EQ(answer.size(), 3u);
  const Bytes intact = CcmBlock(ccm.ccmReadBytes(1, 1, 4), true);
  EXPECT_NE(answer[2], intact);
  EXPECT_EQ(Bytes(answer[2].begin(), answer[2].end() - 1), Bytes(intact.begin(), intact.end() - 1));
  ccm.receive(Hex("15"), 0);
  EXPECT_EQ(Drain(ccm), intact);
  EXPECT_EQ(ccm.counters().completeReads, 1);
  EXPECT_EQ(ccm.counters().corrupted, 1);
}

TEST(PlcSimFaults, NoisePrecedesAnswersAndNeverHoldsAFrame) {
  // Safe noise: 1..noiseMax bytes that cannot start any frame, then the intact answer.
  Simulator sim = SnpxSession();
  Faults noisy;
  noisy.noiseBeforeFrames = -1;
  noisy.noiseMax = 8;
  noisy.seed = 7;
  sim.setFaults(noisy);
  const Bytes request = XRead("PLC1", kR, 0, 2);
  size_t shortest = 99, longest = 0;
  for (int i = 0; i < 200; ++i) {
    sim.receive(request, 0);
    const Bytes out = Drain(sim);
    ASSERT_GT(out.size(), 19u);
    const size_t noise = out.size() - 19;
    shortest = std::min(shortest, noise);
    longest = std::max(longest, noise);
    for (size_t k = 0; k < noise; ++k) {
      EXPECT_GE(out[k], 0x20);
      EXPECT_NE(out[k], 'N');
    }
    EXPECT_EQ(out[noise], 0x1B);
  }
  EXPECT_EQ(shortest, 1u);
  EXPECT_EQ(longest, 8u);

  // The same seed gives the same noise.
  Simulator a = SnpxSession(), b = SnpxSession();
  a.setFaults(noisy);
  b.setFaults(noisy);
  a.receive(request, 0);
  b.receive(request, 0);
  EXPECT_EQ(Drain(a), Drain(b));

  // Unsafe noise uses control bytes too, but never one that is (or completes) an answer on its own:
  // EOT/ACK/NAK in CCM, the two-byte ACK/NAK in SNP.
  struct Case {
    Mode mode;
    Bytes request;
    Bytes forbidden;
  };
  const Case cases[] = {{Mode::CcmPeerToPeer, Hex("05"), Hex("04 06 15")},
                        {Mode::CcmMasterSlave, kEnquiry2, Hex("04 06 15")},
                        {Mode::SnpX, XAttach("PLC1"), {}},
                        {Mode::Snp, SnpAttach("PLC1", 10), Hex("06 15")}};
  for (const Case& c : cases) {
    Simulator u(c.mode, "PLC1", 2);
    Faults f;
    f.noiseBeforeFrames = -1;
    f.noiseSafe = false;
    f.noiseMax = 64;
    u.setFaults(f);
    bool sawControl = false;
    for (int i = 0; i < 100; ++i) {
      u.receive(c.request, 0);
      const std::vector<Bytes> chunks = u.takeOutput(0);
      ASSERT_EQ(chunks.size(), 1u);
      const Bytes& out = chunks[0];
      const size_t answerSize = c.mode == Mode::CcmPeerToPeer ? 1 : c.mode == Mode::CcmMasterSlave ? 3 : 24;
      ASSERT_GT(out.size(), answerSize);
      for (size_t k = 0; k + answerSize < out.size(); ++k) {
        sawControl = sawControl || out[k] < 0x20;
        EXPECT_EQ(std::count(c.forbidden.begin(), c.forbidden.end(), out[k]), 0) << "mode " << int(c.mode);
      }
      u.receive(Hex("04"), 0);  // CCM: back to idle for the next enquiry
    }
    EXPECT_TRUE(sawControl);
  }
}

TEST(PlcSimFaults, LateAnswersWaitForTheirTime) {
  Simulator sim = SnpxSession();
  sim.faults().lateMs = 150;
  sim.receive(XRead("PLC1", kR, 0, 1), 1000);
  EXPECT_TRUE(sim.takeOutput(1149).empty());
  EXPECT_TRUE(sim.hasPendingOutput());
  EXPECT_EQ(sim.takeOutput(1150).size(), 1u);
  EXPECT_FALSE(sim.hasPendingOutput());

  // Answers keep their order: an ACK and the reply of SNP both wait.
  Simulator snp = SnpSession();
  snp.faults().lateMs = 20;
  snp.receive(SnpRead(1, kR, 0, 1), 50);
  EXPECT_TRUE(snp.takeOutput(69).empty());
  const std::vector<Bytes> out = snp.takeOutput(70);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], Hex("06 00"));
}

TEST(PlcSimFaults, RepeatedDataFramesAndChunks) {
  Simulator sim = SnpxSession();
  sim.faults().repeatFrame = 1;
  sim.receive(XRead("PLC1", kR, 0, 1), 0);
  const std::vector<Bytes> twice = sim.takeOutput(0);
  ASSERT_EQ(twice.size(), 2u);
  EXPECT_EQ(twice[0], twice[1]);
  EXPECT_EQ(sim.counters().repeated, 1);
  EXPECT_EQ(sim.counters().completeReads, 1);

  // Only data frames repeat: not the attach response, not the 94h reply, but each text buffer.
  Simulator snp(Mode::Snp, "PLC1");
  snp.faults().repeatFrame = -1;
  snp.setSnpDataSize(4);
  snp.receive(SnpAttach("PLC1", 10), 0);
  EXPECT_EQ(snp.takeOutput(0).size(), 1u);
  snp.receive(SnpRead(1, kR, 0, 4), 0);
  EXPECT_EQ(snp.takeOutput(0).size(), 2u);  // ACK, 94h
  snp.receive(Hex("06 00"), 0);
  EXPECT_EQ(snp.takeOutput(0).size(), 2u);
  snp.receive(Hex("06 00"), 0);
  EXPECT_EQ(snp.takeOutput(0).size(), 2u);

  // Chunks split each answer; together they are the answer.
  Simulator chunked = SnpxSession();
  chunked.faults().chunkSize = 5;
  chunked.receive(XRead("PLC1", kR, 0, 4), 0);
  const std::vector<Bytes> chunks = chunked.takeOutput(0);
  ASSERT_EQ(chunks.size(), 5u);  // 23 bytes
  EXPECT_EQ(chunks.back().size(), 3u);
  EXPECT_EQ(Join(chunks).back(), snpBcc(Join(chunks).data(), 22));
}

TEST(PlcSimFaults, InvalidOptionsAreRefused) {
  Simulator sim(Mode::SnpX, "PLC1");
  const Faults bad[] = {
      With([](Faults& f) { f.silent = -2; }),       With([](Faults& f) { f.noiseMax = 0; }),
      With([](Faults& f) { f.noiseMax = 100000; }), With([](Faults& f) { f.lateMs = -1; }),
      With([](Faults& f) { f.repeatFrame = -3; }),  With([](Faults& f) { f.corruptCheck = -9; })};
  for (const Faults& f : bad) EXPECT_THROW(sim.setFaults(f), std::invalid_argument);
  // A value set through the reference is checked before it is used, not silently ignored.
  sim.faults().nak = -5;
  EXPECT_THROW(sim.receive(XAttach("PLC1"), 0), std::invalid_argument);
  sim.faults().nak = 0;
  EXPECT_THROW(sim.setPrivilegeLevel(5), std::invalid_argument);
}

TEST(PlcSimInput, AnyInputSplitGivesTheSameAnswers) {
  struct Case {
    Mode mode;
    std::vector<Bytes> exchange;  // master writes, each followed by the answer check
  };
  const Case cases[] = {
      {Mode::Snp, {SnpAttach("PLC1", 10), SnpRead(1, kR, 0, 20), Hex("06 00"), Hex("06 00")}},
      {Mode::SnpX, {XAttach("PLC1"), XRead("PLC1", kR, 0, 20)}},
      {Mode::CcmMasterSlave, {kEnquiry2, CcmHeader(2, 1, 1, 300, 1), Hex("06"), Hex("06"), Hex("04")}},
      {Mode::CcmPeerToPeer, {Hex("05"), CcmHeader(2, 1, 1, 4, 1), Hex("06")}},
  };
  for (const Case& c : cases) {
    Simulator whole(c.mode, "PLC1", 2), bytewise(c.mode, "PLC1", 2);
    for (uint32_t i = 0; i < 200; ++i) {
      whole.setWord(kR, i, static_cast<uint16_t>(0x0217 * i));
      bytewise.setWord(kR, i, static_cast<uint16_t>(0x0217 * i));
    }
    for (const Bytes& write : c.exchange) {
      whole.receive(write, 0);
      for (uint8_t b : write) bytewise.receive(&b, 1, 0);
      EXPECT_EQ(Drain(bytewise), Drain(whole)) << "mode " << int(c.mode);
    }
    EXPECT_EQ(whole.counters().completeReads, 1) << "mode " << int(c.mode);
    EXPECT_EQ(bytewise.counters().completeReads, 1) << "mode " << int(c.mode);
  }

  // Leading garbage is skipped; the rest of a frame that stopped long ago is dropped.
  Simulator sim = SnpxSession();
  sim.receive(Concat(Hex("00 FF 33"), XRead("PLC1", kR, 0, 1)), 10);
  EXPECT_EQ(Drain(sim, 10).size(), 17u);
  const Bytes request = XRead("PLC1", kR, 0, 1);
  sim.receive(request.data(), 10, 20);
  sim.receive(request, 2000);
  EXPECT_EQ(Drain(sim, 2000).size(), 17u);
  EXPECT_EQ(sim.counters().ignored, 1);
}

}  // namespace
}  // namespace kelda::plcsim
