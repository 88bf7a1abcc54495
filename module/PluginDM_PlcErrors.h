// The errors a GE PLC answers a read with, in words: the major and minor error status of an SNP
// Error Nack mailbox or an SNP-X error response.
#pragma once

#include <cstdint>
#include <string>

namespace kelda {

// "major 05 (service request error), minor F4 (invalid input parameter in request)"; a code the
// module does not know is given by its number alone.
std::string PlcErrorText(uint8_t major, uint8_t minor);

// Whether the PLC refuses the read itself (a memory type, address, range or length it does not
// have), so that the same read would be refused again whenever it is sent. Every other error
// (queue full, privilege, a session or sequence lost, a request spoiled on the way) may pass.
bool PlcErrorIsPermanent(uint8_t major, uint8_t minor);

}  // namespace kelda
