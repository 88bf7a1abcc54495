// The GE PLC simulator: the slave side of CCM (master-slave and peer-to-peer), SNP and SNP-X over a
// byte stream, with memory tables and fault injection. It uses the C++ standard library only, so
// that it can run inside a test program or behind a serial port as a stand-alone program.
//
// The simulator is driven by its caller's clock: every call carries `now` in milliseconds, and
// answers become available through takeOutput() once they are due.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/plcsim/Checks.h"

namespace kelda::plcsim {

enum class Mode { CcmMasterSlave = 0, CcmPeerToPeer = 1, Snp = 2, SnpX = 3 };

// Fault injection. Every fault applies to the next `count` answers of the given kind (0 = off,
// -1 = always). Unknown/invalid option values are refused with std::invalid_argument.
struct Faults {
  int noiseBeforeFrames = 0;  // answers preceded by 1..noiseMax random bytes of noise
  int noiseMax = 8;           // noise bytes are chosen so they can never form a valid frame start
                              // that completes (e.g. not ESC/STX/ACK/"N" when noiseSafe is set)
  bool noiseSafe = true;      // false: noise may be any byte (still never a complete valid frame)
  int corruptCheck = 0;       // answers whose check byte (BCC/LRC) is wrong
  int nak = 0;                // CCM: NAK the enquiry (master-slave "N",id,NAK; peer: NAK);
                              // SNP: NAK (15 00) the mailbox request; SNP-X: X-Response with an error
  int silent = 0;             // requests not answered at all
  int lateMs = 0;             // delay of every answer, ms (see TakeOutput(now))
  int repeatFrame = 0;        // data frames sent twice in a row
  size_t chunkSize = 0;       // 0: each answer is one chunk; else output split in chunks of this size
  uint32_t seed = 1;          // random generator seed (noise)

  // Impolite PLCs. Each fault acts only in its protocol; the others leave it alone.
  int endlessChain = 0;  // SNP: reads whose text-buffer chain never ends: after the read's data,
                         // every buffer announces another full one (the data over again)
  int noiseEveryMs = 0;  // all: one noise byte on the line every this many ms, between answers and
                         // whatever the traffic (0 off); released by takeOutput(now); noiseSafe applies
  int errorNack = 0;     // SNP: read requests answered, after the ACK, with a D1 error nack
  uint8_t errorNackMajor = 0x05;  // its major error status (not 0)
  uint8_t errorNackMinor = 0xF4;  // its minor error status (F4: invalid input parameter)
  int extraByte = 0;  // SNP-X: X-Reads answered with one data byte more than asked, counted in the
                      // X-Response's length (the memory byte that follows, 0 past the table)
  int ccmPad = 0;     // CCM: reads of an odd byte count whose last block carries a 0x00 pad byte,
                      // covered by its LRC, so that the block holds whole registers
};

// Throws std::invalid_argument naming the first value that is out of range.
void ValidateFaults(const Faults& faults);

class SlaveContext;
class Slave;

class Simulator {
public:
  Simulator(Mode mode, std::string snpId = "PLC1", uint8_t ccmId = 2);
  ~Simulator();
  Simulator(Simulator&&) noexcept;
  Simulator& operator=(Simulator&&) noexcept;

  Mode mode() const;

  // --- memory (zero-based element indexes as SNP/SNP-X address them)
  void setWord(uint8_t selector, uint32_t index, uint16_t value);  // %R 0x08, %AI 0x0A, %AQ 0x0C
  uint16_t word(uint8_t selector, uint32_t index) const;
  // %I 0x46, %Q 0x48, %M 0x4C, %G 0x56, %S 0x54, %SA 0x4E, %SB 0x50, %SC 0x52 (and %T 0x4A)
  void setBit(uint8_t selector, uint32_t index, bool value);
  bool bit(uint8_t selector, uint32_t index) const;
  void setScratchPad(uint32_t index, uint8_t value);   // CCM memory type 6 (bytes 0..255)
  void setStatusWord(uint32_t index, uint16_t value);  // CCM memory type 9 (1-based words 1..20)
  void setPlcStatusWord(uint16_t status);              // SNP piggy-back / SNP-X status word
  uint16_t plcStatusWord() const;
  // Bytes the PLC would return for a read of `length` elements of `selector` from `offset`
  // (words LSB first; bit selectors byte-aligned, unrequested bits 0) — lets tests state expectations.
  // Throws std::invalid_argument for an unknown selector or a zero length, std::out_of_range past
  // the end of the table.
  std::vector<uint8_t> readBytes(uint8_t selector, uint32_t offset, uint32_t length) const;
  // CCM: bytes of a read of memory type `type`, 1-based `address`, `byteCount` bytes (the scratch
  // pad is addressed by its byte number 0..255). Throws like readBytes.
  std::vector<uint8_t> ccmReadBytes(uint8_t type, uint32_t address, uint32_t byteCount) const;
  // Number of elements (bits, bytes or words, in the selector's unit) of a table; 0 if unknown.
  uint32_t tableSize(uint8_t selector) const;

  // --- options
  void setFaults(const Faults& faults);
  Faults& faults();
  // SNP text buffer data size: default 1000 (Series 90-30), up to 8192 (Series 90-70); min 1 for tests.
  void setSnpDataSize(size_t bytes);
  void setCcmLrcIncludesFraming(bool on);  // default true: data-block LRC over STX..ETX/ETB inclusive;
                                           // false: over the data bytes only (GE's own wording)
  void setBreakRequired(bool on);          // default false: break-free slave accepts attach without break
  void setCcmPeerSendsEot(bool on);        // default true: peer target sends EOT after the last block's ACK
  // SNP piggy-back privilege level (default 1, read only). Level 0 refuses memory reads in SNP
  // (error nack, major 02) and SNP-X (error response, minor 02).
  void setPrivilegeLevel(uint8_t level);

  // --- the line. `now` is the time in ms (from the test's clock); answers become available at
  // now + lateMs.
  void lineBreak(uint64_t now);  // a long break on the line: SNP/SNP-X session reset
  void receive(const uint8_t* data, size_t size, uint64_t now);  // bytes the master wrote
  void receive(const std::vector<uint8_t>& data, uint64_t now) { receive(data.data(), data.size(), now); }
  // Output due by `now`, in chunks (one chunk per answer, or chunkSize pieces). Removed when taken.
  // With noiseEveryMs, the noise bytes due by `now` come between the answers in time order, each
  // run of them a chunk of its own; a caller that lets more than kSteadyNoiseBurst periods pass
  // gets the latest kSteadyNoiseBurst bytes of them.
  std::vector<std::vector<uint8_t>> takeOutput(uint64_t now);
  // Whether answers are still due (steady noise never counts).
  bool hasPendingOutput() const;
  static constexpr size_t kSteadyNoiseBurst = 4096;
  // True while the SNP or SNP-X session is open (always false in the CCM modes).
  bool sessionOpen() const;
  // SNP: the T1 (ms) the last attach agreed on, the larger of the master's and the PLC's own 5 ms;
  // both sides keep it before every message and ACK.
  uint32_t snpT1Ms() const;

  // --- counters for tests (answers the PLC sent that a master should accept as valid/complete)
  //   requests      master frames that ask for an answer and are addressed to this PLC with an intact
  //                 check: attach, X-request, mailbox, inquiry, CCM enquiry and CCM header
  //   validAnswers  answers sent intact that are not negative acknowledgements: attach responses,
  //                 ACKs, mailbox replies (error nacks included), text buffers, X-responses (errors
  //                 found in the request included), CCM enquiry ACKs, data blocks, EOTs
  //   completeReads reads whose last data frame was sent intact
  //   naks          negative acknowledgements sent: SNP 15 xx, CCM NAK and "N",id,NAK, and the
  //                 SNP-X error responses of the nak fault
  //   ignored       master frames dropped: other PLC ID, broadcast, bad SNP-X/attach check, frames
  //                 of the other protocol, incomplete frames overtaken by a pause
  //   corrupted / silenced / repeated   answers the faults touched
  //   sequenceErrors  master frames that broke the exchange (e.g. a mailbox while an ACK was due,
  //                 no EOT after a CCM read)
  //   errorNacks    SNP D1 error nacks sent, the PLC's own refusals and the errorNack fault's
  //   overlong      reads answered with one byte more than asked (extraByte, ccmPad); they count
  //                 as complete reads too, as all the data asked for came intact
  //   noiseBytes    bytes of steady noise (noiseEveryMs) put on the line
  struct Counters {
    int requests = 0;
    int validAnswers = 0;
    int completeReads = 0;
    int naks = 0;
    int ignored = 0;
    int corrupted = 0;
    int silenced = 0;
    int repeated = 0;
    int sequenceErrors = 0;
    int errorNacks = 0;
    int overlong = 0;
    int noiseBytes = 0;
  };
  const Counters& counters() const;
  // A log of decoded events ("attach", "x-read R 0 len 4", "bad bcc", ...) for test diagnostics.
  const std::vector<std::string>& log() const;
  // Events noted since the start, those the log has since dropped included: a reader that
  // remembers it knows how many of log()'s last entries are new.
  uint64_t eventCount() const;

private:
  std::unique_ptr<SlaveContext> context_;
  std::unique_ptr<Slave> slave_;
};

}  // namespace kelda::plcsim
