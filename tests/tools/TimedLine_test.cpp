// The timed line between a master and the simulated PLC, on the test's own clock: bytes take
// their time on the wire both ways, breaks hold the line, the PLC keeps SNP's T1 and the CCM
// enquiry delay, and a whole read takes the wire time the protocol's figures give.
#include <gtest/gtest.h>

#include "tests/tools/PlcSimTestKit.h"
#include "tools/plcsim/TimedLine.h"

using namespace kelda::plcsim;
using namespace kelda::plcsim::testkit;

namespace {

LineFormat Format(uint32_t baud = 19200, bool parity = true) {
  LineFormat f;
  f.baud = baud;
  f.parity = parity;
  return f;
}

// Reads the line microsecond by microsecond from `from` until `count` bytes have come (or `until`);
// each byte's arrival time in order.
std::vector<uint64_t> Arrivals(TimedLine& line, uint64_t from, size_t count, uint64_t until) {
  std::vector<uint64_t> times;
  for (uint64_t t = from; t <= until && times.size() < count;) {
    const size_t got = line.read(t).size();
    for (size_t k = 0; k < got; ++k) times.push_back(t);
    const uint64_t next = line.nextEventUs();
    t = next == UINT64_MAX ? until + 1 : std::max(t + 1, next);
  }
  return times;
}

}  // namespace

// SNP-X: the PLC has the request when its last character is through, answers at once, and the
// answer's characters come one character time apart; a read of 4 registers is 47 characters.
TEST(TimedLine, SnpXReadTakesItsCharacters) {
  Simulator plc(Mode::SnpX, "ABCDEF");
  const LineFormat format = Format();
  TimedLine line(plc, format);
  const Bytes attach = XAttach("ABCDEF");
  line.write(attach.data(), attach.size(), 0);
  const uint64_t requestEnd = format.endOfCharUs(0, 24);
  EXPECT_EQ(line.masterIdleAtUs(), requestEnd);
  EXPECT_TRUE(line.read(requestEnd - 1).empty());
  EXPECT_FALSE(plc.sessionOpen()) << "the last character is not through yet";
  EXPECT_TRUE(line.read(requestEnd).empty()) << "the answer's first character still takes its time";
  EXPECT_TRUE(plc.sessionOpen());
  EXPECT_EQ(line.nextEventUs(), format.endOfCharUs(requestEnd, 1));

  // Part of the answer, then the rest: a read hands over what has come, each byte once.
  const uint64_t half = format.endOfCharUs(requestEnd, 10);
  EXPECT_EQ(line.read(half).size(), 10u);
  EXPECT_EQ(line.read(half).size(), 0u);
  EXPECT_EQ(line.read(format.endOfCharUs(requestEnd, 24)).size(), 14u);

  const uint64_t start = format.endOfCharUs(requestEnd, 24);
  const Bytes read = XRead("ABCDEF", kR, 0, 4);
  line.write(read.data(), read.size(), start);
  std::vector<uint64_t> times = Arrivals(line, start, 23, start + 1000000);
  ASSERT_EQ(times.size(), 23u);
  EXPECT_EQ(times.back() - start, format.endOfCharUs(0, 47)) << "24 + 15 + 8 characters, no gap";
  const ExchangeTime figure = ReadExchange(Mode::SnpX, 8, format, SessionUse::KeepSession);
  EXPECT_NEAR((times.back() - start) / 1000.0, figure.ms, 0.002);
}

// What the master writes while it still sends queues behind it; a break holds the line for its
// length, and the PLC sees it when it ends.
TEST(TimedLine, BreakHoldsTheLine) {
  Simulator plc(Mode::SnpX, "ABCDEF");
  const LineFormat format = Format(9600, false);
  TimedLine line(plc, format);
  const Bytes attach = XAttach("ABCDEF");
  line.write(attach.data(), attach.size(), 0);
  line.read(1000000);
  ASSERT_TRUE(plc.sessionOpen());

  const uint64_t t = 2000000;
  line.holdBreak(100, t);
  line.write(attach.data(), attach.size(), t + 1000);
  line.read(t + 99999);
  EXPECT_TRUE(plc.sessionOpen()) << "the break has not ended";
  line.read(t + 100000);
  EXPECT_FALSE(plc.sessionOpen()) << "the break ended the session";
  const uint64_t attachEnd = format.endOfCharUs(t + 100000, 24);
  EXPECT_EQ(line.masterIdleAtUs(), attachEnd) << "the attach went out after the break";
  line.read(attachEnd - 1);
  EXPECT_FALSE(plc.sessionOpen());
  line.read(attachEnd);
  EXPECT_TRUE(plc.sessionOpen());
}

// SNP: the PLC keeps the agreed T1 (the master asked for 10 ms) before the attach response, before
// its ACK, and between the ACK and the reply mailbox; after the master's ACK, T1 before the text
// buffer.
TEST(TimedLine, SnpKeepsT1BeforeEachFrame) {
  Simulator plc(Mode::Snp, "33101A");
  plc.setWord(kR, 2, 0x3489);
  const LineFormat format = Format();
  TimedLine line(plc, format);
  const Bytes attach = SnpAttach("33101A", 10);
  line.write(attach.data(), attach.size(), 0);
  const uint64_t attachEnd = format.endOfCharUs(0, 24);
  std::vector<uint64_t> times = Arrivals(line, 0, 24, 1000000);
  ASSERT_EQ(times.size(), 24u);
  EXPECT_EQ(plc.snpT1Ms(), 10u);
  EXPECT_EQ(times.front(), format.endOfCharUs(attachEnd + 10000, 1));

  const uint64_t start = times.back();
  const Bytes read = SnpRead(0x62, kR, 2, 11);  // 22 bytes: a 94h mailbox and one text buffer
  line.write(read.data(), read.size(), start);
  const uint64_t requestEnd = format.endOfCharUs(start, 40);
  times = Arrivals(line, start, 42, start + 1000000);
  ASSERT_EQ(times.size(), 42u);
  EXPECT_EQ(times[0], format.endOfCharUs(requestEnd + 10000, 1)) << "T1 before the ACK";
  const uint64_t ackEnd = times[1];
  EXPECT_EQ(times[2], format.endOfCharUs(ackEnd + 10000, 1)) << "T1 between the ACK and the mailbox";

  // The master ACKs the mailbox at once; the PLC waits T1 after the ACK has come.
  const uint64_t mailboxEnd = times.back();
  const Bytes ack = {0x06, 0x00};
  line.write(ack.data(), ack.size(), mailboxEnd);
  times = Arrivals(line, mailboxEnd, 30, mailboxEnd + 1000000);
  ASSERT_EQ(times.size(), 30u) << "22 data bytes and the 8 of the frame";
  EXPECT_EQ(times.front(), format.endOfCharUs(format.endOfCharUs(mailboxEnd, 2) + 10000, 1));
  EXPECT_EQ(plc.counters().completeReads, 1);
}

// CCM: the target holds the answer to an enquiry back 10 ms + four character times, and nothing
// else.
TEST(TimedLine, CcmDelaysOnlyTheEnquiryAnswer) {
  for (const LineFormat format : {Format(19200, true), Format(9600, false)}) {
    Simulator plc(Mode::CcmMasterSlave, "PLC1", 2);
    TimedLine line(plc, format);
    const Bytes enquiry = {'N', 0x22, 0x05};
    line.write(enquiry.data(), enquiry.size(), 0);
    const uint64_t enquiryEnd = format.endOfCharUs(0, 3);
    std::vector<uint64_t> times = Arrivals(line, 0, 3, 1000000);
    ASSERT_EQ(times.size(), 3u);
    const uint64_t delay = static_cast<uint64_t>(CcmEnquiryDelayMs(format) * 1000);
    EXPECT_EQ(times.front(), format.endOfCharUs(enquiryEnd + delay, 1)) << format.baud;

    const Bytes header = CcmHeader(2, 0x01, 1, 20, 1);
    line.write(header.data(), header.size(), times.back());
    const uint64_t headerEnd = format.endOfCharUs(times.back(), header.size());
    times = Arrivals(line, headerEnd, 1, headerEnd + 1000000);
    ASSERT_EQ(times.size(), 1u);
    EXPECT_EQ(times.front(), format.endOfCharUs(headerEnd, 1)) << "the header's ACK at once";
  }
}

// Several PLCs on one line all hear the master; only the one addressed answers, a PLC that is
// off the line hears nothing, and what the master sent then is lost.
TEST(TimedLine, SeveralPlcsShareTheLine) {
  Simulator first(Mode::SnpX, "PLC1"), second(Mode::SnpX, "PLC2");
  const LineFormat format = Format();
  TimedLine line({&first, &second}, format);
  line.unplugUntil(100000);
  const Bytes early = XAttach("PLC2");
  line.write(early.data(), early.size(), 0);
  EXPECT_TRUE(line.read(90000).empty());
  EXPECT_FALSE(second.sessionOpen()) << "the PLCs were off the line";

  const Bytes attach = XAttach("PLC2");
  line.write(attach.data(), attach.size(), 200000);
  const std::vector<uint64_t> times = Arrivals(line, 200000, 24, 1200000);
  ASSERT_EQ(times.size(), 24u) << "one answer, from PLC2 alone";
  EXPECT_TRUE(second.sessionOpen());
  EXPECT_FALSE(first.sessionOpen());
  EXPECT_EQ(first.counters().requests, 0);
  EXPECT_EQ(times.front(), format.endOfCharUs(format.endOfCharUs(200000, 24), 1));

  Simulator other(Mode::Snp, "PLC3");
  EXPECT_THROW(TimedLine({&first, &other}, format), std::invalid_argument);
}
