#include <poshark/Home.h>

#include "platform/Paths.h"
#include "platform/SerialPort.h"

namespace poshark {

std::string HomeFolder() { return platform::PosharkHome(); }

std::string SerialDevicePath(int nPort) { return platform::SerialPortPath(nPort); }

}  // namespace poshark
