// The wire trace of the bench poller: every frame in both directions with a millisecond time
// stamp, in hexadecimal and printable bytes, and what it means on the GE protocol of the line
// ("SNP attach", "X-Read %R1 length 8", "CCM data block, LRC ok", "NAK").
//
// The trace reads the bytes on its own, from the protocols' published framing; it shares no
// code with the module, so that a fault of the module's framing shows up in the trace instead
// of being repeated by it.
//
// Lines: "ssss.mmm D meaning | hex | text", D being ">" to the PLC, "<" from the PLC, "*" a note
// of the poller. Frames longer than 32 bytes put their bytes on indented lines of 32 below.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/trace/FrameDecoder.h"

namespace kelda::trace {

// The poller's reader and writer may run on different threads: every call takes the trace's lock.
class TWireTrace {
public:
  // Opens (truncates) the trace file; throws std::runtime_error naming the file and the reason.
  TWireTrace(const std::string& path, TProtocol protocol);
  ~TWireTrace();  // shows the frames still in progress and flushes
  TWireTrace(const TWireTrace&) = delete;
  TWireTrace& operator=(const TWireTrace&) = delete;

  // Bytes written to the PLC at ms (the poller's clock, from the start of the run).
  void Sent(const std::string& bytes, uint64_t ms);
  // Bytes read from the line at ms, as the port handed them over (pieces of frames included).
  void Received(const std::string& bytes, uint64_t ms);
  // A line break the poller held on the line for breakMs.
  void LineBreak(uint32_t breakMs, uint64_t ms);
  // A remark of the poller ("time-out", "port closed"); a frame in progress ends before it.
  void Note(const std::string& text, uint64_t ms);
  // The line carries another protocol from now on (the scan tries each in turn): frames in
  // progress end, and the bytes that follow are read as the new protocol's.
  void Protocol(TProtocol protocol, uint64_t ms);
  // Shows the frames still in progress as incomplete and writes everything to the file; the
  // poller calls it on its way out, so nothing that came over the line is lost.
  void Flush();

private:
  void Write(const std::vector<TFrame>& frames);
  void WriteEvent(uint64_t ms, char direction, const std::string& text);
  void FlushEverySecond(uint64_t ms);
  void EndFramesAndFlush();

  std::mutex FLock;
  std::ofstream FFile;
  TProtocol FProtocol;
  std::unique_ptr<TFrameDecoder> FDecoder;
  uint64_t FFlushedMs = 0;
};

// One frame as the trace file shows it (its lines, each ending in a newline).
std::string FormatFrame(const TFrame& frame);
// "   12.345": seconds and milliseconds of the run.
std::string Stamp(uint64_t ms);

}  // namespace kelda::trace
