// Serial ports are not built for this system yet: every open is refused with a clear reason.
#include "platform/SerialPort.h"

namespace kelda::platform {

std::unique_ptr<TSerialPort> TSerialPort::Open(const std::string& name, const TSerialSettings&) {
  throw ESerialPortError(name + ": open: serial ports are not supported by this build");
}

}  // namespace kelda::platform
