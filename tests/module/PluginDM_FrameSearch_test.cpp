#include "module/PluginDM_FrameSearch.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Common/FIFOStream.h"
#include "tests/support/FindFrameReference.h"

using namespace kelda;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Hex(const std::string& text) {
  Bytes out;
  for (std::size_t k = 0; k + 1 < text.size();) {
    if (text[k] == ' ') {
      ++k;
      continue;
    }
    out.push_back(static_cast<uint8_t>(std::stoi(text.substr(k, 2), nullptr, 16)));
    k += 2;
  }
  return out;
}

Bytes Text(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// The search over a copy that ends exactly where the bytes end, so a read past them is caught
// by the address sanitizer. Every answer is also held against the plain search.
TFrameMatch Search(const Bytes& bytes, uint8_t start, TEndChars ends, int32_t maxLength, TCheckKind check) {
  std::unique_ptr<uint8_t[]> exact;
  if (!bytes.empty()) {
    exact.reset(new uint8_t[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), exact.get());
  }
  const auto size = static_cast<int32_t>(bytes.size());
  TFrameMatch fast = FindFrameIn(exact.get(), size, start, ends, maxLength, check);
  TFrameMatch plain = test::ReferenceFindFrame(exact.get(), size, start, ends, maxLength, check);
  EXPECT_EQ(fast.Start, plain.Start);
  EXPECT_EQ(fast.End, plain.End);
  EXPECT_EQ(fast.EndChar, plain.EndChar);
  return fast;
}

// A CCM data block: STX, data, the end character, Lrc of STX through the end character.
Bytes CcmBlock(const Bytes& data, uint8_t end = ETX) {
  Bytes block = Join({{STX}, data, {end}});
  block.push_back(Lrc(block.data(), block.size()));
  return block;
}

// An SNP-X message: ESC, type, body, ETB, four zero bytes, the binary check over all of it.
Bytes SnpXFrame(uint8_t type, const Bytes& body) {
  Bytes frame = Join({{ESC, type}, body, {ETB, 0, 0, 0, 0}});
  frame.push_back(SnpBcc(frame.data(), frame.size()));
  return frame;
}

Bytes Filler(std::size_t count, uint8_t byte = 0x41) {
  return Bytes(count, byte);
}

void ExpectFound(const TFrameMatch& match, int32_t start, int32_t end, uint8_t endChar) {
  EXPECT_EQ(match.Start, start);
  EXPECT_EQ(match.End, end);
  EXPECT_EQ(match.EndChar, endChar);
  EXPECT_EQ(match.ConsumedThrough(), -1);
}

void ExpectNotFound(const TFrameMatch& match, int32_t consumedThrough) {
  EXPECT_FALSE(match.Found());
  EXPECT_EQ(match.End, consumedThrough);
  EXPECT_EQ(match.ConsumedThrough(), consumedThrough);
  EXPECT_EQ(match.EndChar, 0);
}

struct TKnownCheck {
  const char* Name;
  Bytes Data;
  bool Snp;  // SnpBcc, else Lrc
  uint8_t Expected;
};

// Named by its name: without this the test names would be printed from the object's raw bytes,
// its padding included.
void PrintTo(const TKnownCheck& c, std::ostream* out) {
  *out << c.Name;
}

class BlockCheckKnownAnswers : public testing::TestWithParam<TKnownCheck> {};

TEST_P(BlockCheckKnownAnswers, MatchPublishedValues) {
  const TKnownCheck& c = GetParam();
  const uint8_t got = c.Snp ? SnpBcc(c.Data.data(), c.Data.size()) : Lrc(c.Data.data(), c.Data.size());
  EXPECT_EQ(got, c.Expected);
}

// The published frames with their check fields cut off; the check is what the frame carries.
Bytes Head(const std::string& hex, std::size_t count, std::size_t from = 0) {
  Bytes all = Hex(hex);
  return Bytes(all.begin() + static_cast<std::ptrdiff_t>(from),
               all.begin() + static_cast<std::ptrdiff_t>(from + count));
}

const TKnownCheck kKnownChecks[] = {
    {"LrcAbc", Text("abc"), false, 0x60},
    {"LrcEmpty", {}, false, 0x00},
    {"SnpBccAbc", Text("abc"), true, 0x44},
    {"SnpBccEmpty", {}, true, 0x00},
    {"SnpBccCarryComesBackAsBitZero", {0x80}, true, 0x01},
    {"CcmHeaderBetweenSohAndEtb", Head("01 30 31 30 31 30 33 44 41 30 30 31 34 30 32 17 01", 14, 1), false,
     0x01},
    {"CcmHeaderTarget2Size16", Text("02010000001001"), false, 0x03},
    {"SnpAttach33101A", Head("1b 41 33 33 31 30 31 41 00 00 30 41 30 30 30 20 20 20 17 00 00 00 38 35", 22),
     true, 0x85},
    {"SnpAttachNullId", Head("1B 41 00 00 00 00 00 00 00 00 30 41 30 30 30 20 20 20 17 00 00 00 31 41", 22),
     true, 0x1A},
    {"SnpXAttachABCDEF", Head("1B 58 41 42 43 44 45 46 00 00 00 00 00 00 00 00 00 00 17 00 00 00 00 B2", 23),
     true, 0xB2},
    {"SnpXReadR1ToR4", Head("1B 58 41 42 43 44 45 46 00 00 01 08 00 00 04 00 00 00 17 00 00 00 00 1A", 23),
     true, 0x1A},
    {"SnpXReadResponse", Head("1B 58 81 00 00 00 00 08 00 31 32 33 34 35 36 37 38 17 00 00 00 00 B6", 22),
     true, 0xB6},
};

INSTANTIATE_TEST_SUITE_P(FrameSearch, BlockCheckKnownAnswers, testing::ValuesIn(kKnownChecks),
                         [](const testing::TestParamInfo<TKnownCheck>& info) { return info.param.Name; });

}  // namespace

TEST(FrameSearch, TrailerLengthPerCheck) {
  EXPECT_EQ(TrailerLength(TCheckKind::NoCheck), 0);
  EXPECT_EQ(TrailerLength(TCheckKind::LrcCheck), 1);
  EXPECT_EQ(TrailerLength(TCheckKind::BccHex), 5);
  EXPECT_EQ(TrailerLength(TCheckKind::BccBinary), 5);
}

TEST(FrameSearch, PublishedFramesAreFound) {
  const Bytes xAttachAnswer = Hex("1B 58 41 42 43 44 45 46 00 00 80 00 00 00 00 00 00 00 17 00 00 00 00 A2");
  ExpectFound(Search(xAttachAnswer, ESC, {ETB}, 0, TCheckKind::BccBinary), 0, 18, ETB);
  const Bytes xReadAnswer = Hex("1B 58 81 00 00 00 00 08 00 31 32 33 34 35 36 37 38 17 00 00 00 00 B6");
  ExpectFound(Search(xReadAnswer, ESC, {ETB}, 1100, TCheckKind::BccBinary), 0, 17, ETB);
  const Bytes attach = Hex("1b 41 33 33 31 30 31 41 00 00 30 41 30 30 30 20 20 20 17 00 00 00 38 35");
  ExpectFound(Search(attach, ESC, {ETB}, 0, TCheckKind::BccHex), 0, 18, ETB);
  Bytes wrongDigit = attach;
  wrongDigit[23] = '4';
  ExpectNotFound(Search(wrongDigit, ESC, {ETB}, 0, TCheckKind::BccHex), -1);
  Bytes hexLetters = Hex("1B 41 00 00 00 00 00 00 00 00 30 41 30 30 30 20 20 20 17 00 00 00 31 41");
  ExpectFound(Search(hexLetters, ESC, {ETB}, 0, TCheckKind::BccHex), 0, 18, ETB);
  hexLetters[23] = 'a';  // the same check in lower case is not the PLC's form
  ExpectNotFound(Search(hexLetters, ESC, {ETB}, 0, TCheckKind::BccHex), -1);
}

TEST(FrameSearch, EnquiryAnswerOnlyDirectlyAfterTheTarget) {
  const TEndChars ackOrNak{ACK, NAK};
  ExpectFound(Search({'N', 0x22, ACK}, 'N', ackOrNak, 3, TCheckKind::NoCheck), 0, 2, ACK);
  ExpectFound(Search({'N', NAK}, 'N', ackOrNak, 3, TCheckKind::NoCheck), 0, 1, NAK);
  // Three positions after "N" is too far: given up, but it had no failed end to consume.
  ExpectNotFound(Search({'N', 0x22, 0x41, ACK}, 'N', ackOrNak, 3, TCheckKind::NoCheck), -1);
  // A good answer behind it is still found.
  ExpectFound(Search({'N', 0x22, 0x41, ACK, 'N', 0x22, ACK}, 'N', ackOrNak, 3, TCheckKind::NoCheck), 4, 6,
              ACK);
  // An "N" alone waits.
  ExpectNotFound(Search({0x00, 'N'}, 'N', ackOrNak, 3, TCheckKind::NoCheck), -1);
}

TEST(FrameSearch, WithoutEndCharactersTheFirstStartIsTheAnswer) {
  ExpectFound(Search({0x15, 0x00, ACK, ACK}, ACK, {}, 0, TCheckKind::NoCheck), 2, -1, 0);
  ExpectNotFound(Search({0x15, 0x00}, ACK, {}, 0, TCheckKind::NoCheck), -1);
  ExpectNotFound(Search({}, ACK, {}, 0, TCheckKind::NoCheck), -1);
  EXPECT_FALSE(FindFrameIn(nullptr, 5, ACK, {}, 0, TCheckKind::NoCheck).Found());
  EXPECT_FALSE(FindFrameIn(Text("\x06").data(), -1, ACK, {}, 0, TCheckKind::NoCheck).Found());
}

TEST(FrameSearch, CcmBlockCheck) {
  const TEndChars ends{ETB, ETX};
  ExpectFound(Search({STX, 0x41, 0x42, ETX, 0x02}, STX, ends, 260, TCheckKind::LrcCheck), 0, 3, ETX);
  ExpectFound(Search(CcmBlock(Text("AB"), ETB), STX, ends, 260, TCheckKind::LrcCheck), 0, 3, ETB);
  // A failed check on a block that may still grow consumes nothing: it may be a longer block
  // whose data holds ETX, and the first byte of its data may still be on the way.
  ExpectNotFound(Search({STX, 0x41, 0x42, ETX, 0x00}, STX, ends, 260, TCheckKind::LrcCheck), -1);
  // The end character is the last byte: its check byte has not arrived, so nothing is read
  // past the buffer and nothing is decided.
  ExpectNotFound(Search({STX, 0x41, 0x42, ETX}, STX, ends, 260, TCheckKind::LrcCheck), -1);
}

TEST(FrameSearch, PartialBlockWithEndByteInItsDataIsKeptUntilComplete) {
  const TEndChars ends{ETB, ETX};
  const Bytes block = CcmBlock(Join({Text("12"), {ETX, ETB}, Text("345")}));
  // Every prefix that stops short of the real end is kept whole, whatever its failed ends.
  for (std::size_t cut = 1; cut < block.size(); ++cut) {
    SCOPED_TRACE(cut);
    ExpectNotFound(Search(Bytes(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(cut)), STX, ends,
                          260, TCheckKind::LrcCheck),
                   -1);
  }
  ExpectFound(Search(block, STX, ends, 260, TCheckKind::LrcCheck), 0, 8, ETX);
  ExpectFound(Search(Join({block, Text("xyz")}), STX, ends, 260, TCheckKind::LrcCheck), 0, 8, ETX);
}

TEST(FrameSearch, LengthLimitCountsStartThroughEndCharacter) {
  const TEndChars ends{ETB, ETX};
  const Bytes longest = CcmBlock(Filler(258));  // STX to ETX: 260 bytes
  ExpectFound(Search(longest, STX, ends, 260, TCheckKind::LrcCheck), 0, 259, ETX);
  const Bytes tooLong = CcmBlock(Filler(259));
  ExpectNotFound(Search(tooLong, STX, ends, 260, TCheckKind::LrcCheck), -1);  // left untouched
  ExpectFound(Search(tooLong, STX, ends, 261, TCheckKind::LrcCheck), 0, 260, ETX);
  ExpectFound(Search(tooLong, STX, ends, 0, TCheckKind::LrcCheck), 0, 260, ETX);
  // The good block behind an over-long one is found.
  ExpectFound(Search(Join({tooLong, longest}), STX, ends, 260, TCheckKind::LrcCheck), 262, 521, ETX);
}

TEST(FrameSearch, GivenUpBlockIsConsumedThroughItsLastFailedEnd) {
  const TEndChars ends{ETB, ETX};
  // A block that reached the limit with two failed ends, then filler without starts.
  Bytes dead = Join({{STX}, Filler(50), {ETX}, Filler(100), {ETB}, Filler(150)});
  ExpectNotFound(Search(dead, STX, ends, 260, TCheckKind::LrcCheck), 152);
  // The limit is only reached once the bytes through it (and the check byte) are buffered.
  ExpectNotFound(Search(Bytes(dead.begin(), dead.begin() + 260), STX, ends, 260, TCheckKind::LrcCheck), -1);
  ExpectNotFound(Search(Bytes(dead.begin(), dead.begin() + 261), STX, ends, 260, TCheckKind::LrcCheck), 152);
  // A later start that may still complete caps the consumption just before it, even when the
  // given-up block's failed ends reach into it.
  Bytes capped = Join({{STX}, Filler(50), {ETX}, Filler(50), {STX}, Filler(40), {ETB}, Filler(200)});
  // Start 102 has its limit at 361, so it is still open in these 344 bytes.
  ExpectNotFound(Search(capped, STX, ends, 260, TCheckKind::LrcCheck), 101);
  // Without a limit nothing is ever given up.
  ExpectNotFound(Search(dead, STX, ends, 0, TCheckKind::LrcCheck), -1);
  ExpectNotFound(Search(dead, STX, ends, -1, TCheckKind::LrcCheck), -1);
}

TEST(FrameSearch, NoiseAndBrokenFramesBeforeAGoodOne) {
  const TEndChars ends{ETB, ETX};
  const Bytes good = CcmBlock(Text("DATA"));
  const Bytes noise = {0x00, 0xFF, ETX, ETB, 0x41, NAK, ACK};
  ExpectFound(Search(Join({noise, good}), STX, ends, 260, TCheckKind::LrcCheck), 7, 12, ETX);
  Bytes broken = CcmBlock(Text("XYZ"));
  broken.back() ^= 0x55;
  ExpectFound(Search(Join({broken, good}), STX, ends, 260, TCheckKind::LrcCheck), 6, 11, ETX);
  ExpectFound(Search(Join({broken, good}), STX, ends, 0, TCheckKind::LrcCheck), 6, 11, ETX);
  // The lowest start wins even when a later start's frame ends first.
  Bytes outer = Join({{STX}, Text("ab"), good, Text("cd"), {ETX}});
  outer.push_back(Lrc(outer.data(), outer.size()));
  ExpectFound(Search(outer, STX, ends, 260, TCheckKind::LrcCheck), 0, 12, ETX);
  ExpectFound(Search(outer, STX, ends, 13, TCheckKind::LrcCheck), 0, 12, ETX);
  // A frame that passes its check beyond the length limit of its start does not count.
  ExpectFound(Search(outer, STX, ends, 12, TCheckKind::LrcCheck), 3, 8, ETX);
}

TEST(FrameSearch, SnpXDataHoldingEtbIsFoundWhenComplete) {
  const Bytes body = Join({{0x81, 0, 0, 0, 0, 0x08, 0}, {0x31, ETB, 0x33, ETB, 0x35}});
  const Bytes frame = SnpXFrame(0x58, body);
  const int32_t realEnd = static_cast<int32_t>(frame.size()) - 6;
  for (int32_t maxLength : {0, 1100}) {
    SCOPED_TRACE(maxLength);
    for (std::size_t cut = 1; cut < frame.size(); ++cut)
      ExpectNotFound(Search(Bytes(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(cut)), ESC,
                            {ETB}, maxLength, TCheckKind::BccBinary),
                     -1);
    ExpectFound(Search(frame, ESC, {ETB}, maxLength, TCheckKind::BccBinary), 0, realEnd, ETB);
    ExpectFound(Search(Join({Filler(3, ETB), frame, {0x00}}), ESC, {ETB}, maxLength, TCheckKind::BccBinary),
                3, realEnd + 3, ETB);
  }
}

TEST(FrameSearch, EndCharacterOrderDoesNotChangeTheNearestEnd) {
  const Bytes twoEnds = Join({CcmBlock(Text("A"), ETB), CcmBlock(Text("B"), ETX)});
  ExpectFound(Search(twoEnds, STX, {ETB, ETX}, 260, TCheckKind::LrcCheck), 0, 2, ETB);
  ExpectFound(Search(twoEnds, STX, {ETX, ETB}, 260, TCheckKind::LrcCheck), 0, 2, ETB);
  // Without ETB the first block is data of a longer one, and two good blocks in a row always
  // make one good block (their checks cancel out): the first start still wins.
  ExpectFound(Search(twoEnds, STX, {ETX}, 260, TCheckKind::LrcCheck), 0, 6, ETX);
  ExpectFound(Search(twoEnds, STX, {ETX, ETX}, 260, TCheckKind::LrcCheck), 0, 6, ETX);
  ExpectFound(Search(twoEnds, STX, {ETX}, 6, TCheckKind::LrcCheck), 4, 6, ETX);
  // Mailbox acknowledgement: ACK then 0x00, where 0x00 is the only end.
  ExpectFound(Search({ACK, 0x41, 0x00}, ACK, {0x00}, 0, TCheckKind::NoCheck), 0, 2, 0x00);
}

// Whatever a search answers lies within the bytes it was given, trailer included.
void ExpectWithin(const TFrameMatch& match, std::size_t size, TCheckKind check) {
  const int32_t trailer = TrailerLength(check);
  if (match.Found()) {
    EXPECT_LT(match.End + trailer, static_cast<int32_t>(size));
  } else {
    EXPECT_LT(match.End, static_cast<int32_t>(size));
  }
}

TEST(FrameSearch, TrailerIsNeverReadBeyondTheBuffer) {
  const Bytes frame = SnpXFrame(0x58, Filler(16, 0));
  for (TCheckKind check : {TCheckKind::BccBinary, TCheckKind::BccHex, TCheckKind::LrcCheck}) {
    for (std::size_t cut = 0; cut <= frame.size(); ++cut) {
      SCOPED_TRACE(std::to_string(static_cast<int>(check)) + ", " + std::to_string(cut) + " bytes");
      TFrameMatch match = Search(Bytes(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(cut)), ESC,
                                 {ETB}, 0, check);
      ExpectWithin(match, cut, check);
      // The frame is found only once its check byte is there.
      if (check == TCheckKind::BccBinary) {
        EXPECT_EQ(match.Found(), cut == frame.size());
      }
    }
  }
  // An end character that is the start character too.
  for (TCheckKind check : {TCheckKind::BccBinary, TCheckKind::BccHex}) {
    for (int32_t limit : {7, 0}) {
      ExpectWithin(Search(Filler(40, ESC), ESC, {ESC}, limit, check), 40, check);
    }
  }
}

TEST(FrameSearch, OverTheFifoUnreadBytesUnderItsLock) {
  TFIFOStream fifo(64, true, 8);
  const Bytes stale = {STX, 0x41, ETX, 0x00};
  const Bytes good = CcmBlock(Text("OK"));
  fifo.Write(stale.data(), static_cast<int32_t>(stale.size()));
  fifo.Write(good.data(), static_cast<int32_t>(good.size()));
  ExpectFound(FindFrame(fifo, STX, {ETB, ETX}, 260, TCheckKind::LrcCheck), 4, 7, ETX);
  EXPECT_FALSE(fifo.UnlockWrite());  // the search let go of its lock
  fifo.Discard(2);                   // positions count from the oldest unread byte
  ExpectFound(FindFrame(fifo, STX, {ETB, ETX}, 260, TCheckKind::LrcCheck), 2, 5, ETX);
  fifo.Clear();
  ExpectNotFound(FindFrame(fifo, STX, {ETB, ETX}, 260, TCheckKind::LrcCheck), -1);
  EXPECT_FALSE(fifo.UnlockWrite());
  // Full FIFO: the last byte is the check byte of a frame.
  Bytes full = Join({Filler(64 - good.size(), 0x00), good});
  fifo.Write(full.data(), 64);
  ExpectFound(FindFrame(fifo, STX, {ETB, ETX}, 260, TCheckKind::LrcCheck), 59, 62, ETX);
}

// Random and adversarial buffers against the plain search: every check, with and without a
// length limit, one and two end characters.
namespace {

const uint8_t kControl[] = {STX, ETX, ETB, ESC, ACK, NAK, 0x00};

class TBufferMaker {
public:
  explicit TBufferMaker(uint32_t seed) : FRandom(seed) {}

  int Below(int bound) { return static_cast<int>(FRandom() % static_cast<uint32_t>(bound)); }
  uint8_t Byte() {
    return Below(10) < 7 ? kControl[Below(static_cast<int>(std::size(kControl)))]
                         : static_cast<uint8_t>(FRandom());
  }
  Bytes Noise(int count) {
    Bytes out;
    for (int k = 0; k < count; ++k) out.push_back(Byte());
    return out;
  }
  // A frame that passes its check, sometimes with one byte changed.
  Bytes Frame(uint8_t start, uint8_t end, TCheckKind check) {
    Bytes frame = Join({{start}, Noise(Below(12)), {end}});
    if (check == TCheckKind::LrcCheck) frame.push_back(Lrc(frame.data(), frame.size()));
    if (check == TCheckKind::BccBinary) {
      frame.insert(frame.end(), {0, 0, 0, 0});
      frame.push_back(SnpBcc(frame.data(), frame.size()));
    }
    if (check == TCheckKind::BccHex) {
      frame.insert(frame.end(), {0, 0, 0});
      static const char kHex[] = "0123456789ABCDEF";
      const uint8_t bcc = SnpBcc(frame.data(), frame.size());
      frame.insert(frame.end(), {static_cast<uint8_t>(kHex[bcc >> 4]), static_cast<uint8_t>(kHex[bcc & 15])});
    }
    if (Below(4) == 0) frame[static_cast<std::size_t>(Below(static_cast<int>(frame.size())))] ^= 0x01;
    return frame;
  }
  Bytes Buffer(uint8_t start, uint8_t end, TCheckKind check, int maxSize) {
    Bytes out;
    while (static_cast<int>(out.size()) < maxSize) {
      Bytes part = Below(3) == 0 ? Frame(start, end, check) : Noise(1 + Below(8));
      out.insert(out.end(), part.begin(), part.end());
    }
    out.resize(static_cast<std::size_t>(Below(maxSize + 1)));  // often a partial frame at the end
    return out;
  }

private:
  std::mt19937 FRandom;
};

const TCheckKind kChecks[] = {TCheckKind::NoCheck, TCheckKind::LrcCheck, TCheckKind::BccHex,
                              TCheckKind::BccBinary};

}  // namespace

TEST(FrameSearch, AgreesWithThePlainSearchOnRandomBuffers) {
  TBufferMaker maker(20240611);
  const int32_t limits[] = {0, -3, 1, 2, 3, 4, 7, 12, 30, 260};
  int found = 0, consumed = 0;
  for (int round = 0; round < 30000; ++round) {
    const TCheckKind check = kChecks[maker.Below(4)];
    const uint8_t start = maker.Below(4) == 0 ? maker.Byte() : kControl[maker.Below(4)];
    const uint8_t end = maker.Below(4) == 0 ? maker.Byte() : kControl[maker.Below(4)];
    TEndChars ends;
    const int count = maker.Below(8) == 0 ? 0 : 1 + maker.Below(2);
    if (count >= 1) ends = TEndChars{end};
    if (count == 2) ends = TEndChars{maker.Byte(), end};
    const int32_t maxLength = maker.Below(5) == 0 ? 1 + maker.Below(40) : limits[maker.Below(10)];
    const int maxSize = maker.Below(10) == 0 ? 200 : 40;
    const Bytes buffer = maker.Buffer(start, end, check, maxSize);
    SCOPED_TRACE(testing::Message() << "round " << round);
    const TFrameMatch match = Search(buffer, start, ends, maxLength, check);
    found += match.Found();
    consumed += !match.Found() && match.End >= 0;
    if (HasFailure()) break;
  }
  // The generator must reach every kind of outcome, or the comparison proves little.
  EXPECT_GT(found, 10000);
  EXPECT_GT(consumed, 2000);
}

TEST(FrameSearch, AgreesWithThePlainSearchOnAdversarialBuffers) {
  const uint8_t runBytes[] = {ESC, ETB, STX, ETX};
  for (int pattern = 0; pattern < 24; ++pattern) {
    // Runs of control bytes of lengths 1 to 6, in a few interleavings.
    Bytes buffer;
    for (int k = 0; static_cast<int>(buffer.size()) < 300; ++k) {
      const int runLength = 1 + (k * (pattern + 1)) % 6;
      buffer.insert(buffer.end(), static_cast<std::size_t>(runLength),
                    runBytes[(k + pattern) % (2 + pattern % 3)]);
    }
    for (TCheckKind check : kChecks)
      for (int32_t maxLength : {0, 3, 29, 260})
        for (uint8_t start : {ESC, STX})
          for (TEndChars ends : {TEndChars{ETB}, TEndChars{ETB, ETX}, TEndChars{ETX, ESC}}) {
            SCOPED_TRACE(testing::Message() << "pattern " << pattern << " limit " << maxLength);
            Search(buffer, start, ends, maxLength, check);
            if (HasFailure()) return;
          }
  }
}

// --- frames of known length ------------------------------------------------------------------

namespace {

TFrameLengths FixedLength(const uint8_t*, int32_t, int32_t, const void* context) {
  TFrameLengths lengths;
  lengths.Count = 1;
  lengths.Length[0] = *static_cast<const int32_t*>(context);
  return lengths;
}

// Two candidate lengths where the byte after the start is 'T', none known before it arrives, and
// no frame at all for another byte.
TFrameLengths TypedLength(const uint8_t* data, int32_t size, int32_t start, const void*) {
  TFrameLengths lengths;
  if (start + 1 >= size) return lengths;
  if (data[start + 1] != 'T') {
    lengths.Count = -1;
    return lengths;
  }
  lengths.Count = 2;
  lengths.Length[0] = 5;
  lengths.Length[1] = 8;
  return lengths;
}

// The sized search tried the plain way: every start, the check computed from scratch.
TFrameMatch PlainSized(const Bytes& b, uint8_t startChar, TEndChars ends, int32_t length, TCheckKind check) {
  const int32_t n = static_cast<int32_t>(b.size());
  const int32_t t = TrailerLength(check);
  int32_t lowestLive = -1;
  bool failed = false;
  for (int32_t s = 0; s < n; ++s) {
    if (b[s] != startChar) continue;
    const int32_t e = s + length - 1;
    if (e + t > n - 1) {
      if (lowestLive < 0) lowestLive = s;
      continue;
    }
    bool endOk = b[e] == ends.Chars[0] || (ends.Count > 1 && b[e] == ends.Chars[1]);
    bool pass = false;
    if (check == TCheckKind::LrcCheck) pass = Lrc(&b[s], static_cast<size_t>(e - s + 1)) == b[e + 1];
    if (check == TCheckKind::BccBinary) pass = SnpBcc(&b[s], static_cast<size_t>(e - s + 5)) == b[e + 5];
    if (check == TCheckKind::BccHex) {
      static const char digits[] = "0123456789ABCDEF";
      uint8_t bcc = SnpBcc(&b[s], static_cast<size_t>(e - s + 4));
      pass = b[e + 4] == digits[bcc >> 4] && b[e + 5] == digits[bcc & 15];
    }
    if (endOk && pass) return {s, e, b[e]};
    if (lowestLive < 0) failed = true;
  }
  TFrameMatch none;
  if (failed) none.End = (lowestLive >= 0 ? lowestLive : n) - 1;
  return none;
}

}  // namespace

TEST(SizedFrameSearch, CcmBlockCheckUnderEitherReading) {
  const Bytes data = {0x41, 0x03, 0x17, 0x42};
  int32_t length = 6;
  Bytes framed = CcmBlock(data);
  Bytes dataOnly = Join({{STX}, data, {ETX, Lrc(data.data(), data.size())}});
  Bytes neither = Join({{STX}, data, {ETX, static_cast<uint8_t>(Lrc(data.data(), data.size()) ^ 0x40)}});
  TFrameMatch m =
      FindSizedFrameIn(framed.data(), 7, STX, {ETX}, &FixedLength, &length, TCheckKind::LrcEither);
  EXPECT_TRUE(m.Found());
  EXPECT_FALSE(m.DataOnlyCheck);
  m = FindSizedFrameIn(dataOnly.data(), 7, STX, {ETX}, &FixedLength, &length, TCheckKind::LrcEither);
  EXPECT_TRUE(m.Found());
  EXPECT_TRUE(m.DataOnlyCheck);
  m = FindSizedFrameIn(neither.data(), 7, STX, {ETX}, &FixedLength, &length, TCheckKind::LrcEither);
  EXPECT_FALSE(m.Found());
  EXPECT_EQ(m.End, 6);
  EXPECT_EQ(m.CheckFailures, 1);
  // The plain check takes the framed reading only.
  EXPECT_FALSE(
      FindSizedFrameIn(dataOnly.data(), 7, STX, {ETX}, &FixedLength, &length, TCheckKind::LrcCheck).Found());
}

TEST(SizedFrameSearch, OnlyTheFrameOfTheGivenLengthIsTaken) {
  // STX, data 03 01, ETX, LRC: the shorter "block" 02 03 | 01 passes its check too.
  const Bytes block = {STX, 0x03, 0x01, ETX, 0x03};
  int32_t length = 4;
  TFrameMatch m = FindSizedFrameIn(block.data(), 5, STX, {ETX}, &FixedLength, &length, TCheckKind::LrcCheck);
  EXPECT_TRUE(m.Found());
  EXPECT_EQ(m.End, 3);
  // Still arriving: nothing is taken and nothing consumed.
  m = FindSizedFrameIn(block.data(), 3, STX, {ETX}, &FixedLength, &length, TCheckKind::LrcCheck);
  EXPECT_FALSE(m.Found());
  EXPECT_EQ(m.End, -1);
  // Whole but broken: consumed up to the next start that may still complete.
  const Bytes broken = {0x55, STX, 0x03, 0x01, ETX, 0x01, 0x66, STX, 0x03};
  m = FindSizedFrameIn(broken.data(), 9, STX, {ETX}, &FixedLength, &length, TCheckKind::LrcCheck);
  EXPECT_FALSE(m.Found());
  EXPECT_EQ(m.End, 6);
  m = FindSizedFrameIn(broken.data(), 6, STX, {ETX}, &FixedLength, &length, TCheckKind::LrcCheck);
  EXPECT_EQ(m.End, 5);

  // Two candidate lengths; a start of another kind is given up; one whose kind is not known yet
  // is kept.
  Bytes text = {ESC, 'Q', 0, 0, ESC, 'T', 1, 2, ETB};
  text.resize(14, 0);
  text[13] = SnpBcc(&text[4], 9);
  m = FindSizedFrameIn(text.data(), 14, ESC, {ETB}, &TypedLength, nullptr, TCheckKind::BccBinary);
  EXPECT_EQ(m.Start, 4);
  EXPECT_EQ(m.End, 8);
  m = FindSizedFrameIn(text.data(), 5, ESC, {ETB}, &TypedLength, nullptr, TCheckKind::BccBinary);
  EXPECT_EQ(m.End, 3) << "the 'Q' frame goes, the start at 4 stays";
}

TEST(SizedFrameSearch, AgreesWithThePlainWayOnRandomBuffers) {
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7FFF;
  };
  const uint8_t favourite[] = {STX, ETX, ETB, ESC, 0x00, 0x41};
  int found = 0;
  for (int round = 0; round < 20000; ++round) {
    Bytes buffer(static_cast<size_t>(1 + next() % 40));
    for (uint8_t& byte : buffer) byte = next() % 3 ? favourite[next() % 6] : static_cast<uint8_t>(next());
    const TCheckKind check = kChecks[next() % 3 + 1];
    int32_t length = static_cast<int32_t>(2 + next() % 10);
    const TEndChars ends = next() % 2 ? TEndChars{ETX} : TEndChars{ETB, ETX};
    const uint8_t start = next() % 2 ? STX : ESC;
    const int32_t n = static_cast<int32_t>(buffer.size());
    const int32_t t = TrailerLength(check);
    if (next() % 2 && n >= length + t) {
      // Plant a frame that passes somewhere, so that finds are tried as often as failures.
      const int32_t at = static_cast<int32_t>(next() % static_cast<uint32_t>(n - length - t + 1));
      const int32_t e = at + length - 1;
      buffer[static_cast<size_t>(at)] = start;
      buffer[static_cast<size_t>(e)] = ends.Chars[next() % static_cast<uint32_t>(ends.Count)];
      if (check == TCheckKind::LrcCheck)
        buffer[static_cast<size_t>(e + 1)] = Lrc(&buffer[at], static_cast<size_t>(length));
      if (check == TCheckKind::BccBinary)
        buffer[static_cast<size_t>(e + 5)] = SnpBcc(&buffer[at], static_cast<size_t>(length + 4));
      if (check == TCheckKind::BccHex) {
        static const char digits[] = "0123456789ABCDEF";
        const uint8_t bcc = SnpBcc(&buffer[at], static_cast<size_t>(length + 3));
        buffer[static_cast<size_t>(e + 4)] = static_cast<uint8_t>(digits[bcc >> 4]);
        buffer[static_cast<size_t>(e + 5)] = static_cast<uint8_t>(digits[bcc & 15]);
      }
    }
    const TFrameMatch fast = FindSizedFrameIn(buffer.data(), n, start, ends, &FixedLength, &length, check);
    const TFrameMatch plain = PlainSized(buffer, start, ends, length, check);
    ASSERT_EQ(fast.Start, plain.Start) << "round " << round;
    ASSERT_EQ(fast.End, plain.End) << "round " << round;
    found += fast.Found();
  }
  EXPECT_GT(found, 3000);
}

TEST(FrameSearch, SpoiledFramesAreCountedWhereTheyAreGivenUp) {
  int32_t length = 4;
  auto sized = [&length](const Bytes& b) {
    return FindSizedFrameIn(b.data(), static_cast<int32_t>(b.size()), STX, {ETX}, &FixedLength, &length,
                            TCheckKind::LrcCheck);
  };
  const Bytes good = CcmBlock({0x11, 0x22});
  Bytes spoiled = good;
  spoiled.back() ^= 0x40;
  EXPECT_EQ(sized(good).CheckFailures, 0);
  TFrameMatch m = sized(spoiled);
  EXPECT_EQ(m.End, 4);
  EXPECT_EQ(m.CheckFailures, 1);
  m = sized(Join({spoiled, spoiled, good}));
  EXPECT_EQ(m.Start, 10);
  EXPECT_EQ(m.CheckFailures, 2) << "both spoiled copies go with the good frame after them";
  m = sized(Join({spoiled, {STX, 0x11}}));
  EXPECT_EQ(m.End, 4) << "the start still arriving stays";
  EXPECT_EQ(m.CheckFailures, 1);
  Bytes wrongEnd = good;
  wrongEnd[3] = 0x7F;
  EXPECT_EQ(sized(wrongEnd).CheckFailures, 0) << "a frame without its end character is no spoiled check";
  EXPECT_EQ(sized({STX, 0x11}).CheckFailures, 0);

  // The unsized search gives a spoiled block up once it can no longer grow.
  m = Search(spoiled, STX, {ETX}, 4, TCheckKind::LrcCheck);
  EXPECT_EQ(m.End, 3);
  EXPECT_EQ(m.CheckFailures, 1);
  EXPECT_EQ(Search(Join({spoiled, {0x41}}), STX, {ETX}, 0, TCheckKind::LrcCheck).CheckFailures, 0)
      << "without a limit it may still complete";
  EXPECT_EQ(Search({ACK, NAK, 0x41}, 'N', {ACK, NAK}, 3, TCheckKind::NoCheck).CheckFailures, 0);
}
