// Double-byte and graph decoding, and the output code map.
// Interim bodies: graph decoding yields nothing yet; the code map is complete.
#include <poshark/RCPosHark.h>

#include <cstring>

int RCPosHark::DecodeWChar(unsigned char*) { return 0; }

void RCPosHark::DecodeGraph(int, unsigned char*) { nGraphLen = 0; }

bool RCPosHark::EnableCodeMap(bool bOn, unsigned char* pTable) {
  if (pTable) {
    std::memcpy(byCodeMap, pTable, sizeof byCodeMap);
  }
  bCodeMapOn = bOn;
  return true;
}
