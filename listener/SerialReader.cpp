// Serial reader of the listener: opening, reading and releasing the port.
#include <poshark/RCPosHark.h>

#include "listener/RCSerialPort.h"

int RCPosHark::OpenCom(int, int, int, int, int, void*, char*) { return 0; }
int RCPosHark::ReOpenCom() { return 0; }
int RCPosHark::CloseCom() { return 1; }
void RCPosHark::BreakCom() { bListenRun = false; }
void RCPosHark::ListenThread() {}
int RCPosHark::CheckErrDesert(uint32_t) { return 0; }
void RCPosHark::CheckComStat(void*, int) {}
void RCPosHark::CheckModemStatus(void*, int) {}
void RCPosHark::ReportModemStatus(uint32_t) {}
void RCPosHark::RegisterPort(uint32_t, uint32_t, const char*) {}
