// Smallest host of the installed package: builds and tears down a listener.
#include <poshark/RCPosHark.h>

#include <cstdio>

int main() {
  {
    RCPosHark listener(7);
    listener.SetGateOpenTime(0);
    if (listener.IsGraphMode()) {
      std::puts("unexpected graph mode without a command set");
      return 1;
    }
  }
  std::puts("poshark package ok");
  return 0;
}
