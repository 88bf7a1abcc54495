// The errors a GE PLC answers a read with, in words: the major and minor error status of an SNP
// Error Nack mailbox or an SNP-X error response.
#pragma once

#include <cstdint>
#include <string>

namespace kelda {

// "major 05 (service request error), minor F4 (invalid input parameter in request)"; a code the
// module does not know is given by its number alone.
std::string PlcErrorText(uint8_t major, uint8_t minor);

}  // namespace kelda
