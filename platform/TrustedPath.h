// Trust in a file that will run as code in this process (a command set's
// plug-in library).
//
// The rule applies when the process runs as root (effective user 0) or as a
// system service: the service manager's INVOCATION_ID is in the environment
// and the manager (process 1) started it, which leaves out programs a
// service merely runs, such as a build's tests under a CI runner. Then the file, after following
// links, must be owned by root and not writable by its group or others, and so must every folder
// from it up to /, except that a folder with the sticky bit (such as /tmp) may be writable by all,
// since only an entry's owner can rename or remove it there. Otherwise anyone who can replace the
// file or one of its folders could run code as the service. A plain user loading a plug-in of their
// own is not checked.
#pragma once

#include <string>

namespace poshark::platform {

// True when the running process must check plug-in files (see above).
bool PluginFilesMustBeTrusted();

// Empty when path is trusted under the rule above; else why not, naming the
// file or folder at fault ("/opt/x is writable by its group").
std::string WhyNotTrusted(const std::string& path);

}  // namespace poshark::platform
