// TFIFOStream: the first-in, first-out byte buffer of the receive path. The unread bytes always
// lie contiguously at the start of the storage, so a pointer to the first unread byte and
// DataSize describe all of them and frames can be searched in place.
#pragma once

#include <cstdint>
#include <memory>

#include "Common/Thread_Common.h"

namespace kelda {

class TFIFOStream : public TThreadObject {
public:
  // size: capacity in bytes (at least 1, else EFIFOStream). allowDiscard: a write that does not
  // fit drops the oldest bytes (at least discardChunk of them) instead of failing, and
  // Discard removes bytes; without it such a write raises "Buffer over-run." and Discard does
  // nothing.
  TFIFOStream(int32_t size, bool allowDiscard, int32_t discardChunk);
  ~TFIFOStream() override;

  void Write(const void* data, int32_t count);
  void Discard(int32_t count);
  void Clear();

  int32_t DataSize();
  int32_t FreeSpace();

  // The first unread byte, under the write lock (release with UnlockWrite) or the read lock
  // (release with UnlockRead). The next DataSize bytes may be read in place meanwhile.
  uint8_t* LockData();
  const uint8_t* LockDataRead();

  int32_t Size() const { return FSize; }
  int32_t DiscardChunk() const { return FDiscardChunk; }
  bool AllowDiscard() const { return FAllowDiscard; }

private:
  void WriteChunk(const uint8_t* data, int32_t count);

  std::unique_ptr<uint8_t[]> FBuffer;
  int32_t FSize;
  int32_t FDiscardChunk;
  int32_t FWritePos = 0;
  int32_t FReadPos = 0;  // stays 0: consuming moves the rest to the front
  bool FAllowDiscard;
};

// The write lock of a FIFO, held while its unread bytes are read in place; released on every
// path.
class TFIFODataLock {
public:
  explicit TFIFODataLock(TFIFOStream& fifo) : FFifo(fifo), FData(fifo.LockData()) {}
  ~TFIFODataLock() { FFifo.UnlockWrite(); }
  TFIFODataLock(const TFIFODataLock&) = delete;
  TFIFODataLock& operator=(const TFIFODataLock&) = delete;
  const uint8_t* Data() const { return FData; }

private:
  TFIFOStream& FFifo;
  const uint8_t* FData;
};

}  // namespace kelda
