#include "module/PluginDM_FrameSearch.h"

#include <algorithm>
#include <array>
#include <functional>
#include <limits>
#include <map>
#include <vector>

#include "Common/FIFOStream.h"

namespace kelda {

namespace {

uint8_t RotateLeft(uint8_t value, unsigned bits) {
  bits &= 7u;
  if (bits == 0) return value;
  return static_cast<uint8_t>((value << bits) | (value >> (8u - bits)));
}

uint8_t RotateRight(uint8_t value, unsigned bits) {
  return RotateLeft(value, 8u - (bits & 7u));
}

uint8_t SnpBccStep(uint8_t bcc, uint8_t byte) {
  return RotateLeft(static_cast<uint8_t>(bcc ^ byte), 1);
}

int HexDigitValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lower-case digits are not what the PLC writes
}

// Both checks are linear over GF(2), so the check of start..m follows from running values over
// 0..m: Lrc(i..m) = X(m) ^ X(i-1) with X the running exclusive-or, and
// SnpBcc(i..m) = B(m) ^ rotl^(m-i+1)(B(i-1)) with B the running SnpBcc. A start therefore gets a
// key that depends on its own position only, and an end candidate a target that depends on the
// end only: the check passes exactly when key == target. Starts are filed by key, so an end
// finds its lowest usable start without looking at any other.
class TFrameScanner {
public:
  TFrameScanner(const uint8_t* data, int32_t size, uint8_t startChar, TEndChars endChars, int32_t maxLength,
                TCheckKind check)
      : FData(data),
        FSize(size),
        FStartChar(startChar),
        FEndChars(endChars),
        FCheck(check),
        FLastEnd(size - 1 - TrailerLength(check)),
        FLimited(maxLength > 0),
        // An end is tried before the length is compared, so the first end after a start is
        // always tried, whatever the limit.
        FSpan(std::max<int32_t>(maxLength, 2)) {}

  TFrameMatch Run();

private:
  bool IsEnd(uint8_t byte) const {
    for (int k = 0; k < FEndChars.Count; ++k)
      if (byte == FEndChars.Chars[k]) return true;
    return false;
  }
  // A start whose scan reached the length limit within the buffered bytes can never complete.
  bool IsDeadStart(int32_t start) const { return FLimited && Reach(start) <= FLastEnd; }
  // The farthest end a start may have (64-bit: the limit may be as large as an int32 goes).
  int64_t Reach(int32_t start) const { return int64_t{start} + FSpan - 1; }

  uint8_t StartKey(int32_t start) const;
  bool EndTarget(int32_t end, uint8_t& target) const;
  void FileStart(int32_t start);
  int32_t LowestStartFor(uint8_t target, int32_t end);
  TFrameMatch NothingFound() const;

  const uint8_t* FData;
  int32_t FSize;
  uint8_t FStartChar;
  TEndChars FEndChars;
  TCheckKind FCheck;
  int32_t FLastEnd;  // the last position whose trailer is buffered in full
  bool FLimited;
  int32_t FSpan;

  uint8_t FRunning = 0;  // X or B over 0..(the byte before the position being filed)
  std::array<int32_t, 256> FHead{};
  std::array<int32_t, 256> FTail{};
  std::vector<int32_t> FNext;  // next start with the same key, per start position
};

// Key of a start at position `start`, from the running value over 0..start-1.
uint8_t TFrameScanner::StartKey(int32_t start) const {
  switch (FCheck) {
    case TCheckKind::LrcCheck:
    case TCheckKind::LrcEither:  // not used here: FindFrameIn searches under LrcCheck instead
      return FRunning;
    case TCheckKind::BccHex:
    case TCheckKind::BccBinary:
      return RotateRight(FRunning, static_cast<unsigned>(start));
    case TCheckKind::NoCheck:
      break;
  }
  return 0;
}

// Target of the end candidate `end`, from the running value over 0..end-1 (the same one the
// start keys came from) carried on through the bytes the check covers. False when no start can
// pass at this end (a hex check whose trailer is no upper-case hex number).
bool TFrameScanner::EndTarget(int32_t end, uint8_t& target) const {
  const uint8_t* p = FData + end;
  uint8_t running = FRunning;
  switch (FCheck) {
    case TCheckKind::NoCheck:
      target = 0;
      return true;
    case TCheckKind::LrcCheck:
    case TCheckKind::LrcEither:
      target = static_cast<uint8_t>(running ^ p[0] ^ p[1]);
      return true;
    case TCheckKind::BccBinary:
      for (int k = 0; k <= 4; ++k) running = SnpBccStep(running, p[k]);
      target = RotateRight(static_cast<uint8_t>(running ^ p[5]), static_cast<unsigned>(end + 5));
      return true;
    case TCheckKind::BccHex: {
      const int high = HexDigitValue(p[4]);
      const int low = HexDigitValue(p[5]);
      if (high < 0 || low < 0) return false;
      for (int k = 0; k <= 3; ++k) running = SnpBccStep(running, p[k]);
      const auto written = static_cast<uint8_t>(high * 16 + low);
      target = RotateRight(static_cast<uint8_t>(running ^ written), static_cast<unsigned>(end + 4));
      return true;
    }
  }
  return false;
}

void TFrameScanner::FileStart(int32_t start) {
  const uint8_t key = StartKey(start);
  FNext[static_cast<std::size_t>(start)] = -1;
  if (FHead[key] < 0)
    FHead[key] = start;
  else
    FNext[static_cast<std::size_t>(FTail[key])] = start;
  FTail[key] = start;
}

// The lowest filed start with this key whose frame may still reach `end`. Starts too far back
// for this end are too far back for every later one, so they are dropped for good.
int32_t TFrameScanner::LowestStartFor(uint8_t target, int32_t end) {
  int32_t& head = FHead[target];
  if (FLimited)
    while (head >= 0 && end - head + 1 > FSpan) head = FNext[static_cast<std::size_t>(head)];
  return head;
}

TFrameMatch TFrameScanner::Run() {
  TFrameMatch found;
  FHead.fill(-1);
  FTail.fill(-1);
  FNext.assign(static_cast<std::size_t>(std::max<int32_t>(FLastEnd + 1, 0)), -1);
  for (int32_t end = 1; end <= FLastEnd; ++end) {
    const int32_t previous = end - 1;
    if (FData[previous] == FStartChar) FileStart(previous);
    FRunning = FCheck == TCheckKind::LrcCheck ? static_cast<uint8_t>(FRunning ^ FData[previous])
                                              : SnpBccStep(FRunning, FData[previous]);
    // Once no start below the one found can reach this far, nothing better can come.
    if (found.Found() && FLimited && end - found.Start + 1 > FSpan) break;
    uint8_t target = 0;
    if (!IsEnd(FData[end]) || !EndTarget(end, target)) continue;
    const int32_t start = LowestStartFor(target, end);
    if (start >= 0 && (!found.Found() || start < found.Start)) {
      found.Start = start;
      found.End = end;
      found.EndChar = FData[end];
    }
  }
  return found.Found() ? found : NothingFound();
}

// No start has a passing end. Only starts whose scan reached the length limit are given up: the
// bytes through their last failed end go, unless a start that may still complete lies among
// them; everything before that start is spent in any case.
TFrameMatch TFrameScanner::NothingFound() const {
  int32_t failedEnd = -1;
  int32_t firstFailedEnd = -1;
  int64_t reach = -1;  // the farthest end a given-up start tried
  int32_t lowestLive = -1;
  for (int32_t pos = 0; pos < FSize; ++pos) {
    if (pos > reach && lowestLive >= 0) break;  // no given-up start tried anything further
    const uint8_t byte = FData[pos];
    if (pos <= reach && IsEnd(byte)) {
      failedEnd = pos;
      if (firstFailedEnd < 0) firstFailedEnd = pos;
    }
    if (byte != FStartChar) continue;
    // Given-up starts all lie before the live ones: the limit is the same for every start.
    if (IsDeadStart(pos))
      reach = Reach(pos);
    else if (lowestLive < 0)
      lowestLive = pos;
  }
  TFrameMatch result;
  if (lowestLive >= 0) failedEnd = std::min(failedEnd, lowestLive - 1);
  result.End = std::max<int32_t>(failedEnd, -1);
  // Every end a given-up start reached was tried and failed; a search without a check has none.
  if (FCheck != TCheckKind::NoCheck && firstFailedEnd >= 0 && firstFailedEnd <= result.End)
    result.CheckFailures = 1;
  return result;
}

}  // namespace

uint8_t Lrc(const uint8_t* data, size_t size) {
  uint8_t lrc = 0;
  for (size_t k = 0; k < size; ++k) lrc ^= data[k];
  return lrc;
}

uint8_t SnpBcc(const uint8_t* data, size_t size) {
  uint8_t bcc = 0;
  for (size_t k = 0; k < size; ++k) bcc = SnpBccStep(bcc, data[k]);
  return bcc;
}

int TrailerLength(TCheckKind check) {
  switch (check) {
    case TCheckKind::NoCheck:
      return 0;
    case TCheckKind::LrcCheck:
    case TCheckKind::LrcEither:
      return 1;
    case TCheckKind::BccHex:
    case TCheckKind::BccBinary:
      return 5;
  }
  return 0;
}

int32_t TFrameMatch::ConsumedThrough() const {
  return Found() ? -1 : End;
}

TEndChars::TEndChars(std::initializer_list<uint8_t> chars) {
  for (uint8_t c : chars) {
    if (Count == 2) break;
    Chars[Count++] = c;
  }
}

TFrameMatch FindFrameIn(const uint8_t* data, int32_t size, uint8_t startChar, TEndChars endChars,
                        int32_t maxLength, TCheckKind check) {
  if (!data || size <= 0) return {};
  endChars.Count = std::clamp(endChars.Count, 0, 2);
  if (endChars.Count == 0) {
    // Without end characters the start byte is the whole answer.
    const int32_t lastStart = size - 1 - TrailerLength(check);
    for (int32_t pos = 0; pos <= lastStart; ++pos)
      if (data[pos] == startChar) return {pos, -1, 0};
    return {};
  }
  // The running keys of the unsized search serve one reading of a check only.
  if (check == TCheckKind::LrcEither) check = TCheckKind::LrcCheck;
  return TFrameScanner(data, size, startChar, endChars, maxLength, check).Run();
}

namespace {

// Checks of any range in constant time, from running values over the buffer: the exclusive-or
// of bytes i..j is X[j+1] ^ X[i]; the SNP check of i..j, begun afresh at i, is
// B[j+1] ^ rotl(B[i], j+1-i), since the rotation distributes over exclusive-or and eight
// rotations are none. The running values are extended only as far as a frame's end asks, so a
// call that finds no complete frame (most chunks of a long answer) computes none of them.
class TRangeChecks {
public:
  TRangeChecks(const uint8_t* data, TCheckKind check) : FData(data), FCheck(check) { FRunning.push_back(0); }
  uint8_t Range(int32_t first, int32_t last) const {
    Extend(last + 1);
    if (FCheck == TCheckKind::LrcCheck) return FRunning[last + 1] ^ FRunning[first];
    return FRunning[last + 1] ^ RotateLeft(FRunning[first], static_cast<unsigned>(last + 1 - first) & 7);
  }

private:
  void Extend(int32_t upTo) const {
    for (auto k = static_cast<int32_t>(FRunning.size()) - 1; k < upTo; ++k)
      FRunning.push_back(FCheck == TCheckKind::LrcCheck ? static_cast<uint8_t>(FRunning[k] ^ FData[k])
                                                        : SnpBccStep(FRunning[k], FData[k]));
  }

  const uint8_t* FData;
  TCheckKind FCheck;
  mutable std::vector<uint8_t> FRunning;
};

// Which reading of the check a sized frame passed under.
enum class TPass : uint8_t { Failed, Whole, DataOnly };

template <class TChecks>
TPass SizedFramePasses(const uint8_t* data, TChecks& checks, int32_t start, int32_t end, TCheckKind check) {
  const auto passes = [](bool ok) { return ok ? TPass::Whole : TPass::Failed; };
  switch (check) {
    case TCheckKind::NoCheck:
      return TPass::Whole;
    case TCheckKind::LrcCheck:
      return passes(checks.Range(start, end) == data[end + 1]);
    case TCheckKind::LrcEither:
      if (checks.Range(start, end) == data[end + 1]) return TPass::Whole;
      // An empty block's data-only check is 0 (Range of an empty span).
      if (checks.Range(start + 1, end - 1) == data[end + 1]) return TPass::DataOnly;
      return TPass::Failed;
    case TCheckKind::BccBinary:
      return passes(checks.Range(start, end + 4) == data[end + 5]);
    case TCheckKind::BccHex: {
      const uint8_t bcc = checks.Range(start, end + 3);
      return passes(HexDigitValue(data[end + 4]) == (bcc >> 4) && HexDigitValue(data[end + 5]) == (bcc & 15));
    }
  }
  return TPass::Failed;
}

bool IsEndChar(const TEndChars& endChars, uint8_t byte) {
  for (int k = 0; k < endChars.Count && k < 2; ++k)
    if (endChars.Chars[k] == byte) return true;
  return false;
}

}  // namespace

TFrameMatch FindSizedFrameIn(const uint8_t* data, int32_t size, uint8_t startChar, TEndChars endChars,
                             TFrameLengthRule rule, const void* context, TCheckKind check) {
  if (!data || size <= 0 || !rule) return {};
  const int32_t trailer = TrailerLength(check);
  const TRangeChecks checks(
      data, check == TCheckKind::NoCheck || check == TCheckKind::LrcEither ? TCheckKind::LrcCheck : check);
  int32_t lowestLive = -1;
  bool failedBeforeLive = false;
  int32_t badChecks = 0;            // given-up starts whose end character stood in place
  int32_t badChecksBeforeLive = 0;  // of those, the ones before the first start still open
  for (int32_t start = 0; start < size; ++start) {
    if (data[start] != startChar) continue;
    const TFrameLengths lengths = rule(data, size, start, context);
    bool live = lengths.Count == 0;
    bool badCheck = false;
    for (int k = 0; k < lengths.Count && k < TFrameLengths::kMax; ++k) {
      const int64_t end = static_cast<int64_t>(start) + lengths.Length[k] - 1;
      if (lengths.Length[k] < 2) continue;
      if (end + trailer > size - 1) {
        live = true;  // its end has not arrived yet
        continue;
      }
      const auto e = static_cast<int32_t>(end);
      if (!IsEndChar(endChars, data[e])) continue;
      const TPass pass = SizedFramePasses(data, checks, start, e, check);
      if (pass != TPass::Failed) return {start, e, data[e], badChecks, pass == TPass::DataOnly};
      badCheck = check != TCheckKind::NoCheck;
    }
    if (live) {
      if (lowestLive < 0) lowestLive = start;
      continue;
    }
    badChecks += badCheck ? 1 : 0;
    if (lowestLive < 0) {
      failedBeforeLive = true;
      badChecksBeforeLive += badCheck ? 1 : 0;
    }
  }
  TFrameMatch result;
  if (failedBeforeLive) {
    result.End = (lowestLive >= 0 ? lowestLive : size) - 1;
    result.CheckFailures = badChecksBeforeLive;
  }
  return result;
}

// ---------------------------------------------------------------------------------------------
// The sized search across calls

namespace {

// Running check values kept across calls: Prefix[k] is the check over bytes 0..k-1, extended only
// as far as a frame's end asks. The ranges follow as in TRangeChecks.
class TRunningChecks {
public:
  void Reset(TCheckKind kind) {
    FKind = kind;
    FPrefix.assign(1, 0);
  }
  void Bind(const uint8_t* data) { FData = data; }
  uint8_t Range(int32_t first, int32_t last) {
    Extend(last + 1);
    if (FKind == TCheckKind::LrcCheck) return FPrefix[last + 1] ^ FPrefix[first];
    return FPrefix[last + 1] ^ RotateLeft(FPrefix[first], static_cast<unsigned>(last + 1 - first) & 7);
  }

private:
  void Extend(int32_t upTo) {
    for (auto k = static_cast<int32_t>(FPrefix.size()) - 1; k < upTo; ++k)
      FPrefix.push_back(FKind == TCheckKind::LrcCheck ? static_cast<uint8_t>(FPrefix[k] ^ FData[k])
                                                      : SnpBccStep(FPrefix[k], FData[k]));
  }

  const uint8_t* FData = nullptr;
  TCheckKind FKind = TCheckKind::LrcCheck;
  std::vector<uint8_t> FPrefix{0};
};

}  // namespace

struct TSizedFrameSearch::TState {
  // A start still waiting: for its kind (the rule answered 0) or for the end of a length.
  struct TLive {
    TFrameLengths Lengths;
    uint8_t Resolved = 0;   // bit k: length k is decided (its end and trailer were buffered)
    bool BadCheck = false;  // a decided length had its end character and failed the check
    int32_t Length = 0;     // the longest undecided length, trailer included
  };
  // Wakes a waiting start once the buffer holds Needed bytes.
  struct TWake {
    int64_t Needed;
    int32_t Start;
    bool operator>(const TWake& other) const { return Needed > other.Needed; }
  };
  enum class TOutcome : uint8_t { Passed, GivenUp, Waiting };

  bool Valid = false;
  uint64_t Origin = 0;
  uint8_t StartChar = 0;
  TEndChars EndChars;
  TFrameLengthRule Rule = nullptr;
  const void* Context = nullptr;
  TCheckKind Check = TCheckKind::NoCheck;
  int32_t Trailer = 0;
  int32_t Scanned = 0;  // positions below it were looked at as starts
  TRunningChecks Checks;
  std::map<int32_t, TLive> Live;                  // every start still waiting, by position
  std::vector<int32_t> Unknown;                   // of those, the ones whose kind is not known yet
  std::vector<TWake> Wakes;                       // of those, the others, a min-heap by Needed
  std::vector<std::pair<int32_t, bool>> GivenUp;  // starts that can no longer complete, bad check
  int32_t LowestGivenUp = std::numeric_limits<int32_t>::max();

  bool Continues(uint64_t origin, int32_t size, uint8_t startChar, TEndChars endChars, TFrameLengthRule rule,
                 const void* context, TCheckKind check) const {
    if (!Valid || origin != Origin || size < Scanned || startChar != StartChar || rule != Rule ||
        context != Context || check != Check || endChars.Count != EndChars.Count)
      return false;
    for (int k = 0; k < endChars.Count && k < 2; ++k)
      if (endChars.Chars[k] != EndChars.Chars[k]) return false;
    return true;
  }

  void Begin(uint64_t origin, uint8_t startChar, TEndChars endChars, TFrameLengthRule rule,
             const void* context, TCheckKind check) {
    Valid = true;
    Origin = origin;
    StartChar = startChar;
    EndChars = endChars;
    Rule = rule;
    Context = context;
    Check = check;
    Trailer = TrailerLength(check);
    Scanned = 0;
    Checks.Reset(check == TCheckKind::NoCheck || check == TCheckKind::LrcEither ? TCheckKind::LrcCheck
                                                                                : check);
    Live.clear();
    Unknown.clear();
    Wakes.clear();
    GivenUp.clear();
    LowestGivenUp = std::numeric_limits<int32_t>::max();
  }

  TFrameMatch Search(const uint8_t* data, int32_t size);
  void Consider(const uint8_t* data, int32_t size, int32_t start, bool askRule, TFrameMatch& found);
  TOutcome Decide(const uint8_t* data, int32_t size, int32_t start, TLive& live, TFrameMatch& found,
                  int64_t& needed);
  int32_t BadChecksBefore(int32_t limit) const {
    int32_t count = 0;
    for (const auto& [start, bad] : GivenUp) count += start < limit && bad ? 1 : 0;
    return count;
  }
};

// Decides the lengths of a start whose end and trailer have arrived, in the order the rule gave
// them, as FindSizedFrameIn does.
TSizedFrameSearch::TState::TOutcome TSizedFrameSearch::TState::Decide(const uint8_t* data, int32_t size,
                                                                      int32_t start, TLive& live,
                                                                      TFrameMatch& found, int64_t& needed) {
  bool waiting = false;
  needed = std::numeric_limits<int64_t>::max();
  live.Length = 0;
  for (int k = 0; k < live.Lengths.Count && k < TFrameLengths::kMax; ++k) {
    const auto bit = static_cast<uint8_t>(1u << k);
    if (live.Resolved & bit) continue;
    const int32_t length = live.Lengths.Length[k];
    const int64_t end = static_cast<int64_t>(start) + length - 1;
    if (length >= 2 && end + Trailer > size - 1) {
      waiting = true;
      needed = std::min(needed, end + Trailer + 1);
      live.Length =
          std::max(live.Length, static_cast<int32_t>(std::min<int64_t>(int64_t{length} + Trailer,
                                                                       std::numeric_limits<int32_t>::max())));
      continue;
    }
    live.Resolved |= bit;
    if (length < 2) continue;
    const auto e = static_cast<int32_t>(end);
    if (!IsEndChar(EndChars, data[e])) continue;
    const TPass pass = SizedFramePasses(data, Checks, start, e, Check);
    if (pass != TPass::Failed) {
      found = {start, e, data[e], 0, pass == TPass::DataOnly};
      return TOutcome::Passed;
    }
    live.BadCheck = live.BadCheck || Check != TCheckKind::NoCheck;
  }
  return waiting ? TOutcome::Waiting : TOutcome::GivenUp;
}

void TSizedFrameSearch::TState::Consider(const uint8_t* data, int32_t size, int32_t start, bool askRule,
                                         TFrameMatch& found) {
  TLive& live = Live[start];
  if (askRule) {
    live.Lengths = Rule(data, size, start, Context);
    if (live.Lengths.Count == 0) {
      Unknown.push_back(start);
      return;
    }
  }
  TFrameMatch passed;
  int64_t needed = 0;
  switch (Decide(data, size, start, live, passed, needed)) {
    case TOutcome::Passed:
      if (!found.Found() || start < found.Start) found = passed;
      return;
    case TOutcome::Waiting:
      Wakes.push_back({needed, start});
      std::push_heap(Wakes.begin(), Wakes.end(), std::greater<>());
      return;
    case TOutcome::GivenUp:
      GivenUp.emplace_back(start, live.BadCheck);
      LowestGivenUp = std::min(LowestGivenUp, start);
      Live.erase(start);
      return;
  }
}

TFrameMatch TSizedFrameSearch::TState::Search(const uint8_t* data, int32_t size) {
  TFrameMatch found;
  // Starts whose kind the rule could not tell yet, then those whose end has arrived since.
  std::vector<int32_t> unknown;
  unknown.swap(Unknown);
  for (int32_t start : unknown) Consider(data, size, start, true, found);
  while (!Wakes.empty() && Wakes.front().Needed <= size) {
    std::pop_heap(Wakes.begin(), Wakes.end(), std::greater<>());
    const int32_t start = Wakes.back().Start;
    Wakes.pop_back();
    Consider(data, size, start, false, found);
  }
  // The new bytes, unless a frame was found already: every start in them lies after it.
  if (!found.Found()) {
    for (; Scanned < size; ++Scanned) {
      if (data[Scanned] != StartChar) continue;
      Consider(data, size, Scanned, true, found);
      if (found.Found()) break;
    }
  }
  if (found.Found()) {
    found.CheckFailures = BadChecksBefore(found.Start);
    Valid = false;  // the caller consumes the frame
    return found;
  }
  // As FindSizedFrameIn: the bytes before the lowest start still waiting go once a start among
  // them was given up.
  const int32_t lowestLive = Live.empty() ? -1 : Live.begin()->first;
  TFrameMatch result;
  if (!GivenUp.empty() && (lowestLive < 0 || LowestGivenUp < lowestLive)) {
    const int32_t limit = lowestLive >= 0 ? lowestLive : size;
    result.End = limit - 1;
    result.CheckFailures = BadChecksBefore(limit);
    Valid = false;  // the caller consumes them
  }
  return result;
}

TSizedFrameSearch::TSizedFrameSearch() : FState(std::make_unique<TState>()) {}
TSizedFrameSearch::~TSizedFrameSearch() = default;

void TSizedFrameSearch::Reset() {
  FState->Valid = false;
}

TFrameMatch TSizedFrameSearch::Find(const uint8_t* data, int32_t size, uint64_t origin, uint8_t startChar,
                                    TEndChars endChars, TFrameLengthRule rule, const void* context,
                                    TCheckKind check) {
  TState& state = *FState;
  if (!data || size <= 0 || !rule) {
    state.Valid = false;
    return {};
  }
  if (!state.Continues(origin, size, startChar, endChars, rule, context, check))
    state.Begin(origin, startChar, endChars, rule, context, check);
  state.Checks.Bind(data);
  return state.Search(data, size);
}

TFrameProgress TSizedFrameSearch::Progress(uint64_t origin, int32_t size) const {
  const TState& state = *FState;
  if (!state.Valid || state.Origin != origin || size < state.Scanned || state.Live.empty()) return {};
  const auto& [start, live] = *state.Live.begin();
  return {start, size - start, live.Length};
}

TFrameMatch FindFrame(TFIFOStream& buffer, uint8_t startChar, TEndChars endChars, int32_t maxLength,
                      TCheckKind check) {
  TFIFODataLock locked(buffer);
  return FindFrameIn(locked.Data(), buffer.DataSize(), startChar, endChars, maxLength, check);
}

}  // namespace kelda
