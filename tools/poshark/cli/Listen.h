// `poshark listen`: one channel, one source, lines on standard output.
#pragma once

#include "settings/ChannelSettings.h"

namespace poshark::tool {

// Defaults live here and in ChannelSettings, and are printed by --help.
struct ListenOptions {
  ChannelSettings channel;  // pos -1 until --pos is given
  bool json = false;        // --json
  bool quiet = false;       // --quiet: no progress line for a feed
};

// Exit status: 0 success, 1 runtime failure. Errors go to stderr, each
// naming the file, key, port or argument concerned.
int RunListen(const ListenOptions& options);

}  // namespace poshark::tool
