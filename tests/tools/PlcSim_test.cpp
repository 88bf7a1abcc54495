// Known-answer tests of the PLC simulator against GE's published frames, and its protocol flows.
#include "tools/plcsim/PlcSim.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/tools/PlcSimTestKit.h"

namespace kelda::plcsim {
namespace {

using namespace testkit;

// GE's published example frames.
const Bytes kAttach33101A = Hex("1b 41 33 33 31 30 31 41 00 00 30 41 30 30 30 20 20 20 17 00 00 00 38 35");
const Bytes kAttachResponse33101A =
    Hex("1b 52 33 33 31 30 31 41 00 00 30 41 30 30 30 20 20 20 17 00 00 00 45 37");
const Bytes kNullAttach = Hex("1B 41 00 00 00 00 00 00 00 00 30 41 30 30 30 20 20 20 17 00 00 00 31 41");
const Bytes kInquiry = Concat(Concat({0x1b, 0x49}, Bytes(32, 0)), Hex("17 00 00 00 00 3d"));
const Bytes kParameterSelect =
    Hex("1b 4d 00 00 00 00 00 00 03 c0 10 3a 00 00 10 3e 00 00 01 01 00 00 88 13 a8 61 e8 03 01 00 00 00 00 "
        "00 17 00 "
        "00 00 00 29");
const Bytes kReadR3ToR13 =
    Hex("1b 4d 00 00 00 00 00 00 62 c0 10 3a 00 00 10 0a 00 00 01 01 04 08 02 00 0b 00 00 00 00 00 00 00 00 "
        "00 17 00 "
        "00 00 00 07");
const Bytes kReplyR3ToR13 =
    Hex("1b 4d 00 00 00 00 00 00 62 94 10 0a 00 00 10 3a 00 00 00 01 16 00 00 00 00 00 01 01 00 01 00 00 4c "
        "20 17 54 "
        "1e 00 00 9F");
const Bytes kTextR3ToR13 =
    Hex("1b 54 89 34 17 12 71 90 53 28 27 26 17 09 31 84 72 41 34 12 78 56 87 09 17 00 00 00 00 BB");
const Bytes kReadM99ToM109 =
    Hex("1b 4d 00 00 00 00 00 00 02 c0 10 3a 00 00 10 0a 00 00 01 01 04 4c 62 00 0b 00 00 00 00 00 00 00 00 "
        "00 17 00 "
        "00 00 00 E6");
const Bytes kReplyM99ToM109 =
    Hex("1b 4d 00 00 00 00 00 00 02 d4 10 0a 00 00 10 3a 00 00 01 01 00 00 90 13 00 00 00 00 00 04 00 00 5c "
        "20 17 00 "
        "00 00 00 84");
const Bytes kXAttachABCDEF = Hex("1B 58 41 42 43 44 45 46 00 00 00 00 00 00 00 00 00 00 17 00 00 00 00 B2");
const Bytes kXAttachResponseABCDEF =
    Hex("1B 58 41 42 43 44 45 46 00 00 80 00 00 00 00 00 00 00 17 00 00 00 00 A2");
const Bytes kXAttachBroadcast =
    Hex("1B 58 FF FF FF FF FF FF FF FF 00 00 00 00 00 00 00 00 17 00 00 00 00 79");
const Bytes kXReadR1ToR4 = Hex("1B 58 41 42 43 44 45 46 00 00 01 08 00 00 04 00 00 00 17 00 00 00 00 1A");
const Bytes kXResponseR1ToR4 = Hex("1B 58 81 00 00 00 00 08 00 31 32 33 34 35 36 37 38 17 00 00 00 00 B6");
const Bytes kXReadI2NullId = Hex("1b 58 00 00 00 00 00 00 00 00 01 46 01 00 01 00 00 00 17 00 00 00 00 37");
const Bytes kCcmHeaderR986 = Hex("01 30 31 30 31 30 33 44 41 30 30 31 34 30 32 17 01");

const Bytes kAck = {0x06, 0x00};

void SetWords(Simulator& sim, uint32_t first, const Bytes& lsbFirst) {
  for (size_t i = 0; i + 1 < lsbFirst.size(); i += 2)
    sim.setWord(kR, first + static_cast<uint32_t>(i / 2),
                static_cast<uint16_t>(lsbFirst[i] | lsbFirst[i + 1] << 8));
}

Simulator AttachedSnp(const std::string& id = "33101A") {
  Simulator sim(Mode::Snp, id);
  sim.receive(SnpAttach(id, 10), 0);
  EXPECT_EQ(Drain(sim).size(), 24u);
  return sim;
}

TEST(PlcSimChecks, PublishedFramesCarryTheirCheckValues) {
  const Bytes binary[] = {
      kInquiry,       kParameterSelect, kReadR3ToR13,   kReplyR3ToR13,          kTextR3ToR13,
      kReadM99ToM109, kReplyM99ToM109,  kXAttachABCDEF, kXAttachResponseABCDEF, kXAttachBroadcast,
      kXReadR1ToR4,   kXResponseR1ToR4, kXReadI2NullId};
  for (const Bytes& frame : binary) {
    SCOPED_TRACE(HexText(frame[1], 2));
    EXPECT_EQ(snpBcc(frame.data(), frame.size() - 1), frame.back());
  }
  for (const Bytes& attach : {kAttach33101A, kAttachResponse33101A, kNullAttach}) {
    const std::string ascii = HexText(snpBcc(attach.data(), 22), 2);
    EXPECT_EQ(attach[22], ascii[0]);
    EXPECT_EQ(attach[23], ascii[1]);
  }
  EXPECT_EQ(snpBcc(kAttach33101A.data(), 22), 0x85);
  EXPECT_EQ(ccmLrc(kCcmHeaderR986.data() + 1, 14), 0x01);
  // The rotation carries the high bit into bit 0: 80h alone gives 01h, a plain XOR would not.
  const uint8_t high = 0x80;
  EXPECT_EQ(snpBcc(&high, 1), 0x01);
  EXPECT_EQ(ccmLrc(nullptr, 0), 0x00);
}

TEST(PlcSimSnp, AttachAnswersWithOwnIdAndTheLargerT1) {
  Simulator sim(Mode::Snp, "33101A");
  EXPECT_FALSE(sim.sessionOpen());
  sim.receive(kAttach33101A, 0);
  EXPECT_EQ(Drain(sim), kAttachResponse33101A);
  EXPECT_TRUE(sim.sessionOpen());

  // Point-to-point attach with a null ID: the answer still names the PLC.
  Simulator anyId(Mode::Snp, "33101A");
  anyId.receive(kNullAttach, 0);
  EXPECT_EQ(Drain(anyId), kAttachResponse33101A);

  // The session T1 is the larger of the master's and the PLC's 5 ms.
  Simulator fast(Mode::Snp, "PLC1");
  fast.receive(SnpAttach("PLC1", 2), 0);
  Bytes response = Drain(fast);
  ASSERT_EQ(response.size(), 24u);
  EXPECT_EQ(Bytes(response.begin() + 10, response.begin() + 14), Hex("30 35 30 30"));  // "0500"
  fast.receive(SnpAttach("PLC1", 0x1234), 0);
  response = Drain(fast);
  EXPECT_EQ(Bytes(response.begin() + 10, response.begin() + 14), Hex("33 34 31 32"));  // "3412"

  // Another PLC's ID, a damaged BCC and a lower-case BCC get no answer at all.
  Simulator other(Mode::Snp, "PLC1");
  other.receive(SnpAttach("PLC2", 10), 0);
  Bytes bad = SnpAttach("PLC1", 10);
  bad[23] = bad[23] == '0' ? '1' : '0';
  other.receive(bad, 0);
  Bytes lowerCase = kNullAttach;  // BCC "1A" written "1a"
  lowerCase[23] = 'a';
  other.receive(lowerCase, 0);
  EXPECT_FALSE(other.hasPendingOutput());
  EXPECT_FALSE(other.sessionOpen());
  EXPECT_EQ(other.counters().ignored, 3);
  EXPECT_EQ(other.counters().requests, 0);
}

TEST(PlcSimSnp, RegisterReadFollowsThePublishedExchange) {
  Simulator sim = AttachedSnp();
  sim.setPlcStatusWord(0x204C);
  SetWords(sim, 2, Bytes(kTextR3ToR13.begin() + 2, kTextR3ToR13.end() - 6));

  sim.receive(kReadR3ToR13, 10);
  const std::vector<Bytes> first = sim.takeOutput(10);
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0], kAck);
  EXPECT_EQ(first[1], kReplyR3ToR13);
  EXPECT_EQ(sim.counters().completeReads, 0);

  sim.receive(kAck, 20);
  EXPECT_EQ(Drain(sim, 20), kTextR3ToR13);
  EXPECT_EQ(sim.counters().completeReads, 1);
  sim.receive(kAck, 30);
  EXPECT_FALSE(sim.hasPendingOutput());
  EXPECT_EQ(sim.readBytes(kR, 2, 11), Bytes(kTextR3ToR13.begin() + 2, kTextR3ToR13.end() - 6));

  // The link is turned around: the next request is served the same way, sequence echoed.
  sim.receive(SnpRead(0x63, kR, 2, 11), 40);
  const Bytes again = Drain(sim, 40);
  ASSERT_EQ(again.size(), 42u);
  EXPECT_EQ(again[2 + 8], 0x63);
  EXPECT_EQ(sim.counters().sequenceErrors, 0);
}

TEST(PlcSimSnp, ShortBitReadIsAnsweredInTheCompletionAck) {
  Simulator sim = AttachedSnp();
  sim.setPlcStatusWord(0x205C);
  sim.setPrivilegeLevel(4);
  for (uint32_t m : {101, 104, 105, 106, 109}) sim.setBit(kM, m - 1, true);
  sim.setBit(kM, 96, true);  // %M97 and %M110 share the bytes but were not asked for
  sim.setBit(kM, 109, true);
  sim.receive(kReadM99ToM109, 0);
  EXPECT_EQ(Drain(sim), Concat(kAck, kReplyM99ToM109));
  EXPECT_EQ(sim.counters().completeReads, 1);
  sim.receive(kAck, 0);
  EXPECT_FALSE(sim.hasPendingOutput());
}

TEST(PlcSimSnp, LongReadsTravelInChainedTextBuffers) {
  Simulator sim = AttachedSnp();
  sim.setSnpDataSize(10);
  for (uint32_t i = 0; i < 11; ++i) sim.setWord(kR, 100 + i, static_cast<uint16_t>(0x1B02 + i * 0x0101));
  sim.receive(SnpRead(7, kR, 100, 11), 0);
  const Bytes reply = Drain(sim);
  ASSERT_EQ(reply.size(), 42u);
  EXPECT_EQ(reply[2 + 9], 0x94);
  EXPECT_EQ(reply[2 + 20], 22);  // total bytes
  EXPECT_EQ(reply[2 + 35], 0x54);
  EXPECT_EQ(reply[2 + 36], 18);  // first buffer: 10 data + 8

  Bytes data;
  const struct {
    size_t dataBytes;
    uint8_t nextType, nextLength;
  } expected[] = {{10, 0x54, 18}, {10, 0x54, 10}, {2, 0x00, 0}};
  for (const auto& e : expected) {
    EXPECT_FALSE(sim.hasPendingOutput());  // never before the master's ACK
    sim.receive(kAck, 0);
    const Bytes t = Drain(sim);
    ASSERT_EQ(t.size(), e.dataBytes + 8);
    EXPECT_EQ(t[0], 0x1B);
    EXPECT_EQ(t[1], 0x54);
    EXPECT_EQ(t[t.size() - 6], 0x17);
    EXPECT_EQ(t[t.size() - 5], e.nextType);
    EXPECT_EQ(t[t.size() - 4], e.nextLength);
    EXPECT_EQ(t.back(), snpBcc(t.data(), t.size() - 1));
    data.insert(data.end(), t.begin() + 2, t.end() - 6);
  }
  EXPECT_EQ(data, sim.readBytes(kR, 100, 11));
  EXPECT_EQ(sim.counters().completeReads, 1);

  // The default data size carries 1000 bytes per buffer.
  Simulator big = AttachedSnp();
  big.receive(SnpRead(8, kR, 0, 600), 0);
  Drain(big);
  big.receive(kAck, 0);
  EXPECT_EQ(Drain(big).size(), 1008u);
  big.receive(kAck, 0);
  EXPECT_EQ(Drain(big).size(), 208u);
}

TEST(PlcSimSnp, ErrorNacksNaksAndRetransmission) {
  Simulator sim = AttachedSnp();
  // A selector the PLC does not have, and a read past the table: ACK, then an error nack.
  sim.receive(SnpRead(0x21, 0x80, 0, 1), 0);
  Bytes reply = Drain(sim);
  ASSERT_EQ(reply.size(), 42u);
  EXPECT_EQ(Bytes(reply.begin() + 2 + 8, reply.begin() + 2 + 10), Hex("21 d1"));
  EXPECT_EQ(Bytes(reply.begin() + 2 + 20, reply.begin() + 2 + 22), Hex("05 e9"));
  EXPECT_EQ(reply.back(), snpBcc(reply.data() + 2, 39));
  sim.receive(kAck, 0);
  sim.receive(SnpRead(0x22, kR, static_cast<uint16_t>(sim.tableSize(kR) - 1), 2), 0);
  reply = Drain(sim);
  EXPECT_EQ(Bytes(reply.begin() + 2 + 20, reply.begin() + 2 + 22), Hex("05 f4"));
  sim.receive(kAck, 0);

  // A damaged request is NAKed and not served; the repeated request is.
  Bytes damaged = SnpRead(1, kR, 0, 2);
  damaged[25] ^= 0x10;
  sim.receive(damaged, 0);
  EXPECT_EQ(Drain(sim), Hex("15 00"));
  EXPECT_EQ(sim.counters().naks, 1);

  // The master NAKs the reply: the same reply comes again, twice; a third NAK ends the session.
  sim.receive(SnpRead(1, kR, 0, 2), 0);
  const std::vector<Bytes> answer = sim.takeOutput(0);
  ASSERT_EQ(answer.size(), 2u);
  for (int retry = 0; retry < 2; ++retry) {
    sim.receive(Hex("15 00"), 0);
    EXPECT_EQ(Drain(sim), answer[1]);
  }
  sim.receive(Hex("15 00"), 0);
  EXPECT_FALSE(sim.hasPendingOutput());
  EXPECT_FALSE(sim.sessionOpen());
  sim.receive(SnpRead(2, kR, 0, 2), 0);
  EXPECT_FALSE(sim.hasPendingOutput());  // no session, no answer

  // A mailbox while the PLC waits for an ACK breaks the exchange: NAK 02, session over.
  Simulator eager = AttachedSnp();
  eager.receive(SnpRead(1, kR, 0, 2), 0);
  Drain(eager);
  eager.receive(SnpRead(2, kR, 0, 2), 0);
  EXPECT_EQ(Drain(eager), Hex("15 02"));
  EXPECT_EQ(eager.counters().sequenceErrors, 1);
  EXPECT_FALSE(eager.sessionOpen());

  // Privilege level 0 may not read memory.
  Simulator locked = AttachedSnp();
  locked.setPrivilegeLevel(0);
  locked.receive(SnpRead(3, kR, 0, 1), 0);
  reply = Drain(locked);
  EXPECT_EQ(Bytes(reply.begin() + 2 + 9, reply.begin() + 2 + 11), Hex("d1 10"));  // type, source
  EXPECT_EQ(reply[2 + 20], 0x02);
}

TEST(PlcSimSnp, BreakEndsTheSessionAndMayBeRequired) {
  Simulator sim = AttachedSnp("PLC1");
  sim.lineBreak(5);
  EXPECT_FALSE(sim.sessionOpen());
  sim.receive(SnpRead(1, kR, 0, 1), 10);
  EXPECT_FALSE(sim.hasPendingOutput());

  sim.setBreakRequired(true);
  sim.receive(SnpAttach("PLC1", 10), 20);  // the break came before: accepted
  EXPECT_EQ(Drain(sim, 20).size(), 24u);
  sim.receive(SnpAttach("PLC1", 10), 30);  // no break before this one
  EXPECT_FALSE(sim.hasPendingOutput());
  sim.lineBreak(40);
  sim.receive(SnpAttach("PLC1", 10), 100);
  EXPECT_EQ(Drain(sim, 100).size(), 24u);

  // A break in the middle of a frame drops the partial frame.
  sim.receive(Bytes(kInquiry.begin(), kInquiry.begin() + 10), 110);
  sim.lineBreak(111);
  sim.receive(SnpAttach("PLC1", 10), 112);
  EXPECT_EQ(Drain(sim, 112).size(), 24u);
}

TEST(PlcSimSnp, ParameterSelectSetsTheDataSizeAndInquiryIsEchoed) {
  Simulator sim = AttachedSnp();
  sim.setSnpDataSize(500);
  sim.receive(kParameterSelect, 0);
  const Bytes reply = Drain(sim);
  ASSERT_EQ(reply.size(), 42u);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 2), kAck);
  const Bytes expected =
      WithBcc(Hex("1b 4d 00 00 00 00 00 00 03 d4 10 3e 00 00 10 3a 00 00 01 01 00 00 88 13 a8 61 f4 01 01 00 "
                  "00 00 00 00 17 00 "
                  "00 00 00"));
  EXPECT_EQ(Bytes(reply.begin() + 2, reply.end()), expected);
  sim.receive(kAck, 0);
  sim.receive(SnpRead(9, kR, 0, 600), 0);
  Drain(sim);
  sim.receive(kAck, 0);
  EXPECT_EQ(Drain(sim).size(), 508u);

  Simulator echo = AttachedSnp();
  echo.receive(kInquiry, 0);
  EXPECT_EQ(Drain(echo), kInquiry);
}

TEST(PlcSimSnpX, AttachAndReadMatchThePublishedFrames) {
  Simulator sim(Mode::SnpX, "ABCDEF");
  sim.receive(kXAttachABCDEF, 0);
  EXPECT_EQ(Drain(sim), kXAttachResponseABCDEF);
  for (uint16_t i = 0; i < 4; ++i) sim.setWord(kR, i, static_cast<uint16_t>(0x3231 + i * 0x0202));
  sim.receive(kXReadR1ToR4, 0);
  EXPECT_EQ(Drain(sim), kXResponseR1ToR4);
  EXPECT_EQ(sim.log().back(), "x-read R 0 len 4");

  // Null ID reads %I2: one data byte with the bit at its place.
  sim.setBit(kI, 1, true);
  sim.setBit(kI, 2, true);  // %I3 was not asked for
  sim.setPlcStatusWord(0x1234);
  sim.receive(kXReadI2NullId, 0);
  EXPECT_EQ(Drain(sim), WithBcc(Hex("1B 58 81 34 12 00 00 01 00 02 17 00 00 00 00")));

  // The largest read: 1000 bytes in one response.
  sim.receive(XRead("ABCDEF", kR, 0, 500), 0);
  const Bytes big = Drain(sim);
  ASSERT_EQ(big.size(), 1015u);
  EXPECT_EQ(Bytes(big.begin() + 7, big.begin() + 9), Hex("e8 03"));
  EXPECT_EQ(Bytes(big.begin() + 9, big.end() - 6), sim.readBytes(kR, 0, 500));
  EXPECT_EQ(sim.counters().completeReads, 3);
}

TEST(PlcSimSnpX, RefusalsAreErrorResponsesAndDamageIsSilence) {
  Simulator sim(Mode::SnpX, "ABCDEF");
  auto errorResponse = [](uint8_t minor) {
    return WithBcc(
        Bytes{0x1B, 0x58, 0x81, 0x00, 0x00, 0x0F, minor, 0x00, 0x00, 0x17, 0x00, 0x00, 0x00, 0x00});
  };
  sim.setPlcStatusWord(0x5555);  // error responses carry a zero status word
  sim.receive(kXReadR1ToR4, 0);
  EXPECT_EQ(Drain(sim), errorResponse(0x01));  // no session yet

  sim.receive(kXAttachBroadcast, 0);  // opens the session, never answered
  EXPECT_FALSE(sim.hasPendingOutput());
  EXPECT_TRUE(sim.sessionOpen());
  sim.receive(XRequest(Bytes(8, 0xFF), 0x01, kR, 0, 1), 0);
  EXPECT_FALSE(sim.hasPendingOutput());

  sim.receive(XRead("ABCDEF", 0x80, 0, 1), 0);
  EXPECT_EQ(Drain(sim), errorResponse(0x03));
  sim.receive(XRead("ABCDEF", kR, static_cast<uint16_t>(sim.tableSize(kR) - 1), 2), 0);
  EXPECT_EQ(Drain(sim), errorResponse(0x04));
  sim.receive(XRead("ABCDEF", kR, 0, 0), 0);
  EXPECT_EQ(Drain(sim), errorResponse(0x05));
  sim.receive(XRead("ABCDEF", kR, 0, 501), 0);
  EXPECT_EQ(Drain(sim), errorResponse(0x08));
  EXPECT_EQ(sim.counters().completeReads, 0);

  Bytes damaged = kXReadR1ToR4;
  damaged[14] = 0x05;
  sim.receive(damaged, 0);
  sim.receive(XRead("OTHER", kR, 0, 1), 0);
  sim.receive(SnpAttach("ABCDEF", 10), 0);  // SNP frames mean nothing in an SNP-X session
  EXPECT_FALSE(sim.hasPendingOutput());

  sim.lineBreak(0);
  EXPECT_FALSE(sim.sessionOpen());
  sim.receive(kXReadR1ToR4, 0);
  EXPECT_EQ(Drain(sim), errorResponse(0x01));
}

TEST(PlcSimCcm, MasterSlaveReadOfThePublishedHeader) {
  Simulator sim(Mode::CcmMasterSlave, "PLC1", 1);
  // Register values that look like control characters go through as they are.
  const Bytes data = Hex("02 03 17 1B 06 15 04 05 01 00 FF 4E 10 11 12 13 14 15 16 17");
  SetWords(sim, 985, data);
  EXPECT_EQ(sim.ccmReadBytes(1, 986, 20), data);

  sim.receive(Hex("4E 21 05"), 0);
  EXPECT_EQ(Drain(sim), Hex("4E 21 06"));
  sim.receive(kCcmHeaderR986, 0);
  const std::vector<Bytes> answer = sim.takeOutput(0);
  ASSERT_EQ(answer.size(), 2u);
  EXPECT_EQ(answer[0], Hex("06"));
  EXPECT_EQ(answer[1], CcmBlock(data, true));
  EXPECT_EQ(sim.counters().completeReads, 1);
  sim.receive(Hex("06"), 0);
  EXPECT_EQ(Drain(sim), Hex("04"));
  sim.receive(Hex("04"), 0);
  EXPECT_FALSE(sim.hasPendingOutput());

  // The next transaction, with the LRC over the data bytes only.
  sim.setCcmLrcIncludesFraming(false);
  sim.receive(Concat(Hex("4E 21 05"), kCcmHeaderR986), 0);
  EXPECT_EQ(Drain(sim), Concat(Hex("4E 21 06 06"), CcmBlock(data, true, false)));
  EXPECT_NE(CcmBlock(data, true, false), CcmBlock(data, true));
  sim.receive(Hex("06"), 0);
  Drain(sim);

  // A master that skips its EOT is noted, and its next enquiry is still served.
  sim.receive(Hex("4E 21 05"), 0);
  EXPECT_EQ(Drain(sim), Hex("4E 21 06"));
  EXPECT_EQ(sim.counters().sequenceErrors, 1);
}

TEST(PlcSimCcm, MultiBlockReadsWaitForEachAck) {
  Simulator sim(Mode::CcmMasterSlave, "PLC1", 2);
  for (uint32_t i = 0; i < 200; ++i) sim.setWord(kR, i, static_cast<uint16_t>(i * 0x0301 + 0x1702));
  const Bytes all = sim.ccmReadBytes(1, 1, 300);
  sim.receive(Concat(Hex("4E 22 05"), CcmHeader(2, 1, 1, 300, 1)), 0);
  EXPECT_EQ(Drain(sim), Concat(Hex("4E 22 06 06"), CcmBlock(Bytes(all.begin(), all.begin() + 256), false)));
  EXPECT_EQ(sim.counters().completeReads, 0);
  EXPECT_FALSE(sim.hasPendingOutput());
  const Bytes second = CcmBlock(Bytes(all.begin() + 256, all.end()), true);
  sim.receive(Hex("06"), 0);
  EXPECT_EQ(Drain(sim), second);
  sim.receive(Hex("15"), 0);  // the master NAKs: the block comes again
  EXPECT_EQ(Drain(sim), second);
  sim.receive(Hex("06"), 0);
  EXPECT_EQ(Drain(sim), Hex("04"));
  sim.receive(Hex("04"), 0);
  EXPECT_EQ(sim.counters().completeReads, 1);

  // Exactly 256 bytes: one block, and it is the last.
  sim.receive(Concat(Hex("4E 22 05"), CcmHeader(2, 1, 1, 256, 1)), 0);
  EXPECT_EQ(Drain(sim), Concat(Hex("4E 22 06 06"), CcmBlock(Bytes(all.begin(), all.begin() + 256), true)));
  sim.receive(Hex("06"), 0);
  sim.receive(Hex("04"), 0);
  EXPECT_EQ(Drain(sim), Hex("04"));
}

TEST(PlcSimCcm, PeerToPeerAndTheOtherMemoryTypes) {
  Simulator sim(Mode::CcmPeerToPeer, "PLC7", 2);
  for (uint32_t i = 8; i < 16; i += 2) sim.setBit(kI, i, true);  // %I9..%I16 = 55h
  sim.receive(Hex("05"), 0);
  EXPECT_EQ(Drain(sim), Hex("06"));
  sim.receive(CcmHeader(2, 2, 9, 1, 1), 0);
  EXPECT_EQ(Drain(sim), Concat(Hex("06"), CcmBlock(Hex("55"), true)));
  sim.receive(Hex("06"), 0);
  EXPECT_EQ(Drain(sim), Hex("04"));

  // Any peer answers target FFh; the scratch pad tells the PLC's CCM ID and SNP ID.
  sim.setCcmPeerSendsEot(false);
  sim.receive(Concat(Hex("05"), CcmHeader(0xFF, 6, 0x16, 1, 1)), 0);
  EXPECT_EQ(Drain(sim), Concat(Hex("06 06"), CcmBlock(Hex("02"), true)));
  sim.receive(Hex("06"), 0);
  EXPECT_FALSE(sim.hasPendingOutput());  // no EOT when the peer is told not to send one
  EXPECT_EQ(sim.ccmReadBytes(6, 4, 4), Bytes({'P', 'L', 'C', '7'}));

  sim.setStatusWord(3, 0xBEEF);
  sim.setBit(kQ, 0, true);
  EXPECT_EQ(sim.ccmReadBytes(9, 3, 2), Hex("EF BE"));
  EXPECT_EQ(sim.ccmReadBytes(3, 1, 1), Hex("01"));
  sim.setScratchPad(0x40, 0x99);
  EXPECT_EQ(sim.ccmReadBytes(6, 0x40, 1), Hex("99"));
}

TEST(PlcSimCcm, HeaderProblemsAreNakedOrIgnored) {
  Simulator sim(Mode::CcmMasterSlave, "PLC1", 2);
  sim.receive(Hex("4E 23 05"), 0);  // another target
  EXPECT_FALSE(sim.hasPendingOutput());
  sim.receive(Hex("4E 22 05"), 0);
  EXPECT_EQ(Drain(sim), Hex("4E 22 06"));

  Bytes badLrc = CcmHeader(2, 1, 1, 2, 1);
  badLrc.back() ^= 0x40;
  sim.receive(badLrc, 0);
  EXPECT_EQ(Drain(sim), Hex("15"));
  sim.receive(CcmHeader(2, 1, 1, 2, 1), 0);  // the repeated header is served
  EXPECT_EQ(Drain(sim).size(), 1u + 5u);
  sim.receive(Hex("04"), 0);  // the master aborts
  EXPECT_EQ(sim.counters().completeReads, 1);

  const Bytes refused[] = {CcmHeader(2, 2, 2, 1, 1),     // points start on a byte boundary
                           CcmHeader(2, 0x81, 1, 2, 1),  // writes are not served
                           CcmHeader(2, 7, 1, 2, 1),     // no such memory type
                           CcmHeader(2, 1, 1, 0, 1),     // nothing to read
                           CcmHeader(2, 9, 20, 4, 1)};   // past the 20 status words
  for (const Bytes& header : refused) {
    sim.receive(Concat(Hex("4E 22 05"), header), 0);
    EXPECT_EQ(Drain(sim), Hex("4E 22 06 15"));
    sim.receive(Hex("04"), 0);
  }
  sim.receive(Concat(Hex("4E 22 05"), CcmHeader(3, 1, 1, 2, 1)), 0);  // header for another PLC
  EXPECT_EQ(Drain(sim), Hex("4E 22 06"));
  EXPECT_EQ(sim.counters().ignored, 2);
}

TEST(PlcSimMemory, ReadBytesFollowsTheWireLayout) {
  Simulator sim(Mode::Snp);
  sim.setWord(kAI, 3, 0xA1B2);
  EXPECT_EQ(sim.word(kAI, 3), 0xA1B2);
  EXPECT_EQ(sim.readBytes(kAI, 3, 1), Hex("B2 A1"));
  for (uint32_t i = 0; i < 24; ++i) sim.setBit(kQ, i, true);
  EXPECT_EQ(sim.readBytes(kQ, 3, 2), Hex("18"));       // %Q4, %Q5 in their byte
  EXPECT_EQ(sim.readBytes(kQ, 6, 4), Hex("C0 03"));    // across a byte boundary
  EXPECT_EQ(sim.readBytes(0x12, 1, 2), Hex("FF FF"));  // byte access to %Q
  sim.setBit(kQ, 9, false);
  EXPECT_FALSE(sim.bit(kQ, 9));
  EXPECT_EQ(sim.readBytes(kQ, 8, 8), Hex("FD"));

  EXPECT_THROW(sim.setWord(kM, 0, 1), std::invalid_argument);
  EXPECT_THROW(sim.setBit(kR, 0, true), std::invalid_argument);
  EXPECT_THROW(sim.setWord(kR, sim.tableSize(kR), 1), std::out_of_range);
  EXPECT_THROW(sim.readBytes(0x80, 0, 1), std::invalid_argument);
  EXPECT_THROW(sim.readBytes(kR, 0, 0), std::invalid_argument);
  EXPECT_THROW(sim.readBytes(kM, sim.tableSize(kM) - 1, 2), std::out_of_range);
  EXPECT_THROW(sim.setStatusWord(21, 0), std::out_of_range);
  EXPECT_THROW(sim.setScratchPad(256, 0), std::out_of_range);
  EXPECT_THROW(sim.ccmReadBytes(2, 3, 1), std::invalid_argument);

  EXPECT_THROW(Simulator(Mode::Snp, "TOOLONG8"), std::invalid_argument);
  EXPECT_THROW(Simulator(Mode::CcmMasterSlave, "PLC1", 91), std::invalid_argument);
  EXPECT_THROW(Simulator(Mode::CcmPeerToPeer, "PLC1", 0), std::invalid_argument);
  EXPECT_THROW(Simulator(static_cast<Mode>(4)), std::invalid_argument);
  EXPECT_THROW(sim.setSnpDataSize(0), std::invalid_argument);
}

}  // namespace
}  // namespace kelda::plcsim
