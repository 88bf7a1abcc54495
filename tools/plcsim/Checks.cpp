#include "tools/plcsim/Checks.h"

namespace kelda::plcsim {

uint8_t snpBcc(const uint8_t* data, size_t size) {
  uint8_t bcc = 0;
  for (size_t i = 0; i < size; ++i) {
    bcc ^= data[i];
    bcc = static_cast<uint8_t>((bcc << 1) | (bcc >> 7));
  }
  return bcc;
}

uint8_t ccmLrc(const uint8_t* data, size_t size) {
  uint8_t lrc = 0;
  for (size_t i = 0; i < size; ++i) lrc ^= data[i];
  return lrc;
}

std::string HexText(uint32_t value, int digits) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text(static_cast<size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i) {
    text[static_cast<size_t>(i)] = kDigits[value & 0x0F];
    value >>= 4;
  }
  return text;
}

bool ParseHex(const uint8_t* text, size_t digits, uint32_t& value) {
  value = 0;
  for (size_t i = 0; i < digits; ++i) {
    const uint8_t c = text[i];
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;  // the PLCs write upper-case digits, and so must a master
    }
    value = (value << 4) | digit;
  }
  return true;
}

}  // namespace kelda::plcsim
