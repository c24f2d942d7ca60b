// Serial pieces of the listener tests: the fake ports of the test support,
// and a reader of the port registry libKXComPort.so writes.
#pragma once

#include <fstream>
#include <map>
#include <string>

#include "support/FakeSerialPort.h"

namespace kit {

using poshark::testing::FakePort;
using poshark::testing::Pty;
using poshark::testing::Script;

// What the registry says about one port.
struct RegEntry {
  int nState = -1;
  std::string name;
  long nPid = 0;
  std::string since;
};

inline std::map<int, RegEntry> ReadRegistry(const std::string& home) {
  std::map<int, RegEntry> reg;
  std::ifstream in(home + "/ComPortRegistry.ini");
  RegEntry* pCur = nullptr;
  for (std::string line; std::getline(in, line);) {
    size_t nEq = line.find('=');
    std::string key = line.substr(0, nEq);
    std::string value = nEq == std::string::npos ? "" : line.substr(nEq + 1);
    if (line.rfind("[COM", 0) == 0)
      pCur = &reg[std::stoi(line.substr(4))];
    else if (!pCur)
      continue;
    else if (key == "State")
      pCur->nState = std::stoi(value);
    else if (key == "Name")
      pCur->name = value;
    else if (key == "Pid")
      pCur->nPid = std::stol(value);
    else if (key == "Since")
      pCur->since = value;
  }
  return reg;
}

}  // namespace kit
