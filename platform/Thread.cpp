#include "platform/Thread.h"

#include <pthread.h>

#include <cstring>

namespace poshark::platform {

void SetCurrentThreadName(const char* pszName) {
  if (!pszName) {
    return;
  }
  char szName[16];
  std::strncpy(szName, pszName, sizeof szName - 1);
  szName[sizeof szName - 1] = '\0';
  pthread_setname_np(pthread_self(), szName);
}

}  // namespace poshark::platform
