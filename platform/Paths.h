// Places on disk.
#pragma once

#include <string>

namespace poshark::platform {

// Default home of a real installation when POSHARK_HOME is not set.
inline constexpr const char* kDefaultHome = "/var/lib/poshark";

// The poshark home (POSHARK_HOME, else kDefaultHome), without a trailing '/'.
// Holds KexDeBug.ini, POSKeyFilter.ini, POSTrace/ and ComPorts.ini.
std::string PosharkHome();

// The work path: POSHARK_WORKDIR, else the folder of the running executable
// (/proc/self/exe), without a trailing '/'. Command sets are in its
// subfolder "Printer Commands".
std::string WorkPath();

// a + "/" + b, without doubling the separator.
std::string JoinPath(const std::string& a, const std::string& b);

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);

}  // namespace poshark::platform
