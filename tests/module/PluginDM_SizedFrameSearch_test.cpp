// The sized frame search that goes on from one data call to the next: whatever the pieces the
// bytes come in, every call answers as the search over all the buffered bytes at once does, and
// the bytes already searched are not searched again.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "module/PluginDM_FrameSearch.h"

using namespace kelda;
using Bytes = std::vector<uint8_t>;

namespace {

// The rules a caller may give, each counting how often it is asked.
struct TRuleContext {
  int32_t Length = 0;
  int64_t Calls = 0;
};

TFrameLengths FixedLength(const uint8_t*, int32_t, int32_t, const void* context) {
  auto& c = *const_cast<TRuleContext*>(static_cast<const TRuleContext*>(context));
  ++c.Calls;
  TFrameLengths lengths;
  lengths.Count = 1;
  lengths.Length[0] = c.Length;
  return lengths;
}

// As an SNP-X response: the length stands in the frame (the byte after the type), unknown until
// it arrives; a type other than 'X' starts no frame.
TFrameLengths LengthField(const uint8_t* data, int32_t size, int32_t start, const void* context) {
  auto& c = *const_cast<TRuleContext*>(static_cast<const TRuleContext*>(context));
  ++c.Calls;
  TFrameLengths lengths;
  if (start + 1 >= size) return lengths;
  if (data[start + 1] != 'X') {
    lengths.Count = -1;
    return lengths;
  }
  if (start + 2 >= size) return lengths;
  lengths.Count = 1;
  lengths.Length[0] = 4 + data[start + 2] % 24;
  return lengths;
}

// As an SNP text buffer: two candidate lengths, the shorter first.
TFrameLengths TwoLengths(const uint8_t*, int32_t, int32_t, const void* context) {
  auto& c = *const_cast<TRuleContext*>(static_cast<const TRuleContext*>(context));
  ++c.Calls;
  TFrameLengths lengths;
  lengths.Count = 2;
  lengths.Length[0] = c.Length;
  lengths.Length[1] = c.Length + 5;
  return lengths;
}

struct TRuleCase {
  const char* Name;
  TFrameLengthRule Rule;
};
const TRuleCase kRules[] = {
    {"fixed", &FixedLength}, {"length field", &LengthField}, {"two lengths", &TwoLengths}};
const TCheckKind kChecks[] = {TCheckKind::NoCheck, TCheckKind::LrcCheck, TCheckKind::LrcEither,
                              TCheckKind::BccBinary, TCheckKind::BccHex};

void Seal(Bytes& frame, int32_t start, int32_t end, TCheckKind check, bool dataOnly) {
  auto* f = frame.data();
  switch (check) {
    case TCheckKind::NoCheck:
      break;
    case TCheckKind::LrcCheck:
      f[end + 1] = Lrc(f + start, static_cast<size_t>(end - start + 1));
      break;
    case TCheckKind::LrcEither:
      f[end + 1] = dataOnly ? Lrc(f + start + 1, static_cast<size_t>(end - start - 1))
                            : Lrc(f + start, static_cast<size_t>(end - start + 1));
      break;
    case TCheckKind::BccBinary:
      f[end + 5] = SnpBcc(f + start, static_cast<size_t>(end - start + 5));
      break;
    case TCheckKind::BccHex: {
      static const char digits[] = "0123456789ABCDEF";
      const uint8_t bcc = SnpBcc(f + start, static_cast<size_t>(end - start + 4));
      f[end + 4] = static_cast<uint8_t>(digits[bcc >> 4]);
      f[end + 5] = static_cast<uint8_t>(digits[bcc & 15]);
      break;
    }
  }
}

// A stream of frames that pass, frames with one bit flipped, and noise rich in the framing bytes.
Bytes Stream(std::mt19937& random, const TRuleCase& rule, int32_t fixed, TCheckKind check) {
  const uint8_t favourite[] = {ESC, ETB, 'X', 0x00, 0x41, STX};
  auto pick = [&random](uint32_t n) { return static_cast<uint32_t>(random() % n); };
  const int32_t trailer = TrailerLength(check);
  Bytes stream;
  const uint32_t pieces = 1 + pick(6);
  for (uint32_t p = 0; p < pieces; ++p) {
    if (pick(3) == 0) {
      for (uint32_t k = pick(12); k > 0; --k)
        stream.push_back(pick(2) ? favourite[pick(6)] : uint8_t(random()));
      continue;
    }
    int32_t length = fixed;
    if (rule.Rule == &TwoLengths && pick(2)) length += 5;
    Bytes frame(static_cast<size_t>(std::max(length, 4) + trailer));
    for (uint8_t& b : frame) b = pick(2) ? favourite[pick(6)] : uint8_t(random());
    frame[0] = ESC;
    if (rule.Rule == &LengthField) {
      frame[1] = 'X';
      length = 4 + static_cast<int32_t>(pick(24));
      frame[2] = static_cast<uint8_t>(length - 4);
      frame.resize(static_cast<size_t>(length + trailer));
    }
    const int32_t end = length - 1;
    frame[static_cast<size_t>(end)] = ETB;
    Seal(frame, 0, end, check, pick(2));
    if (pick(3) == 0) frame[pick(static_cast<uint32_t>(frame.size()))] ^= static_cast<uint8_t>(1u << pick(8));
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  return stream;
}

// What a handler gives up of a result: a found frame through its trailer, else what the result
// gives up.
int32_t Consumed(const TFrameMatch& m, TCheckKind check) {
  return m.Found() ? m.End + TrailerLength(check) : m.ConsumedThrough();
}

TEST(SizedFrameSearch, GoingOnFromCallToCallAnswersAsTheWholeSearchDoes) {
  std::mt19937 random(20240611);
  int found = 0;
  int givenUp = 0;
  int arriving = 0;
  for (int round = 0; round < 6000; ++round) {
    const TRuleCase& rule = kRules[round % 3];
    const TCheckKind check = kChecks[(round / 3) % 5];
    TRuleContext context;
    context.Length = 2 + static_cast<int32_t>(random() % 20);
    const Bytes stream = Stream(random, rule, context.Length, check);
    SCOPED_TRACE(std::string(rule.Name) + ", round " + std::to_string(round));
    TSizedFrameSearch search;
    Bytes buffer;
    uint64_t origin = 1000;
    for (size_t at = 0; at < stream.size();) {
      const size_t chunk = random() % 4 == 0 ? 1 + random() % 40 : 1 + random() % 3;
      const size_t end = std::min(stream.size(), at + chunk);
      buffer.insert(buffer.end(), stream.begin() + static_cast<long>(at),
                    stream.begin() + static_cast<long>(end));
      at = end;
      // As the receive loop: search, consume, and again while bytes remain.
      while (!buffer.empty()) {
        const auto size = static_cast<int32_t>(buffer.size());
        const TFrameMatch whole =
            FindSizedFrameIn(buffer.data(), size, ESC, {ETB}, rule.Rule, &context, check);
        const TFrameMatch going =
            search.Find(buffer.data(), size, origin, ESC, {ETB}, rule.Rule, &context, check);
        ASSERT_EQ(going.Start, whole.Start);
        ASSERT_EQ(going.End, whole.End);
        ASSERT_EQ(going.EndChar, whole.EndChar);
        ASSERT_EQ(going.CheckFailures, whole.CheckFailures);
        ASSERT_EQ(going.DataOnlyCheck, whole.DataOnlyCheck);
        found += going.Found() ? 1 : 0;
        const int32_t consumed = Consumed(going, check);
        if (consumed < 0) {
          // Nothing to consume: the lowest start still waiting is the frame that is arriving.
          const TFrameProgress progress = search.Progress(origin, size);
          if (rule.Rule == &FixedLength) {
            int32_t expected = -1;
            for (int32_t p = 0; p < size && expected < 0; ++p)
              if (buffer[static_cast<size_t>(p)] == ESC &&
                  p + context.Length - 1 + TrailerLength(check) > size - 1)
                expected = p;
            ASSERT_EQ(progress.Start, expected);
            if (expected >= 0) {
              EXPECT_EQ(progress.Have, size - expected);
              EXPECT_EQ(progress.Length, context.Length + TrailerLength(check));
            }
          }
          arriving += progress.Arriving() ? 1 : 0;
          break;
        }
        givenUp += going.Found() ? 0 : 1;
        buffer.erase(buffer.begin(), buffer.begin() + consumed + 1);
        origin += static_cast<uint64_t>(consumed) + 1;
        EXPECT_FALSE(search.Progress(origin, static_cast<int32_t>(buffer.size())).Arriving())
            << "nothing is known of bytes not searched since";
      }
    }
  }
  EXPECT_GT(found, 5000);
  EXPECT_GT(givenUp, 2000);
  EXPECT_GT(arriving, 20000);
}

// As an SNP-X response of any length: the length in the two bytes after the type, low byte first.
TFrameLengths WordLength(const uint8_t* data, int32_t size, int32_t start, const void* context) {
  auto& c = *const_cast<TRuleContext*>(static_cast<const TRuleContext*>(context));
  ++c.Calls;
  TFrameLengths lengths;
  if (start + 3 >= size) return lengths;
  lengths.Count = 1;
  lengths.Length[0] = 5 + (data[start + 2] | data[start + 3] << 8);
  return lengths;
}

// A long frame handed over a byte per call: its starts are asked about once each (and the ones
// whose kind is not known yet once more per call until it is), not once per call.
TEST(SizedFrameSearch, ALongFrameCostsTheSameHoweverItIsSplit) {
  // 8 KB of data with a false start every 64 bytes whose own length points far ahead, as
  // register data may hold.
  Bytes frame = {ESC, 'X', 0, 0};
  for (int k = 0; k < 8192; ++k) {
    const uint8_t falseStart[] = {ESC, 'X', 0xFF, 0x7F};
    frame.push_back(k % 64 < 4 ? falseStart[k % 64] : static_cast<uint8_t>(k));
  }
  frame[2] = static_cast<uint8_t>((frame.size() - 4) & 0xFF);
  frame[3] = static_cast<uint8_t>((frame.size() - 4) >> 8);
  frame.push_back(ETB);
  const auto end = static_cast<int32_t>(frame.size()) - 1;
  frame.resize(frame.size() + 5);
  Seal(frame, 0, end, TCheckKind::BccBinary, false);
  int64_t starts = 0;
  for (uint8_t b : frame) starts += b == ESC ? 1 : 0;

  TRuleContext context;
  TSizedFrameSearch search;
  TFrameMatch m;
  for (int32_t size = 1; size <= static_cast<int32_t>(frame.size()) && !m.Found(); ++size) {
    m = search.Find(frame.data(), size, 0, ESC, {ETB}, &WordLength, &context, TCheckKind::BccBinary);
    ASSERT_EQ(m.End >= 0, m.Found()) << "nothing is given up on the way";
  }
  EXPECT_EQ(m.Start, 0);
  EXPECT_EQ(m.End, end);
  EXPECT_LE(context.Calls, 4 * starts) << "the rule was asked again for starts already known";

  // The whole search over every prefix asks about every start again at every call.
  TRuleContext plain;
  for (int32_t size = 1; size <= 2000; ++size)
    FindSizedFrameIn(frame.data(), size, ESC, {ETB}, &WordLength, &plain, TCheckKind::BccBinary);
  EXPECT_GT(plain.Calls, 20 * starts);
}

}  // namespace
