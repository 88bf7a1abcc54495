// The simulator's impolite PLCs on the wire: an SNP text-buffer chain that never ends, a repeated
// text buffer, steady line noise, SNP error nacks, an SNP-X answer with a byte too many, padded
// CCM blocks and long SNP text buffers.
#include "tools/plcsim/PlcSim.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/tools/PlcSimTestKit.h"
#include "tools/trace/FrameDecoder.h"

namespace kelda::plcsim {
namespace {

using namespace testkit;

const Bytes kAck = Hex("06 00");
const Bytes kEnquiry2 = {0x4E, 0x22, 0x05};

// A Text Buffer as the master must see it: ESC 'T', the data, ETB, the next message's type and
// whole length (0 for none), status 00, BCC.
Bytes TextBufferFrame(const Bytes& data, uint16_t nextLength) {
  Bytes f = Concat({0x1B, 0x54}, data);
  f.insert(f.end(), {0x17, static_cast<uint8_t>(nextLength ? 0x54 : 0x00), static_cast<uint8_t>(nextLength),
                     static_cast<uint8_t>(nextLength >> 8), 0x00});
  return WithBcc(f);
}

// The X-Response to an X-Read with PLC status 0: its length field counts every data byte.
Bytes XReadAnswer(const Bytes& data) {
  Bytes f = {0x1B,
             0x58,
             0x81,
             0x00,
             0x00,
             0x00,
             0x00,
             static_cast<uint8_t>(data.size()),
             static_cast<uint8_t>(data.size() >> 8)};
  f.insert(f.end(), data.begin(), data.end());
  f.insert(f.end(), {0x17, 0x00, 0x00, 0x00, 0x00});
  return WithBcc(f);
}

Simulator SnpSession() {
  Simulator sim(Mode::Snp, "PLC1");
  sim.receive(SnpAttach("PLC1", 10), 0);
  EXPECT_EQ(Drain(sim).size(), 24u);
  return sim;
}

Simulator SnpxSession() {
  Simulator sim(Mode::SnpX, "PLC1");
  sim.receive(XAttach("PLC1"), 0);
  EXPECT_EQ(Drain(sim).size(), 24u);
  return sim;
}

void FillRegisters(Simulator& sim, uint32_t count) {
  // Values holding ESC, ETB and ACK bytes, which travel as they are.
  for (uint32_t i = 0; i < count; ++i) sim.setWord(kR, i, static_cast<uint16_t>(0x1B06 + 0x0117 * i));
}

TEST(PlcSimWireFaults, EndlessTextBufferChainNeverEndsNorCompletes) {
  Simulator sim = SnpSession();
  FillRegisters(sim, 10);
  sim.setSnpDataSize(8);
  sim.faults().endlessChain = 1;

  // A read of up to 6 bytes has no chain: the fault waits for one that has.
  sim.receive(SnpRead(1, kR, 0, 2), 0);
  EXPECT_EQ(Drain(sim).size(), 42u);
  sim.receive(kAck, 0);
  EXPECT_EQ(sim.faults().endlessChain, 1);

  // 12 bytes: the 94h reply tells the true total and announces a buffer of 8 data bytes.
  const Bytes data = sim.readBytes(kR, 0, 6);
  sim.receive(SnpRead(2, kR, 0, 6), 0);
  const std::vector<Bytes> reply = sim.takeOutput(0);
  ASSERT_EQ(reply.size(), 2u);
  EXPECT_EQ(reply[0], kAck);
  ASSERT_EQ(reply[1].size(), 40u);
  EXPECT_EQ(reply[1][9], 0x94);
  EXPECT_EQ(Bytes(reply[1].begin() + 20, reply[1].begin() + 22), Hex("0C 00"));
  EXPECT_EQ(Bytes(reply[1].begin() + 35, reply[1].begin() + 38), Hex("54 10 00"));

  // The read's own buffers, the second announcing a full one, then full ones of the data over
  // again, each after the master's ACK, for ever.
  sim.receive(kAck, 0);
  EXPECT_EQ(Drain(sim), TextBufferFrame(Bytes(data.begin(), data.begin() + 8), 12));
  sim.receive(kAck, 0);
  EXPECT_EQ(Drain(sim), TextBufferFrame(Bytes(data.begin() + 8, data.end()), 16));
  const Bytes cycle = Concat(data, data);
  Bytes expected;
  const int validBefore = sim.counters().validAnswers;
  for (size_t i = 0, at = 0; i < 200; ++i, at = (at + 8) % data.size()) {
    EXPECT_FALSE(sim.hasPendingOutput());
    sim.receive(kAck, 0);
    expected = TextBufferFrame(Bytes(cycle.begin() + at, cycle.begin() + at + 8), 16);
    ASSERT_EQ(Drain(sim), expected) << "buffer " << i;
  }
  EXPECT_EQ(sim.counters().validAnswers, validBefore + 200);
  EXPECT_EQ(sim.counters().completeReads, 1) << "only the short read completed";
  EXPECT_TRUE(sim.sessionOpen());

  // A master NAK gets the same buffer again; a master that gives up with a sequence NAK ends it.
  sim.receive(Hex("15 00"), 0);
  EXPECT_EQ(Drain(sim), expected);
  sim.receive(Hex("15 02"), 0);
  EXPECT_FALSE(sim.sessionOpen());

  // The fault was for one read: the next session's read ends as it should.
  sim.receive(SnpAttach("PLC1", 10), 0);
  Drain(sim);
  sim.receive(SnpRead(3, kR, 0, 6), 0);
  Drain(sim);
  sim.receive(kAck, 0);
  Drain(sim);
  sim.receive(kAck, 0);
  EXPECT_EQ(Drain(sim), TextBufferFrame(Bytes(data.begin() + 8, data.end()), 0));
  EXPECT_EQ(sim.counters().completeReads, 2);
}

TEST(PlcSimWireFaults, RepeatedTextBufferComesBeforeTheRealSecondOne) {
  // 1000 registers are 2000 bytes: two full buffers of 1000 at the default data size.
  Simulator sim = SnpSession();
  FillRegisters(sim, 1000);
  sim.faults().repeatFrame = 1;
  sim.receive(SnpRead(1, kR, 0, 1000), 0);
  const std::vector<Bytes> reply = sim.takeOutput(0);
  ASSERT_EQ(reply.size(), 2u) << "the 94h reply is no data frame: sent once";
  EXPECT_EQ(Bytes(reply[1].begin() + 20, reply[1].begin() + 22), Hex("D0 07"));
  EXPECT_EQ(Bytes(reply[1].begin() + 35, reply[1].begin() + 38), Hex("54 F0 03"));

  const Bytes first = TextBufferFrame(sim.readBytes(kR, 0, 500), 1008);
  const Bytes second = TextBufferFrame(sim.readBytes(kR, 500, 500), 0);
  sim.receive(kAck, 0);
  const std::vector<Bytes> twice = sim.takeOutput(0);
  ASSERT_EQ(twice.size(), 2u);
  EXPECT_EQ(twice[0], first);
  EXPECT_EQ(twice[1], first) << "an exact copy, still announcing the next buffer";
  sim.receive(kAck, 0);
  EXPECT_EQ(Drain(sim), second) << "then the real second one, sent once";
  EXPECT_EQ(sim.counters().repeated, 1);
  EXPECT_EQ(sim.counters().completeReads, 1);

  // A master that ACKs the copy as well hands the turn back; the next read goes as usual.
  sim.receive(kAck, 0);
  EXPECT_FALSE(sim.hasPendingOutput());
  sim.receive(SnpRead(2, kR, 0, 1), 0);
  EXPECT_EQ(sim.takeOutput(0).size(), 2u);
  EXPECT_EQ(sim.counters().sequenceErrors, 0);
}

// The first frame, by the wire trace's own reading, in `bytes` from the PLC that a master could
// take for an answer: one whose check holds, or a control answer; empty when there is none.
std::string AnswerIn(trace::TProtocol protocol, const Bytes& bytes) {
  trace::TFrameDecoder decoder(protocol);
  std::vector<trace::TFrame> frames;
  decoder.Feed(trace::TDirection::FromPlc, std::string(bytes.begin(), bytes.end()), 0, frames);
  decoder.EndFrames(frames);
  for (const trace::TFrame& frame : frames)
    for (const char* answer : {"BCC ok", "LRC ok", "ACK", "NAK", "EOT"})
      if (frame.Meaning.find(answer) != std::string::npos) return frame.Meaning;
  return "";
}

TEST(PlcSimWireFaults, SteadyNoiseFollowsTheClockBetweenAnswers) {
  Simulator sim = SnpxSession();
  sim.setWord(kR, 0, 0x1234);
  sim.faults().noiseEveryMs = 10;
  EXPECT_TRUE(sim.takeOutput(100).empty()) << "the clock starts now";
  const std::vector<Bytes> idle = sim.takeOutput(135);
  ASSERT_EQ(idle.size(), 1u);
  EXPECT_EQ(idle[0].size(), 3u) << "at 110, 120 and 130";
  for (uint8_t b : idle[0]) EXPECT_TRUE(b >= 0x20 && b != 'N' && b != 'Q') << int(b);

  // An answer due at 145 goes between the noise of 140 and of 150, whole.
  sim.receive(XRead("PLC1", kR, 0, 1), 145);
  EXPECT_TRUE(sim.hasPendingOutput());
  const std::vector<Bytes> mixed = sim.takeOutput(165);
  ASSERT_EQ(mixed.size(), 3u);
  EXPECT_EQ(mixed[0].size(), 1u);
  EXPECT_EQ(mixed[1], XReadAnswer(Hex("34 12")));
  EXPECT_EQ(mixed[2].size(), 2u);
  EXPECT_FALSE(sim.hasPendingOutput()) << "noise is no answer that waits";
  EXPECT_EQ(sim.counters().noiseBytes, 6);
  EXPECT_EQ(sim.counters().completeReads, 1);

  // A caller that stayed away long gets the latest noise only; switched off, the line is quiet.
  EXPECT_EQ(Join(sim.takeOutput(165 + 10 * 100000)).size(), Simulator::kSteadyNoiseBurst);
  sim.faults().noiseEveryMs = 0;
  EXPECT_TRUE(sim.takeOutput(5000000).empty());
  sim.faults().noiseEveryMs = -1;
  EXPECT_THROW(sim.takeOutput(5000001), std::invalid_argument);

  // Noise of any byte value, long runs of it, never holds a frame a master could take, by the
  // wire trace's own reading of each protocol.
  const struct {
    Mode mode;
    trace::TProtocol protocol;
  } kModes[] = {{Mode::CcmMasterSlave, trace::TProtocol::CcmMasterSlave},
                {Mode::CcmPeerToPeer, trace::TProtocol::CcmPeerToPeer},
                {Mode::Snp, trace::TProtocol::Snp},
                {Mode::SnpX, trace::TProtocol::SnpX}};
  for (const auto& m : kModes) {
    Simulator any(m.mode, "PLC1", 2);
    Faults f;
    f.noiseEveryMs = 1;
    f.noiseSafe = false;
    f.seed = 99;
    any.setFaults(f);
    any.takeOutput(0);
    const Bytes noise = Join(any.takeOutput(Simulator::kSteadyNoiseBurst));
    ASSERT_EQ(noise.size(), Simulator::kSteadyNoiseBurst);
    EXPECT_EQ(AnswerIn(m.protocol, noise), "") << "mode " << int(m.mode);
  }
}

// Every frame either side sent in an SNP attach and two reads, in order, noise runs left out.
std::vector<std::string> SnpExchange(const Faults& faults) {
  Simulator sim(Mode::Snp, "PLC1");
  FillRegisters(sim, 20);
  sim.setSnpDataSize(16);
  sim.setFaults(faults);
  trace::TFrameDecoder decoder(trace::TProtocol::Snp);
  std::vector<trace::TFrame> frames;
  uint64_t now = 0;
  const auto send = [&](const Bytes& bytes) {
    decoder.Feed(trace::TDirection::ToPlc, std::string(bytes.begin(), bytes.end()), now, frames);
    sim.receive(bytes, now);
    now += 23;
    for (const Bytes& chunk : sim.takeOutput(now))
      decoder.Feed(trace::TDirection::FromPlc, std::string(chunk.begin(), chunk.end()), now, frames);
  };
  send(SnpAttach("PLC1", 10));
  for (uint8_t sequence : {1, 2}) {
    send(SnpRead(sequence, kR, 0, 20));
    for (int i = 0; i < 4; ++i) send(kAck);
  }
  decoder.EndFrames(frames);
  std::vector<std::string> meanings;
  for (const trace::TFrame& frame : frames)
    if (frame.Meaning.rfind("unrecognised bytes", 0) != 0) meanings.push_back(frame.Meaning);
  return meanings;
}

TEST(PlcSimWireFaults, SteadyNoiseLeavesEveryAnswerIntact) {
  Faults noisy;
  noisy.noiseEveryMs = 3;
  const std::vector<std::string> quiet = SnpExchange(Faults{});
  ASSERT_EQ(quiet.size(), 22u);
  EXPECT_EQ(SnpExchange(noisy), quiet);
  noisy.noiseSafe = false;
  EXPECT_EQ(SnpExchange(noisy), quiet);
}

TEST(PlcSimWireFaults, ErrorNackRefusesReadsAfterTheAck) {
  Simulator sim = SnpSession();
  FillRegisters(sim, 4);
  sim.faults().errorNack = 2;

  // Parameter Select is no read: it is answered as ever and leaves the fault alone.
  sim.receive(Hex("1b 4d 00 00 00 00 00 00 03 c0 10 3a 00 00 10 3e 00 00 01 01 00 00 88 13 a8 61 e8 03 01 00 "
                  "00 00 00 00 17 00 00 00 00 29"),
              0);
  EXPECT_EQ(Drain(sim)[11], 0xD4);
  sim.receive(kAck, 0);
  EXPECT_EQ(sim.faults().errorNack, 2);

  // The request is ACKed, then refused: D1 from the service request task, bytes 21-22 the major
  // and minor status, the rest zero, no text buffer announced.
  const Bytes nack =
      WithBcc(Hex("1b 4d 00 00 00 00 00 00 07 d1 10 0a 00 00 10 3a 00 00 01 01 05 f4 00 00 00 00 00 00 00 00 "
                  "00 00 00 00 17 00 00 00 00"));
  for (int i = 0; i < 2; ++i) {
    sim.receive(SnpRead(7, kR, 0, 4), 0);
    const std::vector<Bytes> answer = sim.takeOutput(0);
    ASSERT_EQ(answer.size(), 2u);
    EXPECT_EQ(answer[0], kAck);
    EXPECT_EQ(answer[1], nack);
    sim.receive(kAck, 0);
    EXPECT_FALSE(sim.hasPendingOutput());
  }
  sim.receive(SnpRead(8, kR, 0, 2), 0);
  const std::vector<Bytes> data = sim.takeOutput(0);
  ASSERT_EQ(data.size(), 2u);
  EXPECT_EQ(data[1][9], 0xD4);
  EXPECT_EQ(sim.counters().errorNacks, 2);
  EXPECT_EQ(sim.counters().naks, 0) << "a D1 is an answer, not a NAK";
  EXPECT_EQ(sim.counters().completeReads, 1);

  // Codes of one's own choosing, e.g. "privilege level 1 needed"; a lost D1 is sent again.
  sim.receive(kAck, 0);
  sim.faults().errorNack = 1;
  sim.faults().errorNackMajor = 0x02;
  sim.faults().errorNackMinor = 0x01;
  sim.receive(SnpRead(9, kR, 0, 4), 0);
  const Bytes privilege = Drain(sim);
  ASSERT_EQ(privilege.size(), 42u);
  EXPECT_EQ(Bytes(privilege.begin() + 2 + 20, privilege.begin() + 2 + 22), Hex("02 01"));
  sim.receive(Hex("15 00"), 0);
  EXPECT_EQ(Drain(sim), Bytes(privilege.begin() + 2, privilege.end()));

  // Major 00 is success, not a refusal.
  Faults zero;
  zero.errorNackMajor = 0;
  EXPECT_THROW(sim.setFaults(zero), std::invalid_argument);
}

TEST(PlcSimWireFaults, ExtraByteIsCountedInTheXResponseLength) {
  Simulator sim = SnpxSession();
  FillRegisters(sim, 6);
  for (uint32_t bit : {96u, 99u, 108u, 113u, 114u}) sim.setBit(kM, bit, true);
  sim.faults().extraByte = -1;

  // Words: 2n + 1 bytes, the last the low byte of the next register.
  const Bytes words = sim.readBytes(kR, 0, 4);
  sim.receive(XRead("PLC1", kR, 0, 4), 0);
  EXPECT_EQ(Drain(sim), XReadAnswer(Concat(words, {static_cast<uint8_t>(sim.word(kR, 4) & 0xFF)})));

  // Bytes: n + 1.
  sim.receive(XRead("PLC1", 0x16, 12, 2), 0);  // %M97..%M112 as bytes
  EXPECT_EQ(Drain(sim), XReadAnswer(Hex("09 10 06")));

  // Bits %M99..%M109: the two bytes holding them, unasked bits zero, and the whole next byte.
  sim.receive(XRead("PLC1", kM, 98, 11), 0);
  EXPECT_EQ(Drain(sim), XReadAnswer(Hex("08 10 06")));

  // Past the table's end the extra byte is zero.
  const uint32_t last = sim.tableSize(kR) - 1;
  sim.setWord(kR, last, 0xBEEF);
  sim.receive(XRead("PLC1", kR, static_cast<uint16_t>(last), 1), 0);
  EXPECT_EQ(Drain(sim), XReadAnswer(Hex("EF BE 00")));

  // A 1000-byte read goes out with 1001; errors stay as they are.
  sim.receive(XRead("PLC1", kR, 0, 500), 0);
  const Bytes longest = Drain(sim);
  ASSERT_EQ(longest.size(), 15u + 1001u);
  EXPECT_EQ(Bytes(longest.begin() + 7, longest.begin() + 9), Hex("E9 03"));
  EXPECT_EQ(longest.back(), snpBcc(longest.data(), longest.size() - 1));
  sim.receive(XRead("PLC1", 0x99, 0, 1), 0);
  EXPECT_EQ(Drain(sim).size(), 15u);
  EXPECT_EQ(sim.counters().overlong, 5);
  EXPECT_EQ(sim.counters().completeReads, 5);

  // A count spoils that many reads only.
  Simulator once = SnpxSession();
  once.faults().extraByte = 1;
  once.receive(XRead("PLC1", kR, 0, 1), 0);
  EXPECT_EQ(Drain(once).size(), 15u + 3u);
  once.receive(XRead("PLC1", kR, 0, 1), 0);
  EXPECT_EQ(Drain(once).size(), 15u + 2u);
}

TEST(PlcSimWireFaults, CcmPadFillsAnOddLastBlockToWholeRegisters) {
  for (bool framed : {true, false}) {
    SCOPED_TRACE(framed ? "LRC over STX..ETX" : "LRC over the data bytes only");
    Simulator sim(Mode::CcmMasterSlave, "PLC1", 2);
    FillRegisters(sim, 200);
    sim.setCcmLrcIncludesFraming(framed);
    sim.faults().ccmPad = -1;

    // 3 bytes: the block carries 4, the pad 00 before ETX and under the LRC.
    sim.receive(Concat(kEnquiry2, CcmHeader(2, 1, 1, 3, 1)), 0);
    const std::vector<Bytes> answer = sim.takeOutput(0);
    ASSERT_EQ(answer.size(), 3u);
    const Bytes three = sim.ccmReadBytes(1, 1, 3);
    Bytes block = Concat({0x02}, three);
    block.insert(block.end(), {0x00, 0x03});
    block.push_back(framed ? ccmLrc(block.data(), block.size()) : ccmLrc(block.data() + 1, 4));
    EXPECT_EQ(answer[2], block);
    EXPECT_EQ(answer[2], CcmBlock(Concat(three, {0x00}), true, framed));
    sim.receive(Hex("06 04"), 0);
    EXPECT_EQ(Drain(sim), Hex("04"));

    // An even count has nothing to pad.
    sim.receive(Concat(kEnquiry2, CcmHeader(2, 1, 1, 4, 1)), 0);
    EXPECT_EQ(sim.takeOutput(0).back(), CcmBlock(sim.ccmReadBytes(1, 1, 4), true, framed));
    sim.receive(Hex("06 04"), 0);
    Drain(sim);

    // 257 bytes: a full block as ever, then a last block of one byte and the pad.
    sim.receive(Concat(kEnquiry2, CcmHeader(2, 1, 1, 257, 1)), 0);
    const Bytes all = sim.ccmReadBytes(1, 1, 257);
    EXPECT_EQ(sim.takeOutput(0).back(), CcmBlock(Bytes(all.begin(), all.begin() + 256), false, framed));
    sim.receive(Hex("06"), 0);
    EXPECT_EQ(Drain(sim), CcmBlock({all[256], 0x00}, true, framed));
    sim.receive(Hex("06 04"), 0);
    Drain(sim);
    EXPECT_EQ(sim.counters().overlong, 2);
    EXPECT_EQ(sim.counters().completeReads, 3);
  }

  // Peer-to-peer alike; a count pads that many odd reads.
  Simulator peer(Mode::CcmPeerToPeer, "PLC1", 2);
  peer.faults().ccmPad = 1;
  peer.receive(Concat(Hex("05"), CcmHeader(2, 6, 0, 5, 1)), 0);
  EXPECT_EQ(peer.takeOutput(0).back(), CcmBlock(Concat(peer.ccmReadBytes(6, 0, 5), {0x00}), true));
  peer.receive(Hex("06"), 0);
  Drain(peer);
  peer.receive(Concat(Hex("05"), CcmHeader(2, 6, 0, 5, 1)), 0);
  EXPECT_EQ(peer.takeOutput(0).back(), CcmBlock(peer.ccmReadBytes(6, 0, 5), true));
}

TEST(PlcSimWireFaults, LongTextBuffersUpToEightKilobytes) {
  Simulator sim = SnpSession();
  FillRegisters(sim, 4100);
  EXPECT_THROW(sim.setSnpDataSize(8193), std::invalid_argument);
  sim.setSnpDataSize(8192);

  // 8000 bytes in one buffer.
  sim.receive(SnpRead(1, kR, 0, 4000), 0);
  const Bytes reply = Drain(sim);
  EXPECT_EQ(Bytes(reply.begin() + 2 + 20, reply.begin() + 2 + 22), Hex("40 1F"));
  EXPECT_EQ(Bytes(reply.begin() + 2 + 35, reply.begin() + 2 + 38), Hex("54 48 1F"));
  sim.receive(kAck, 0);
  EXPECT_EQ(Drain(sim), TextBufferFrame(sim.readBytes(kR, 0, 4000), 0));
  sim.receive(kAck, 0);

  // 8200 bytes: a full buffer of 8192 announcing the last one of 8.
  sim.receive(SnpRead(2, kR, 0, 4100), 0);
  Drain(sim);
  sim.receive(kAck, 0);
  EXPECT_EQ(Drain(sim), TextBufferFrame(sim.readBytes(kR, 0, 4096), 16));
  sim.receive(kAck, 0);
  EXPECT_EQ(Drain(sim), TextBufferFrame(sim.readBytes(kR, 4096, 4), 0));
  EXPECT_EQ(sim.counters().completeReads, 2);
}

}  // namespace
}  // namespace kelda::plcsim
