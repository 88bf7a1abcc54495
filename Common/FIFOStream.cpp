#include "Common/FIFOStream.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "Common/Exceptions.h"

namespace kelda {

static uint8_t* ReserveStorage(int32_t size) {
  if (size <= 0) throw EFIFOStream("FIFO size must be positive");
  // Twice the capacity is reserved; only the first half ever holds data.
  auto* storage = new (std::nothrow) uint8_t[2 * static_cast<std::size_t>(size)];
  if (!storage) throw EOutOfMemory("Out of memory");
  return storage;
}

TFIFOStream::TFIFOStream(int32_t size, bool allowDiscard, int32_t discardChunk)
    : FBuffer(ReserveStorage(size)),
      FSize(size),
      FDiscardChunk(std::max<int32_t>(discardChunk, 0)),
      FAllowDiscard(allowDiscard) {
  SetGuardedObject(FBuffer.get());
}

TFIFOStream::~TFIFOStream() {
  platform::WriteGuard guard(*this);
  FBuffer.reset();
}

void TFIFOStream::Write(const void* data, int32_t count) {
  platform::WriteGuard guard(*this);
  if (count <= 0 || !data) return;
  // Without discarding a write is all or nothing: checked as a whole before the first byte goes
  // in, so a write larger than the FIFO cannot leave its first part behind.
  if (!FAllowDiscard && count > FreeSpace()) throw EFIFOStream("Buffer over-run.");
  // A write longer than the whole FIFO goes in FIFO-sized pieces, so the newest bytes stay.
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (count > 0) {
    const int32_t piece = std::min(count, FSize);
    WriteChunk(bytes, piece);
    bytes += piece;
    count -= piece;
  }
}

void TFIFOStream::WriteChunk(const uint8_t* data, int32_t count) {
  const int32_t free = FreeSpace();
  if (count > free) {
    if (!FAllowDiscard) throw EFIFOStream("Buffer over-run.");
    Discard(std::max(count - free, FDiscardChunk));
  }
  std::memcpy(FBuffer.get() + FWritePos, data, static_cast<std::size_t>(count));
  FWritePos += count;
}

void TFIFOStream::Discard(int32_t count) {
  if (!FAllowDiscard) return;
  platform::WriteGuard guard(*this);
  const int32_t n = std::min(count, FWritePos - FReadPos);
  if (n <= 0) return;
  const int32_t remaining = FWritePos - FReadPos - n;
  std::memmove(FBuffer.get(), FBuffer.get() + FReadPos + n, static_cast<std::size_t>(remaining));
  FReadPos = 0;
  FWritePos = remaining;
}

void TFIFOStream::Clear() {
  platform::WriteGuard guard(*this);
  FWritePos = 0;
  FReadPos = 0;
}

int32_t TFIFOStream::DataSize() {
  platform::ReadGuard guard(*this);
  return FWritePos - FReadPos;
}

int32_t TFIFOStream::FreeSpace() {
  platform::ReadGuard guard(*this);
  return FSize - (FWritePos - FReadPos);
}

uint8_t* TFIFOStream::LockData() {
  LockWrite();
  return FBuffer.get() + FReadPos;
}

const uint8_t* TFIFOStream::LockDataRead() {
  LockRead();
  return FBuffer.get() + FReadPos;
}

}  // namespace kelda
