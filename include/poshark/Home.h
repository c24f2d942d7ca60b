// Where a poshark installation keeps its files, for hosts that show or watch
// them (the same answers the listener uses).
#pragma once

#include <poshark/Export.h>

#include <string>

namespace poshark {

// The poshark home: POSHARK_HOME, else /var/lib/poshark, without a trailing
// '/'. Holds KexDeBug.ini, POSKeyFilter.ini, POSTrace/ and ComPorts.ini.
POSHARK_EXPORT std::string HomeFolder();

// Device path of serial port nPort as OpenCom opens it: key "COM<n>" of
// section [Ports] in ComPorts.ini of the home, else /dev/ttyS<n-1>.
POSHARK_EXPORT std::string SerialDevicePath(int nPort);

}  // namespace poshark
