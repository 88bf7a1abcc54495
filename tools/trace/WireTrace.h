// The wire trace of the bench poller: every frame in both directions with a millisecond time
// stamp, in hexadecimal and printable bytes, and what it means on the GE protocol of the line
// ("SNP attach", "X-Read %R1 length 8", "CCM data block, LRC ok", "NAK").
//
// The trace reads the bytes on its own, from the protocols' published framing; it shares no
// code with the module, so that a fault of the module's framing shows up in the trace instead
// of being repeated by it.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

namespace kelda::trace {

enum class TProtocol { CcmMasterSlave, CcmPeerToPeer, Snp, SnpX };

class TWireTrace {
public:
  // Opens (truncates) the trace file; throws std::runtime_error naming the file and the reason.
  TWireTrace(const std::string& path, TProtocol protocol);
  ~TWireTrace();  // flushes
  TWireTrace(const TWireTrace&) = delete;
  TWireTrace& operator=(const TWireTrace&) = delete;

  // Bytes written to the PLC at ms (the poller's clock, from the start of the run).
  void Sent(const std::string& bytes, uint64_t ms);
  // Bytes read from the line at ms, as the port handed them over (pieces of frames included).
  void Received(const std::string& bytes, uint64_t ms);
  // A line break the poller held on the line for breakMs.
  void LineBreak(uint32_t breakMs, uint64_t ms);
  // A remark of the poller ("time-out", "port closed").
  void Note(const std::string& text, uint64_t ms);
  void Flush();

private:
  std::ofstream FFile;
  TProtocol FProtocol;
};

}  // namespace kelda::trace
