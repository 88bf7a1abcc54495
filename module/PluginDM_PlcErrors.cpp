#include "module/PluginDM_PlcErrors.h"

#include <cstdio>

namespace kelda {

namespace {

struct TCodeName {
  uint8_t Code;
  const char* Name;
};

// SNP major error status (GFK-0529, mailbox Error Nack); 0F is the SNP-X error table's major.
constexpr TCodeName kMajors[] = {
    {0x01, "illegal service request"}, {0x02, "insufficient privilege"}, {0x04, "protocol sequence error"},
    {0x05, "service request error"},   {0x06, "illegal mailbox type"},   {0x07, "service request queue full"},
    {0x0F, "SNP-X request error"},
};

// Minor codes of a service request error (major 05).
constexpr TCodeName kServiceMinors[] = {
    {0xFF, "aborted"},
    {0xFE, "no privilege"},
    {0xF4, "invalid input parameter in request"},
    {0xE9, "segment selector not valid in context"},
    {0xE4, "segment for this selector does not exist"},
    {0xD8, "point length not allowed"},
    {0xB3, "length limit exceeded"},
};

// Minor codes of an SNP-X error response (major 0F).
constexpr TCodeName kSnpXMinors[] = {
    {0x01, "unsupported or invalid request code"},
    {0x02, "insufficient privilege"},
    {0x03, "invalid memory type"},
    {0x04, "invalid address or range"},
    {0x05, "invalid data length"},
    {0x06, "X-Buffer length mismatch"},
    {0x07, "queue full"},
    {0x08, "response longer than 1000 bytes"},
    {0x10, "unexpected service request error"},
    {0x15, "service not permitted as broadcast"},
    {0x20, "bad message type in X-Request"},
    {0x21, "bad next message type or length in X-Request"},
    {0x22, "bad X-Buffer message type"},
    {0x23, "bad next message type in X-Buffer"},
};

template <size_t N>
const char* NameOf(const TCodeName (&table)[N], uint8_t code) {
  for (const TCodeName& entry : table)
    if (entry.Code == code) return entry.Name;
  return nullptr;
}

std::string Coded(const char* label, uint8_t code, const char* name) {
  char text[16];
  std::snprintf(text, sizeof(text), "%s %02X", label, code);
  return name ? std::string(text) + " (" + name + ")" : std::string(text);
}

}  // namespace

std::string PlcErrorText(uint8_t major, uint8_t minor) {
  const char* minorName = nullptr;
  if (major == 0x05) minorName = NameOf(kServiceMinors, minor);
  if (major == 0x0F) minorName = NameOf(kSnpXMinors, minor);
  // With major 02 the minor is the privilege level the request needs.
  if (major == 0x02) minorName = "the privilege level required";
  return Coded("major", major, NameOf(kMajors, major)) + ", " + Coded("minor", minor, minorName);
}

bool PlcErrorIsPermanent(uint8_t major, uint8_t minor) {
  switch (major) {
    case 0x01:  // a service the PLC does not offer
      return true;
    case 0x05:
      return minor == 0xF4 || minor == 0xE9 || minor == 0xE4 || minor == 0xD8 || minor == 0xB3;
    case 0x0F:
      return minor == 0x03 || minor == 0x04 || minor == 0x05 || minor == 0x08;
    default:
      return false;
  }
}

}  // namespace kelda
