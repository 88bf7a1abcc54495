// Check codes of the GE serial protocols.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelda::plcsim {

// SNP/SNP-X block check code: XOR each byte in, then rotate the result left by one bit.
uint8_t snpBcc(const uint8_t* data, size_t size);
// CCM longitudinal redundancy check: XOR of the bytes.
uint8_t ccmLrc(const uint8_t* data, size_t size);

// Upper-case hexadecimal text of `value` with exactly `digits` digits.
std::string HexText(uint32_t value, int digits);
// Value of upper-case hexadecimal text; false when a character is not a hex digit.
bool ParseHex(const uint8_t* text, size_t digits, uint32_t& value);

}  // namespace kelda::plcsim
