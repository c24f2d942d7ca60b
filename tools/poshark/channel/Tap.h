// The pass-through tap: copies one POS connection to its printer and back,
// unchanged, while the POS's bytes also go to the channel's listener.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

#include "channel/ChannelCounters.h"
#include "channel/Socket.h"

namespace poshark::tool {

// Bytes held per direction; a side that does not read slows the other.
inline constexpr size_t kRelayBuffer = 64 * 1024;

enum class RelayEnd { kEnded, kReset, kIdle, kStopped };

// Copies both ways until both sides have ended, `idle` passes without a
// byte either way, or the waker fires. An end of input on one side is
// passed on as a half-close of the other; a reset or an error on either
// side resets both; an idle pair is closed in order. Each block from the POS
// goes to `seen` before it is sent on. The bytes read each way are added to
// the counters' to_printer and from_printer.
RelayEnd Relay(Fd pos, Fd printer, const Waker& waker, std::chrono::milliseconds idle,
               const std::function<void(const unsigned char*, size_t)>& seen,
               ChannelCounters& counters);

}  // namespace poshark::tool
