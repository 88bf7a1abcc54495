// The receive path: every chunk the host reads is appended to the engine's FIFO, searched in
// place and consumed from the front. Chunks of serial data are small (a few to a few hundred
// bytes), so the cost per chunk must not grow with what is buffered.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "Common/FIFOStream.h"

using kelda::TFIFOStream;

// Append a chunk, find a frame end in place, consume up to it: the engine's pattern.
static void BM_AppendSearchConsume(benchmark::State& state) {
  const int chunk = static_cast<int>(state.range(0));
  std::vector<uint8_t> bytes(static_cast<std::size_t>(chunk), 0x30);
  bytes.back() = 0x17;  // a frame ends with each chunk
  TFIFOStream fifo(2048, true, 64);
  for (auto _ : state) {
    fifo.Write(bytes.data(), chunk);
    uint8_t* data = fifo.LockData();
    const int size = fifo.DataSize();
    const void* end = std::memchr(data, 0x17, static_cast<std::size_t>(size));
    if (end) fifo.Discard(static_cast<int>(static_cast<const uint8_t*>(end) - data) + 1);
    fifo.UnlockWrite();
  }
  state.SetBytesProcessed(state.iterations() * chunk);
}
BENCHMARK(BM_AppendSearchConsume)->Arg(8)->Arg(64)->Arg(512);

// A line that keeps the FIFO nearly full: every write drops the oldest bytes.
static void BM_WriteWhileFull(benchmark::State& state) {
  std::vector<uint8_t> bytes(32, 0x55);
  TFIFOStream fifo(2048, true, 64);
  for (auto _ : state) fifo.Write(bytes.data(), 32);
  state.SetBytesProcessed(state.iterations() * 32);
}
BENCHMARK(BM_WriteWhileFull);
