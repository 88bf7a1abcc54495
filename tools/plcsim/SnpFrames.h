// Frame building blocks shared by the SNP and SNP-X slaves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace kelda::plcsim {

constexpr uint8_t kEsc = 0x1B;
constexpr uint8_t kEtb = 0x17;

// Length of a master message of the given type, 0 for a type a master does not send unasked.
size_t SnpMessageLength(uint8_t type);
// The NUL-terminated text of an 8-byte SNP ID field.
std::string SnpIdText(const uint8_t* id);
// The own SNP ID as an 8-byte field, padded with NULs.
std::vector<uint8_t> SnpIdField(const std::string& id);

void PutLe16(std::vector<uint8_t>& frame, size_t at, uint16_t value);

// Attach Response: own ID, the session's T1 as ASCII hex (low byte first), ASCII BCC.
std::vector<uint8_t> SnpAttachResponse(const std::string& id, uint16_t t1);

// A 40-byte mailbox with header, sequence, type, source and destination tasks, packet 1 of 1.
std::vector<uint8_t> MailboxSkeleton(uint8_t sequence, uint8_t type, const uint8_t* source,
                                     const uint8_t* destination);
struct Piggyback {
  uint8_t privilege;
  uint16_t plcStatus;
};
void PutPiggyback(std::vector<uint8_t>& mailbox, const Piggyback& status);
// Writes the trailer's ETB (unless set already by the caller) and the binary BCC over all bytes
// before it.
std::vector<uint8_t> SealMessage(std::vector<uint8_t> message);

// One Text Buffer message; `nextLength` > 0 announces another text buffer of that whole length.
std::vector<uint8_t> TextBuffer(const uint8_t* data, size_t size, uint16_t nextLength);
// Text Buffer messages for `data`, each with at most `dataSize` bytes, chained by their trailers.
// The last one announces a text buffer of `lengthAfterLast` bytes, or nothing when it is 0.
std::deque<std::vector<uint8_t>> TextBuffers(const std::vector<uint8_t>& data, size_t dataSize,
                                             uint16_t lengthAfterLast = 0);

// SNP-X: the X-Attach response, and an X-Response (request code + 80h, status, error, data).
std::vector<uint8_t> XAttachResponse(const std::string& id);
std::vector<uint8_t> XResponse(uint8_t requestCode, uint16_t plcStatus, uint8_t major, uint8_t minor,
                               const std::vector<uint8_t>& data);

}  // namespace kelda::plcsim
