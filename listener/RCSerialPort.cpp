#include "listener/RCSerialPort.h"

#include "platform/Event.h"
#include "platform/SerialPort.h"

RCSerialPort::RCSerialPort() = default;
RCSerialPort::~RCSerialPort() = default;

int RCSerialPort::Open(int, int, int, int, int, void*) { return 0; }
int RCSerialPort::Close() { return 1; }
void RCSerialPort::Purge() {}
void RCSerialPort::Break() {}
std::shared_ptr<poshark::platform::SerialPort> RCSerialPort::Port() const { return nullptr; }
