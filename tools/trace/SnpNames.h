// What the fields of SNP and SNP-X messages mean, in words: segment selectors with GE's 1-based
// references, service requests, error codes, the PLC status word.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelda::trace {

// "%R1 length 8", "%M99 length 11 bits", "%Q497 length 2 bytes"; an unknown selector by its code.
std::string Reference(uint8_t selector, uint16_t offset, uint16_t length);
// Data bytes a read of `length` units from `offset` returns (bit reads whole memory bytes); 0 for
// an unknown selector.
size_t ReadByteCount(uint8_t selector, uint16_t offset, uint16_t length);

std::string IdText(const uint8_t* id);    // the 8-byte SNP ID field
std::string T1Text(const uint8_t* text);  // the attach's 4 hex characters, low byte first
std::string NakReason(uint8_t reason);
// A 40-byte mailbox; `readBytes` is the data length of the last read request (0 unknown).
std::string MailboxText(const uint8_t* mailbox, size_t readBytes);
std::string XRequestText(const uint8_t* request);    // code, selector, reference, length
std::string XResponseText(const uint8_t* response);  // status or error, data length
// "PLC status 2054h (Stop I/O disabled, PLC fault present, ...)": the status word SNP and SNP-X carry.
std::string StatusText(uint16_t status);

}  // namespace kelda::trace
