// The wire trace: GE's published frames and the simulator's real exchanges decode to their
// meaning, the cut does not depend on how the port split the bytes, no byte is lost, failed
// checks say so, and the file is readable and flushed.
#include "tools/trace/WireTrace.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "tests/tools/PlcSimTestKit.h"
#include "tools/plcsim/PlcSim.h"

namespace kelda::trace {
namespace {

using plcsim::Mode;
using plcsim::Simulator;
using namespace plcsim::testkit;

constexpr TDirection kTo = TDirection::ToPlc, kFrom = TDirection::FromPlc;

std::string Text(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// What went over the line, in order: bytes of either side, or a line break (no bytes).
struct TEvent {
  TDirection Direction;
  std::string Bytes;
  uint64_t Ms;
  bool Break = false;
};

// A master talking to the simulator; every chunk either side hands over is recorded.
class TRecordedLine {
public:
  explicit TRecordedLine(Simulator& sim) : FSim(sim) {}

  void Break() {
    FEvents.push_back({kTo, {}, FNow, true});
    FSim.lineBreak(FNow);
    FNow += 60;
  }
  void Send(const Bytes& bytes) {
    FEvents.push_back({kTo, Text(bytes), FNow});
    FSim.receive(bytes, FNow);
    FNow += 7;
    for (const Bytes& chunk : FSim.takeOutput(FNow)) FEvents.push_back({kFrom, Text(chunk), FNow});
    FNow += 5;
  }
  const std::vector<TEvent>& Events() const { return FEvents; }

private:
  Simulator& FSim;
  std::vector<TEvent> FEvents;
  uint64_t FNow = 0;
};

// Decodes the events with every chunk cut into pieces of `piece` bytes (0: as they came).
std::vector<TFrame> Decode(TProtocol protocol, const std::vector<TEvent>& events, size_t piece = 0) {
  TFrameDecoder decoder(protocol);
  std::vector<TFrame> frames;
  for (const TEvent& event : events) {
    if (event.Break) {
      decoder.LineBreak(frames);
      continue;
    }
    const size_t step = piece ? piece : event.Bytes.size();
    for (size_t at = 0; at < event.Bytes.size(); at += step)
      decoder.Feed(event.Direction, event.Bytes.substr(at, step), event.Ms, frames);
  }
  decoder.EndFrames(frames);
  return frames;
}

std::vector<std::string> Meanings(const std::vector<TFrame>& frames) {
  std::vector<std::string> meanings;
  for (const TFrame& frame : frames) meanings.push_back(frame.Meaning);
  return meanings;
}

// Every byte of one direction, in order, from the frames and from the events.
std::string Carried(const std::vector<TFrame>& frames, TDirection direction) {
  std::string bytes;
  for (const TFrame& frame : frames)
    if (frame.Direction == direction) bytes += frame.Bytes;
  return bytes;
}

std::string Carried(const std::vector<TEvent>& events, TDirection direction) {
  std::string bytes;
  for (const TEvent& event : events)
    if (event.Direction == direction) bytes += event.Bytes;
  return bytes;
}

std::vector<TFrame> DecodeOne(TProtocol protocol, TDirection direction, const Bytes& bytes) {
  return Decode(protocol, {{direction, Text(bytes), 0}});
}

struct TKnownFrame {
  TProtocol Protocol;
  TDirection Direction;
  const char* Hex;
  const char* Meaning;
};

// GE's published example frames.
const TKnownFrame kPublished[] = {
    {TProtocol::Snp, kTo, "1b 41 33 33 31 30 31 41 00 00 30 41 30 30 30 20 20 20 17 00 00 00 38 35",
     "SNP attach, SNP ID \"33101A\", T1 10 ms, BCC ok"},
    {TProtocol::Snp, kFrom, "1b 52 33 33 31 30 31 41 00 00 30 41 30 30 30 20 20 20 17 00 00 00 45 37",
     "SNP attach response, SNP ID \"33101A\", T1 10 ms, BCC ok"},
    {TProtocol::Snp, kTo, "1B 41 00 00 00 00 00 00 00 00 30 41 30 30 30 20 20 20 17 00 00 00 31 41",
     "SNP attach, null SNP ID, T1 10 ms, BCC ok"},
    {TProtocol::Snp, kTo,
     "1b 4d 00 00 00 00 00 00 62 c0 10 3a 00 00 10 0a 00 00 01 01 04 08 02 00 0b 00 00 00 00 00 00 00 00 00 "
     "17 "
     "00 00 00 00 07",
     "SNP mailbox request, seq 62: Read %R3 length 11, BCC ok"},
    {TProtocol::Snp, kTo,
     "1b 4d 00 00 00 00 00 00 02 c0 10 3a 00 00 10 0a 00 00 01 01 04 4c 62 00 0b 00 00 00 00 00 00 00 00 00 "
     "17 "
     "00 00 00 00 E6",
     "SNP mailbox request, seq 02: Read %M99 length 11 bits, BCC ok"},
    {TProtocol::Snp, kFrom,
     "1b 4d 00 00 00 00 00 00 62 94 10 0a 00 00 10 3a 00 00 00 01 16 00 00 00 00 00 01 01 00 01 00 00 4c 20 "
     "17 "
     "54 1e 00 00 9F",
     "SNP mailbox reply, seq 62, 22 data bytes in text buffers, privilege 1, PLC status 204Ch (Stop I/O "
     "disabled, PLC fault table changed, I/O fault table changed, programmer attached), text buffer of 30 "
     "bytes follows, BCC ok"},
    {TProtocol::Snp, kTo,
     "1b 4d 00 00 00 00 00 00 03 c0 10 3a 00 00 10 3e 00 00 01 01 00 00 88 13 a8 61 e8 03 01 00 00 00 00 00 "
     "17 "
     "00 00 00 00 29",
     "SNP parameter select, seq 03, T2 5000 ms, T3' 25000 ms, data size 1000, BCC ok"},
    {TProtocol::Snp, kTo,
     "1b 49 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
     "00 00 00 00 00 17 00 00 00 00 3d",
     "SNP inquiry (keep-alive), BCC ok"},
    {TProtocol::Snp, kFrom, "15 03", "SNP NAK 03 (bad next message length)"},
    {TProtocol::SnpX, kTo, "1B 58 41 42 43 44 45 46 00 00 00 00 00 00 00 00 00 00 17 00 00 00 00 B2",
     "X-Attach, SNP ID \"ABCDEF\", BCC ok"},
    {TProtocol::SnpX, kFrom, "1B 58 41 42 43 44 45 46 00 00 80 00 00 00 00 00 00 00 17 00 00 00 00 A2",
     "X-Attach response, SNP ID \"ABCDEF\", BCC ok"},
    {TProtocol::SnpX, kTo, "1B 58 FF FF FF FF FF FF FF FF 00 00 00 00 00 00 00 00 17 00 00 00 00 79",
     "X-Attach, broadcast SNP ID, BCC ok"},
    {TProtocol::SnpX, kTo, "1B 58 41 42 43 44 45 46 00 00 01 08 00 00 04 00 00 00 17 00 00 00 00 1A",
     "X-Read %R1 length 4, SNP ID \"ABCDEF\", BCC ok"},
    {TProtocol::SnpX, kFrom, "1B 58 81 00 00 00 00 08 00 31 32 33 34 35 36 37 38 17 00 00 00 00 B6",
     "X-Response to X-Read, 8 data bytes, PLC status 0000h (Run I/O enabled), BCC ok"},
    {TProtocol::SnpX, kTo, "1b 58 00 00 00 00 00 00 00 00 01 46 01 00 01 00 00 00 17 00 00 00 00 37",
     "X-Read %I2 length 1 bit, null SNP ID, BCC ok"},
    {TProtocol::SnpX, kTo, "1B 58 00 00 00 00 00 00 00 00 02 48 12 00 01 00 04 00 17 00 00 00 00 2D",
     "X-Write %Q19 length 1 bit, data 04 00, null SNP ID, BCC ok"},
    {TProtocol::SnpX, kTo, "1B 58 00 00 00 00 00 00 00 00 02 08 63 00 0A 00 00 00 17 54 1C 00 00 13",
     "X-Write %R100 length 10, null SNP ID, X-Buffer of 28 bytes follows, BCC ok"},
    {TProtocol::SnpX, kFrom, "1B 78 82 00 00 00 00 00 00 17 00 00 00 00 03",
     "X-Intermediate response (send the X-Buffer), BCC ok"},
    {TProtocol::SnpX, kFrom, "1B 58 82 00 00 00 00 00 00 17 00 00 00 00 07",
     "X-Response to X-Write, 0 data bytes, PLC status 0000h (Run I/O enabled), BCC ok"},
    {TProtocol::CcmMasterSlave, kTo, "01 30 31 30 31 30 33 44 41 30 30 31 34 30 32 17 01",
     "CCM header: read %R986, 20 bytes (10 registers), target 1, source 2, LRC ok"},
    {TProtocol::CcmMasterSlave, kTo, "4E 57 05", "CCM enquiry to CPU 55"},
    {TProtocol::CcmMasterSlave, kFrom, "4E 57 15", "CCM enquiry NAK from CPU 55 (busy)"},
    {TProtocol::CcmPeerToPeer, kTo, "05", "CCM ENQ"},
};

TEST(WireTraceDecoder, PublishedFramesDecodeToTheirMeaning) {
  for (const TKnownFrame& known : kPublished) {
    SCOPED_TRACE(known.Hex);
    const std::vector<TFrame> frames = DecodeOne(known.Protocol, known.Direction, Hex(known.Hex));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].Meaning, known.Meaning);
    EXPECT_EQ(frames[0].Bytes, Text(Hex(known.Hex)));
  }

  // The published text buffer has ETB among its data: only the length the reply announced
  // tells where it ends.
  const std::string reply = Text(Hex(kPublished[5].Hex));
  const std::string text =
      Text(Hex("1b 54 89 34 17 12 71 90 53 28 27 26 17 09 31 84 72 41 34 12 78 56 87 09 17 00 00 00 00 BB"));
  const std::vector<TFrame> frames =
      Decode(TProtocol::Snp, {{kFrom, reply, 0}, {kTo, "\x06", 1}, {kFrom, text, 2}});
  EXPECT_EQ(Meanings(frames), (std::vector<std::string>{kPublished[5].Meaning, "incomplete SNP ACK (1 byte)",
                                                        "SNP text buffer, last, 22 data bytes, BCC ok"}));

  // A buffer of another length than announced is still found, by its trailer, and says so; so
  // is one that nothing announced.
  const Bytes shorter = WithBcc(Hex("1b 54 01 02 03 17 00 00 00 00"));
  EXPECT_EQ(Meanings(Decode(TProtocol::Snp, {{kFrom, reply, 0}, {kFrom, Text(shorter), 1}})).back(),
            "SNP text buffer, last, 3 data bytes, announced 30 bytes, BCC ok");
  EXPECT_EQ(DecodeOne(TProtocol::Snp, kFrom, shorter)[0].Meaning,
            "SNP text buffer, last, 3 data bytes, not announced, BCC ok");
  // A line break ends the session: what was announced before it no longer holds.
  std::vector<TEvent> broken = {{kFrom, reply, 0}, {kTo, {}, 1, true}, {kFrom, Text(shorter), 2}};
  EXPECT_EQ(Meanings(Decode(TProtocol::Snp, broken)).back(),
            "SNP text buffer, last, 3 data bytes, not announced, BCC ok");
}

// The published read of %R3..%R13 and others, answered by the simulator.
TEST(WireTraceDecoder, SimulatorReadsInEachProtocolAreTracedBothWays) {
  Simulator snp(Mode::Snp, "33101A");
  snp.setSnpDataSize(10);  // three chained text buffers for 22 bytes
  TRecordedLine snpLine(snp);
  snpLine.Break();
  snpLine.Send(Hex("1b 41 33 33 31 30 31 41 00 00 30 41 30 30 30 20 20 20 17 00 00 00 38 35"));
  snpLine.Send(Hex(kPublished[3].Hex));
  for (int i = 0; i < 4; ++i) snpLine.Send({0x06, 0x00});
  snpLine.Send(SnpRead(0x02, kM, 98, 11));
  snpLine.Send({0x06, 0x00});
  const std::vector<TFrame> snpFrames = Decode(TProtocol::Snp, snpLine.Events());
  const std::vector<std::string> snpMeanings = Meanings(snpFrames);
  ASSERT_EQ(snpMeanings.size(), 16u);
  EXPECT_EQ(snpMeanings[1], "SNP attach response, SNP ID \"33101A\", T1 10 ms, BCC ok");
  EXPECT_EQ(snpMeanings[2], kPublished[3].Meaning);
  EXPECT_EQ(snpMeanings[3], "SNP ACK");
  EXPECT_EQ(snpMeanings[4].rfind("SNP mailbox reply, seq 62, 22 data bytes in text buffers", 0), 0u);
  EXPECT_NE(snpMeanings[4].find("text buffer of 18 bytes follows, BCC ok"), std::string::npos);
  EXPECT_EQ(snpMeanings[6],
            "SNP text buffer, not last, 10 data bytes, text buffer of 18 bytes follows, BCC ok");
  EXPECT_EQ(snpMeanings[8],
            "SNP text buffer, not last, 10 data bytes, text buffer of 10 bytes follows, BCC ok");
  EXPECT_EQ(snpMeanings[10], "SNP text buffer, last, 2 data bytes, BCC ok");
  EXPECT_EQ(snpMeanings[12], "SNP mailbox request, seq 02: Read %M99 length 11 bits, BCC ok");
  EXPECT_EQ(snpMeanings[14].rfind("SNP mailbox reply, seq 02, data 00 00, privilege 1", 0), 0u);

  Simulator snpx(Mode::SnpX, "ABCDEF");
  snpx.setWord(kR, 0, 0x3231);
  TRecordedLine snpxLine(snpx);
  snpxLine.Break();
  snpxLine.Send(Hex(kPublished[9].Hex));
  snpxLine.Send(Hex(kPublished[12].Hex));
  snpxLine.Send(XRead("ABCDEF", 0x99, 0, 1));
  EXPECT_EQ(Meanings(Decode(TProtocol::SnpX, snpxLine.Events())),
            (std::vector<std::string>{
                kPublished[9].Meaning, kPublished[10].Meaning, kPublished[12].Meaning,
                "X-Response to X-Read, 8 data bytes, PLC status 0000h (Run I/O enabled), BCC ok",
                "X-Read selector 99 offset 0 length 1, SNP ID \"ABCDEF\", BCC ok",
                "X-Response to X-Read, error major 0F, minor 03 (invalid memory type), BCC ok"}));

  // CCM master-slave: 300 bytes from %R1 come as a full block and a last one.
  Simulator ccm(Mode::CcmMasterSlave, "PLC1", 2);
  for (uint32_t i = 0; i < 150; ++i) ccm.setWord(kR, i, uint16_t(0x0317 + i));  // ETX and ETB in data
  TRecordedLine ccmLine(ccm);
  ccmLine.Send(Hex("4E 22 05"));
  ccmLine.Send(CcmHeader(2, 1, 1, 300, 1));
  ccmLine.Send({0x06});
  ccmLine.Send({0x06});
  ccmLine.Send({0x04});
  EXPECT_EQ(Meanings(Decode(TProtocol::CcmMasterSlave, ccmLine.Events())),
            (std::vector<std::string>{
                "CCM enquiry to CPU 2", "CCM enquiry ACK from CPU 2",
                "CCM header: read %R1, 300 bytes (150 registers), target 2, source 1, LRC ok", "CCM ACK",
                "CCM data block, 256 bytes, more follow (ETB), LRC ok", "CCM ACK",
                "CCM data block, 44 bytes, last (ETX), LRC ok", "CCM ACK", "CCM EOT", "CCM EOT"}));

  Simulator peer(Mode::CcmPeerToPeer, "PLC7", 9);
  peer.setCcmLrcIncludesFraming(false);
  TRecordedLine peerLine(peer);
  peerLine.Send({0x05});
  peerLine.Send(CcmHeader(9, 6, 2, 1, 1));
  peerLine.Send({0x06});
  EXPECT_EQ(
      Meanings(Decode(TProtocol::CcmPeerToPeer, peerLine.Events())),
      (std::vector<std::string>{
          "CCM ENQ", "CCM ACK", "CCM header: read scratch pad byte 2, 1 byte, target 9, source 1, LRC ok",
          "CCM ACK", "CCM data block, 1 byte, last (ETX), LRC ok over the data bytes only", "CCM ACK",
          "CCM EOT"}));
}

// An SNP PLC's refusal after the ACK names its major and minor status in words.
TEST(WireTraceDecoder, SnpErrorNacksNameTheirStatus) {
  const struct {
    uint8_t Major, Minor;
    const char* Status;
  } kCases[] = {
      {0x05, 0xF4, "major 05 (service request error), minor F4 (invalid parameter in request)"},
      {0x05, 0xB3, "major 05 (service request error), minor B3 (length limit exceeded)"},
      {0x02, 0x03, "major 02 (insufficient privilege), minor 03 (level 3 needed)"},
      {0x07, 0x00, "major 07 (service request queue full), minor 00"},
  };
  for (const auto& c : kCases) {
    Simulator snp(Mode::Snp, "PLC1");
    plcsim::Faults faults;
    faults.errorNack = 1;
    faults.errorNackMajor = c.Major;
    faults.errorNackMinor = c.Minor;
    snp.setFaults(faults);
    TRecordedLine line(snp);
    line.Send(SnpAttach("PLC1", 10));
    line.Send(SnpRead(0x21, kR, 0, 4));
    const std::vector<std::string> meanings = Meanings(Decode(TProtocol::Snp, line.Events()));
    ASSERT_EQ(meanings.size(), 5u);
    EXPECT_EQ(meanings[3], "SNP ACK");
    EXPECT_EQ(meanings[4], std::string("SNP mailbox error nack, seq 21, ") + c.Status + ", BCC ok");
  }
}

// A recorded session of each protocol: SNP with chained text buffers, SNP-X, CCM over two blocks.
std::vector<std::pair<TProtocol, std::vector<TEvent>>> RecordedSessions(const plcsim::Faults& faults) {
  std::vector<std::pair<TProtocol, std::vector<TEvent>>> sessions;
  Simulator snp(Mode::Snp, "PLC1");
  snp.setSnpDataSize(12);
  snp.setFaults(faults);
  TRecordedLine snpLine(snp);
  snpLine.Break();
  snpLine.Send(SnpAttach("PLC1", 10));
  snpLine.Send(SnpRead(1, kR, 0, 20));
  for (int i = 0; i < 5; ++i) snpLine.Send({0x06, 0x00});
  sessions.emplace_back(TProtocol::Snp, snpLine.Events());

  Simulator snpx(Mode::SnpX, "PLC1");
  snpx.setFaults(faults);
  TRecordedLine snpxLine(snpx);
  snpxLine.Break();
  snpxLine.Send(XAttach("PLC1"));
  snpxLine.Send(XRead("PLC1", kR, 4, 30));
  snpxLine.Send(XRead("PLC1", kM, 0, 16));
  sessions.emplace_back(TProtocol::SnpX, snpxLine.Events());

  Simulator ccm(Mode::CcmMasterSlave, "PLC1", 2);
  ccm.setFaults(faults);
  for (uint32_t i = 0; i < 200; ++i) ccm.setWord(kR, i, uint16_t(0x1702 + i * 0x0101));
  TRecordedLine ccmLine(ccm);
  ccmLine.Send(Hex("4E 22 05"));
  ccmLine.Send(CcmHeader(2, 1, 1, 300, 1));
  ccmLine.Send({0x06});
  ccmLine.Send({0x06});
  ccmLine.Send({0x04});
  sessions.emplace_back(TProtocol::CcmMasterSlave, ccmLine.Events());
  return sessions;
}

size_t CountContaining(const std::vector<TFrame>& frames, const std::string& text) {
  size_t count = 0;
  for (const TFrame& frame : frames) count += frame.Meaning.find(text) != std::string::npos;
  return count;
}

TEST(WireTraceDecoder, HowThePortSplitsTheBytesDoesNotChangeTheFrames) {
  for (const auto& [protocol, events] : RecordedSessions({})) {
    const std::vector<TFrame> whole = Decode(protocol, events);
    EXPECT_EQ(CountContaining(whole, "unrecognised"), 0u);
    EXPECT_EQ(CountContaining(whole, "incomplete"), 0u);
    EXPECT_EQ(CountContaining(whole, " ok"), CountContaining(whole, "BCC") + CountContaining(whole, "LRC"));
    for (size_t piece : {1, 2, 5}) {
      const std::vector<TFrame> split = Decode(protocol, events, piece);
      ASSERT_EQ(split.size(), whole.size()) << "pieces of " << piece;
      for (size_t i = 0; i < whole.size(); ++i) {
        EXPECT_EQ(split[i].Meaning, whole[i].Meaning);
        EXPECT_EQ(split[i].Bytes, whole[i].Bytes);
        EXPECT_EQ(split[i].Ms, whole[i].Ms);
        EXPECT_EQ(split[i].Direction, whole[i].Direction);
      }
    }

    // All that one side said, handed over at once, and with the time of each byte's piece kept.
    std::vector<TEvent> joined;
    for (const TEvent& event : events) {
      if (!event.Break && !joined.empty() && joined.back().Direction == event.Direction &&
          !joined.back().Break)
        joined.back().Bytes += event.Bytes;
      else
        joined.push_back(event);
    }
    EXPECT_EQ(Meanings(Decode(protocol, joined)), Meanings(whole));
  }
}

TEST(WireTraceDecoder, NoiseIsShownAndNoByteIsLost) {
  plcsim::Faults faults;
  faults.noiseBeforeFrames = -1;
  faults.noiseMax = 6;
  faults.seed = 7;
  const auto clean = RecordedSessions({});
  for (const bool safe : {true, false}) {
    faults.noiseSafe = safe;
    const auto sessions = RecordedSessions(faults);
    for (size_t i = 0; i < sessions.size(); ++i) {
      const auto& [protocol, events] = sessions[i];
      SCOPED_TRACE(int(protocol));
      const std::vector<TFrame> noisy = Decode(protocol, events);
      EXPECT_EQ(Carried(noisy, kTo), Carried(events, kTo));
      EXPECT_EQ(Carried(noisy, kFrom), Carried(events, kFrom));
      EXPECT_GT(CountContaining(noisy, "unrecognised bytes"), 0u);
      // Every frame of the clean session is still there, its check intact: the noise stays apart.
      std::vector<std::string> frames;
      for (const std::string& meaning : Meanings(noisy))
        if (meaning.rfind("unrecognised", 0) != 0) frames.push_back(meaning);
      EXPECT_EQ(frames, Meanings(Decode(protocol, clean[i].second)));
    }
  }

  // A stray frame start in the noise gives up its claim, and the frame after it is found.
  const std::string attach = Text(SnpAttach("PLC1", 10));
  const std::vector<TFrame> frames = Decode(TProtocol::Snp, {{kTo,
                                                              "\x1b"
                                                              "A\x01\x02",
                                                              0},
                                                             {kTo, attach, 3},
                                                             {kTo, "\x1b\x4d", 9}});
  EXPECT_EQ(Meanings(frames), (std::vector<std::string>{"unrecognised bytes (4)",
                                                        "SNP attach, SNP ID \"PLC1\", T1 10 ms, BCC ok",
                                                        "incomplete SNP mailbox (2 bytes)"}));
  EXPECT_EQ(frames[0].Ms, 0u);
  EXPECT_EQ(frames[1].Ms, 3u);
  EXPECT_EQ(frames[2].Ms, 9u);

  // Garbage alone is shown as it comes, in entries of 256 bytes with the time of their first.
  std::vector<TFrame> garbage;
  TFrameDecoder decoder(TProtocol::SnpX);
  for (uint64_t ms = 0; ms < 10; ++ms) decoder.Feed(kFrom, std::string(100, '\xEE'), ms, garbage);
  EXPECT_EQ(Meanings(garbage), std::vector<std::string>(3, "unrecognised bytes (256)"));
  EXPECT_EQ(garbage[1].Ms, 2u);
  decoder.EndFrames(garbage);
  ASSERT_EQ(garbage.size(), 4u);
  EXPECT_EQ(garbage[3].Meaning, "unrecognised bytes (232)");
  EXPECT_EQ(garbage[3].Ms, 7u);
}

TEST(WireTraceDecoder, FailedChecksAreShownWithTheExpectedValue) {
  plcsim::Faults faults;
  faults.corruptCheck = -1;
  for (const auto& [protocol, events] : RecordedSessions(faults)) {
    const std::vector<TFrame> frames = Decode(protocol, events);
    EXPECT_GT(CountContaining(frames, "bad, expected"), 0u);
    EXPECT_EQ(Carried(frames, kFrom), Carried(events, kFrom));
    EXPECT_EQ(CountContaining(frames, "unrecognised"), 0u) << "a bad check still makes a frame";
  }

  Bytes attach = SnpAttach("PLC1", 10);
  const uint8_t good = attach[23];
  attach[23] = '0';
  EXPECT_EQ(DecodeOne(TProtocol::Snp, kTo, attach)[0].Meaning,
            std::string("SNP attach, SNP ID \"PLC1\", T1 10 ms, BCC bad, expected ") + char(attach[22]) +
                char(good));
  Bytes read = XRead("PLC1", kR, 0, 1);
  read.back() ^= 0x40;
  EXPECT_EQ(
      DecodeOne(TProtocol::SnpX, kTo, read)[0].Meaning,
      "X-Read %R1 length 1, SNP ID \"PLC1\", BCC bad, expected " + plcsim::HexText(read.back() ^ 0x40, 2));
  Bytes header = Hex("01 30 31 30 31 30 33 44 41 30 30 31 34 30 32 17 00");
  EXPECT_EQ(DecodeOne(TProtocol::CcmMasterSlave, kTo, header)[0].Meaning,
            "CCM header: read %R986, 20 bytes (10 registers), target 1, source 2, LRC bad, expected 01");
  // A block with a bad LRC ends where the header said, though its data holds an ETX.
  const std::vector<TFrame> frames = Decode(
      TProtocol::CcmMasterSlave, {{kTo, Text(Hex("01 30 31 30 31 30 33 44 41 30 30 30 34 30 32 17 01")), 0},
                                  {kFrom, Text(Hex("06 02 41 03 43 44 03 00")), 1}});
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[2].Meaning, "CCM data block, 4 bytes, last (ETX), LRC bad, expected 44");

  // A block shorter than the header announced is taken as it came once the master answers it.
  const std::vector<TFrame> shorter = Decode(
      TProtocol::CcmMasterSlave, {{kTo, Text(Hex("01 30 31 30 31 30 33 44 41 30 30 31 34 30 32 17 01")), 0},
                                  {kFrom, Text(Hex("06 02 41 03 43 44 03 44")), 1},
                                  {kTo, "\x15", 2}});
  EXPECT_EQ(Meanings(shorter).at(2), "CCM data block, 4 bytes, last (ETX), LRC ok");
  EXPECT_EQ(Meanings(shorter).at(3), "CCM NAK");
}

TEST(WireTraceDecoder, RandomBytesAreCutInLinearTimeAndKept) {
  std::mt19937 random(42);
  std::string noise(1 << 20, '\0');
  for (char& c : noise) c = char(random());
  for (TProtocol protocol : {TProtocol::Snp, TProtocol::SnpX, TProtocol::CcmMasterSlave}) {
    const auto start = std::chrono::steady_clock::now();
    TFrameDecoder decoder(protocol);
    std::vector<TFrame> frames;
    for (size_t at = 0; at < noise.size();) {
      const size_t piece = 1 + random() % 700;
      const TDirection direction = random() % 4 ? kFrom : kTo;
      decoder.Feed(direction, noise.substr(at, piece), at / 1000, frames);
      at += piece;
    }
    decoder.EndFrames(frames);
    std::string kept;
    for (const TFrame& frame : frames) {
      kept += frame.Bytes;
      ASSERT_FALSE(frame.Bytes.empty());
    }
    EXPECT_EQ(kept, noise);
    // A cut that looked at every frame start's bytes again and again would take minutes here.
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 60);
  }
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(WireTraceFile, LinesAreReadableAndFlushed) {
  const std::filesystem::path path = std::filesystem::temp_directory_path() / "kelda_wire_trace_test.txt";
  {
    TWireTrace trace(path.string(), TProtocol::Snp);
    trace.LineBreak(100, 0);
    trace.Sent(Text(SnpAttach("PLC1", 10)), 50);
    trace.Received(Text(Hex("06")), 80);  // half an ACK, then the port is closed
    trace.Note("time-out", 900);
    const std::string afterNote = ReadFile(path);
    EXPECT_EQ(
        afterNote,
        "# Korvane wire trace, protocol SNP\n"
        "# time (s)  direction (> to the PLC, < from the PLC, * note)  meaning | bytes in hex | bytes as "
        "text, '.' where not printable\n"
        "   0.000 > break, 100 ms\n"
        "   0.050 > SNP attach, SNP ID \"PLC1\", T1 10 ms, BCC ok | 1B 41 50 4C 43 31 00 00 00 00 30 41 30 "
        "30 30 20 20 20 17 00 00 00 31 32 | .APLC1....0A000   ....12\n"
        "   0.080 < incomplete SNP ACK (1 byte) | 06 | .\n"
        "   0.900 * time-out\n");

    trace.Sent(Text(SnpRead(5, kR, 0, 8)), 1000);
    EXPECT_EQ(ReadFile(path), afterNote) << "flushed at most once a second of trace time";
    trace.Received(Text(Hex("06 00")), 1850);
    EXPECT_EQ(ReadFile(path).size(), afterNote.size()) << "within the second";
    trace.Received(Text(Hex("15 01")), 1901 + 1000);
    EXPECT_NE(ReadFile(path).find("SNP NAK 01 (overrun or framing error)"), std::string::npos);

    trace.Sent("\x1b", 3000);
    trace.Flush();  // the poller on its way out: the frame begun is shown
    EXPECT_NE(ReadFile(path).find("   3.000 > incomplete SNP message (1 byte) | 1B | .\n"),
              std::string::npos);
  }
  const std::string text = ReadFile(path);
  // A 40-byte mailbox: its meaning on one line, then its bytes 32 to an indented line.
  EXPECT_NE(
      text.find("   1.000 > SNP mailbox request, seq 05: Read %R1 length 8, BCC ok\n"
                "           | 1B 4D 00 00 00 00 00 00 05 C0 10 3A 00 00 10 0A 00 00 01 01 04 08 00 00 08 00 "
                "00 00 00 00 00 00 | .M.........:....................\n"
                "           | 00 00 17 00 00 00 00 "),
      std::string::npos)
      << text;
  std::filesystem::remove(path);

  EXPECT_THROW(TWireTrace((std::filesystem::temp_directory_path() / "no such folder" / "t.txt").string(),
                          TProtocol::SnpX),
               std::runtime_error);
}

TEST(WireTraceFile, CallsFromTwoThreadsKeepEveryFrame) {
  const std::filesystem::path path = std::filesystem::temp_directory_path() / "kelda_wire_trace_threads.txt";
  constexpr int kFrames = 2000;
  {
    TWireTrace trace(path.string(), TProtocol::Snp);
    std::thread reader([&trace] {
      for (int i = 0; i < kFrames; ++i) trace.Received(std::string("\x15\x00", 2), uint64_t(i));
    });
    for (int i = 0; i < kFrames; ++i) trace.Sent(std::string("\x06\x00", 2), uint64_t(i));
    reader.join();
  }
  std::istringstream lines(ReadFile(path));
  int acks = 0, naks = 0, others = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("#", 0) == 0) continue;
    if (line.find(" > SNP ACK | 06 00 | ..") != std::string::npos)
      ++acks;
    else if (line.find(" < SNP NAK 00 (BCC or parity error) | 15 00 | ..") != std::string::npos)
      ++naks;
    else
      ++others;
  }
  EXPECT_EQ(acks, kFrames);
  EXPECT_EQ(naks, kFrames);
  EXPECT_EQ(others, 0);
  std::filesystem::remove(path);
}
}  // namespace
}  // namespace kelda::trace
