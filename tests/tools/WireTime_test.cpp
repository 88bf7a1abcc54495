// The least time of a read on the wire, checked against the figures GE's manuals lead to for a
// 19200 8O1 line (and the character times of the other formats), and the parts a default-mode
// read adds: break, T4, attach and their gaps.
#include <gtest/gtest.h>

#include "tools/plcsim/WireTime.h"

using namespace kelda::plcsim;

namespace {

LineFormat Format(uint32_t baud, bool parity) {
  LineFormat f;
  f.baud = baud;
  f.parity = parity;
  return f;
}

WireRules T1(uint32_t ms) {
  WireRules rules;
  rules.snpT1Ms = ms;
  return rules;
}

const SessionUse kKeep = SessionUse::KeepSession;

}  // namespace

TEST(WireTime, CharacterTimes) {
  EXPECT_NEAR(Format(9600, true).charMs(), 1.1458, 1e-4);
  EXPECT_NEAR(Format(19200, true).charMs(), 0.5729, 1e-4);
  EXPECT_NEAR(Format(9600, false).charMs(), 1.0417, 1e-4);
  EXPECT_NEAR(Format(19200, false).charMs(), 0.5208, 1e-4);
  LineFormat twoStops = Format(19200, true);
  twoStops.stopBits = 2;
  EXPECT_EQ(twoStops.bitsPerChar(), 12u);
  // A long run does not drift: character 19200 of 8N1 at 19200 baud ends 10 s after the start.
  EXPECT_EQ(Format(19200, false).endOfCharUs(5, 19200), 10000005u);
  EXPECT_EQ(Format(19200, true).endOfCharUs(0, 1), 573u) << "a character is through when its last bit is";
}

// The published minimum transaction times at 19200 8O1, session open.
TEST(WireTime, PublishedReadTimesAt19200) {
  const LineFormat line = Format(19200, true);
  // SNP-X, 10 registers: request 24 + response 15 + 20 = 59 characters.
  ExchangeTime snpx = ReadExchange(Mode::SnpX, 20, line, kKeep);
  EXPECT_EQ(snpx.chars, 59u);
  EXPECT_NEAR(snpx.ms, 33.8, 0.05);
  EXPECT_DOUBLE_EQ(snpx.cycleMs, snpx.ms) << "SNP-X has no gap between reads";
  EXPECT_NEAR(ReadExchange(Mode::SnpX, 2, line, kKeep).ms, 23.5, 0.05);
  EXPECT_NEAR(ReadExchange(Mode::SnpX, 200, line, kKeep).ms, 136.9, 0.05);

  // SNP, 10 registers, T1 = 5 ms: 114 characters and five T1 gaps.
  ExchangeTime snp = ReadExchange(Mode::Snp, 20, line, kKeep, T1(5));
  EXPECT_EQ(snp.chars, 114u);
  EXPECT_EQ(snp.gaps, 5u);
  EXPECT_NEAR(snp.ms, 90.3, 0.05);
  EXPECT_NEAR(snp.cycleMs, 95.3, 0.05) << "the next request waits T1 after the master's last ACK";
  EXPECT_NEAR(snp.masterGapMs, 15, 1e-9) << "T1 before the master's two ACKs and its next request";
  EXPECT_NEAR(ReadExchange(Mode::Snp, 20, line, kKeep, T1(10)).ms, 115.3, 0.05) << "the LM90's 10 ms T1";
  ExchangeTime small = ReadExchange(Mode::Snp, 6, line, kKeep, T1(5));
  EXPECT_EQ(small.chars, 84u) << "up to 6 bytes travel in the reply mailbox";
  EXPECT_NEAR(small.ms, 48.1 + 15, 0.05);
  EXPECT_NEAR(ReadExchange(Mode::Snp, 200, line, kKeep, T1(5)).ms, 168.4 + 25, 0.05);

  // CCM master-slave, 10 registers: 50 characters and the enquiry delay of 10 ms + 4 characters.
  ExchangeTime ccm = ReadExchange(Mode::CcmMasterSlave, 20, line, kKeep);
  EXPECT_EQ(ccm.chars, 50u);
  EXPECT_NEAR(ccm.ms, 42, 0.5);
  EXPECT_NEAR(ReadExchange(Mode::CcmMasterSlave, 2, line, kKeep).ms, 18.3 + 13, 0.05);
  EXPECT_NEAR(ReadExchange(Mode::CcmMasterSlave, 200, line, kKeep).ms, 131.8 + 13, 0.05);
  EXPECT_EQ(ReadExchange(Mode::CcmPeerToPeer, 20, line, kKeep).chars, 45u) << "peer-to-peer: 25 + n";
}

TEST(WireTime, CcmEnquiryDelayFollowsTheRate) {
  // Four character times as GE's timer table rounds them: 19200 -> 3 ms, 9600 -> 5, 300 -> 147.
  EXPECT_DOUBLE_EQ(CcmEnquiryDelayMs(Format(19200, true)), 13);
  EXPECT_DOUBLE_EQ(CcmEnquiryDelayMs(Format(9600, true)), 15);
  EXPECT_DOUBLE_EQ(CcmEnquiryDelayMs(Format(300, true)), 157);
  EXPECT_DOUBLE_EQ(CcmEnquiryDelayMs(Format(4800, true)), 20);
}

TEST(WireTime, LongReadsTakeMoreFrames) {
  const LineFormat line = Format(19200, true);
  WireRules rules = T1(5);
  rules.snpDataSize = 1000;
  ExchangeTime snp = ReadExchange(Mode::Snp, 2500, line, kKeep, rules);
  EXPECT_EQ(snp.chars, 84u + 2500u + 3u * 10u) << "three text buffers, each framed and ACKed";
  EXPECT_EQ(snp.gaps, 3u + 6u);
  ExchangeTime ccm = ReadExchange(Mode::CcmMasterSlave, 600, line, kKeep);
  EXPECT_EQ(ccm.chars, 6u + 17u + 1u + 600u + 3u * 4u + 2u) << "three data blocks, each framed and ACKed";
}

// Opening the session for every read adds the break, T4, the attach and its response (SNP also
// T1 before the response and before the request), and nothing to CCM.
TEST(WireTime, DefaultModeOpensTheSessionEachRead) {
  const LineFormat line = Format(19200, true);
  WireRules rules = T1(10);
  rules.breakMs = 100;
  const SessionUse open = SessionUse::BreakAndAttachEachRead;
  for (Mode mode : {Mode::Snp, Mode::SnpX}) {
    ExchangeTime kept = ReadExchange(mode, 20, line, kKeep, rules);
    ExchangeTime opened = ReadExchange(mode, 20, line, open, rules);
    EXPECT_EQ(opened.chars, kept.chars + 48);
    EXPECT_DOUBLE_EQ(opened.breakMs, 150);
    const double extraGaps = mode == Mode::Snp ? 20 : 0;
    EXPECT_NEAR(opened.ms, kept.ms + 48 * line.charMs() + 150 + extraGaps, 1e-9);
    EXPECT_DOUBLE_EQ(opened.cycleMs, opened.ms) << "the break needs no gap before it";
    EXPECT_DOUBLE_EQ(opened.masterGapMs, mode == Mode::Snp ? 50 + 3 * 10 : 50)
        << "T4, and SNP's T1 before the request and before the ACKs of the reply";
    EXPECT_GT(kept.perSecond(), opened.perSecond());
  }
  ExchangeTime ccmOpen = ReadExchange(Mode::CcmMasterSlave, 20, line, open, rules);
  ExchangeTime ccmKept = ReadExchange(Mode::CcmMasterSlave, 20, line, kKeep, rules);
  EXPECT_DOUBLE_EQ(ccmOpen.ms, ccmKept.ms);
  EXPECT_NEAR(ccmKept.perSecond(), 1000 / ccmKept.ms, 1e-9);
}
