// The frame search runs on every chunk the host delivers, over up to a full receive FIFO
// (2048 bytes). Its worst case is a buffer dense with start and end characters whose checks all
// fail: the plain search then recomputes a check from every start for every end (cubic), the
// module's search does constant work per candidate end. Both run here on such buffers. And the
// sized search over a long frame that arrives a byte per data call.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "module/PluginDM_FrameSearch.h"
#include "tests/support/FindFrameReference.h"

using namespace kelda;

namespace {

constexpr int kFifoSize = 2048;

std::vector<uint8_t> Repeat(const std::vector<uint8_t>& unit) {
  std::vector<uint8_t> out;
  while (out.size() < kFifoSize) out.insert(out.end(), unit.begin(), unit.end());
  out.resize(kFifoSize);
  return out;
}

std::vector<uint8_t> Runs(std::initializer_list<std::pair<uint8_t, int>> runs) {
  std::vector<uint8_t> unit;
  for (auto [byte, count] : runs) unit.insert(unit.end(), static_cast<std::size_t>(count), byte);
  return Repeat(unit);
}

// Runs of ESC (starts) and ETB (ends). Every ESC run follows an even number of odd-parity bytes
// (STX) and every ETB's check covers an odd number of them, while every check byte is of even
// parity: the check, whose parity is that of the bytes it covers, never matches. Nor is any
// byte a hex digit, so the hex check never matches either.
std::vector<uint8_t> SnpBuffer() {
  return Runs({{ESC, 8}, {STX, 1}, {ETB, 8}, {0x00, 5}, {STX, 1}});
}

// Runs of STX (starts) and ETB (ends), with ESC around the ETB runs: bit 3 of the Lrc of every
// block differs from bit 3 of the byte after its end character.
std::vector<uint8_t> CcmBuffer() {
  return Runs({{STX, 8}, {ESC, 1}, {ETB, 8}, {0x00, 1}, {ESC, 1}});
}

struct TScenario {
  std::vector<uint8_t> Buffer;
  uint8_t Start;
  TEndChars Ends;
  int32_t MaxLength;
  TCheckKind Check;
};

TScenario Scenario(int index) {
  switch (index) {
    case 0:
      return {SnpBuffer(), ESC, {ETB}, 0, TCheckKind::BccBinary};
    case 1:
      return {SnpBuffer(), ESC, {ETB}, 1100, TCheckKind::BccBinary};
    case 2:
      return {SnpBuffer(), ESC, {ETB}, 0, TCheckKind::BccHex};
    case 3:
      return {SnpBuffer(), ESC, {ETB}, 1100, TCheckKind::BccHex};
    default:
      return {CcmBuffer(), STX, {ETB, ETX}, 260, TCheckKind::LrcCheck};
  }
}

const char* ScenarioName(int index) {
  static const char* const kNames[] = {"BccBinary/nolimit", "BccBinary/1100", "BccHex/nolimit", "BccHex/1100",
                                       "LrcCheck/260"};
  return kNames[index];
}

// Both searches must agree, and find nothing, or the buffer is no worst case.
bool Verify(benchmark::State& state, const TScenario& s) {
  const auto size = static_cast<int32_t>(s.Buffer.size());
  const TFrameMatch fast = FindFrameIn(s.Buffer.data(), size, s.Start, s.Ends, s.MaxLength, s.Check);
  const TFrameMatch plain =
      test::ReferenceFindFrame(s.Buffer.data(), size, s.Start, s.Ends, s.MaxLength, s.Check);
  if (fast.Found() || fast.Start != plain.Start || fast.End != plain.End) {
    state.SkipWithError("the buffer is not a worst case, or the searches disagree");
    return false;
  }
  state.SetLabel(ScenarioName(static_cast<int>(state.range(0))));
  return true;
}

void BM_FindFrameIn(benchmark::State& state) {
  const TScenario s = Scenario(static_cast<int>(state.range(0)));
  if (!Verify(state, s)) return;
  const auto size = static_cast<int32_t>(s.Buffer.size());
  for (auto _ : state)
    benchmark::DoNotOptimize(FindFrameIn(s.Buffer.data(), size, s.Start, s.Ends, s.MaxLength, s.Check));
}

void BM_PlainSearch(benchmark::State& state) {
  const TScenario s = Scenario(static_cast<int>(state.range(0)));
  if (!Verify(state, s)) return;
  const auto size = static_cast<int32_t>(s.Buffer.size());
  for (auto _ : state)
    benchmark::DoNotOptimize(
        test::ReferenceFindFrame(s.Buffer.data(), size, s.Start, s.Ends, s.MaxLength, s.Check));
}

// An 8 KB SNP text buffer handed over a byte per data call, searched at every call: over the whole
// buffer each time, or going on from the last call. Its data holds a false start every 64 bytes.
std::vector<uint8_t> LongTextBuffer() {
  std::vector<uint8_t> frame = {ESC, 'T'};
  for (int k = 0; k < 8192; ++k)
    frame.push_back(k % 64 == 0 ? ESC : k % 64 == 1 ? 'T' : static_cast<uint8_t>(k));
  frame.insert(frame.end(), {ETB, 0, 0, 0, 0});
  frame.push_back(SnpBcc(frame.data(), frame.size()));
  return frame;
}

TFrameLengths TextBufferLength(const uint8_t* data, int32_t size, int32_t start, const void*) {
  TFrameLengths lengths;
  if (start + 1 >= size) return lengths;
  lengths.Count = data[start + 1] == 'T' ? 1 : -1;
  lengths.Length[0] = 8192 + 3;
  return lengths;
}

void BM_SizedSearchBytewise(benchmark::State& state) {
  const std::vector<uint8_t> frame = LongTextBuffer();
  const auto size = static_cast<int32_t>(frame.size());
  const bool goingOn = state.range(0) != 0;
  TSizedFrameSearch search;
  for (auto _ : state) {
    search.Reset();
    TFrameMatch m;
    for (int32_t n = 1; n <= size && !m.Found(); ++n)
      m = goingOn
              ? search.Find(frame.data(), n, 0, ESC, {ETB}, &TextBufferLength, nullptr, TCheckKind::BccBinary)
              : FindSizedFrameIn(frame.data(), n, ESC, {ETB}, &TextBufferLength, nullptr,
                                 TCheckKind::BccBinary);
    if (!m.Found()) state.SkipWithError("the frame was not found");
  }
  state.SetLabel(goingOn ? "going on from call to call" : "whole buffer at every call");
}

}  // namespace

BENCHMARK(BM_SizedSearchBytewise)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FindFrameIn)->DenseRange(0, 4)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PlainSearch)->DenseRange(0, 4)->Unit(benchmark::kMillisecond)->MinTime(0.5);
