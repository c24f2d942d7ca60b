// Thread helpers. Threads themselves are std::thread; they are never killed.
#pragma once

namespace poshark::platform {

// Names the calling thread (at most 15 characters are kept), as shown in
// /proc/self/task/*/comm, ps and debuggers.
void SetCurrentThreadName(const char* pszName);

}  // namespace poshark::platform
