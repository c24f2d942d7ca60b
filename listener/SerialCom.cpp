// RCPosHark's serial operations: the port's (handed to the serial link), and
// the serial reader's thread body and status polls.
#include <poshark/RCPosHark.h>

#include <mutex>

#include "listener/RCSerialPort.h"
#include "listener/SerialLink.h"
#include "listener/SerialReader.h"
#include "listener/ThreadEntry.h"
#include "platform/Clock.h"
#include "platform/Debug.h"
#include "platform/Event.h"
#include "platform/SerialPort.h"

void RCPosHark::RegisterPort(uint32_t nPort, uint32_t nState, const char* pszName) {
  poshark::listener::SerialLink::RegisterPort(nPort, nState, pszName);
}

int RCPosHark::OpenCom(int nPort, int nBaud, int nDataBitsIn, int nStopBitsIn, int nParityIn,
                       void* hHandle, char* pszName) {
  std::lock_guard<std::mutex> lifecycle(csLifecycle);
  if (!m_Link->Open(nPort, nBaud, nDataBitsIn, nStopBitsIn, nParityIn, hHandle, pszName)) {
    return 0;
  }
  dwOpenTick = poshark::platform::GetTickCount();
  return 1;
}

int RCPosHark::ReOpenCom() { return m_Link->Reopen(); }

int RCPosHark::CloseCom() {
  std::lock_guard<std::mutex> lifecycle(csLifecycle);
  m_Link->Close();
  return 1;
}

void RCPosHark::BreakCom() { m_Link->Break(); }

void RCPosHark::ListenThread() {
  poshark::listener::RunReportingExceptions(nPOSNo, "serial reader", [this] {
    PrepareIntake();
    poshark::listener::SerialReader reader(
        m_Serial->Port(), m_Serial->BreakEvent(), bListenRun,
        [this](int nLen, unsigned char* pData) { GotData(nLen, pData); });
    const bool bLost = reader.Run();
    poshark::platform::OutputDebugStringA("###COM Listen thread Get exit start\r\n");
    if (bLost && hPortLostEvent) {
      hPortLostEvent->Set();
    }
  });
}

int RCPosHark::CheckErrDesert(uint32_t dwEvtMask) {
  return poshark::listener::SerialReader::CheckErrDesert(m_Serial->Port().get(), dwEvtMask);
}

void RCPosHark::CheckComStat(void* hPort, int) {
  poshark::listener::SerialReader::CheckComStat(static_cast<poshark::platform::SerialPort*>(hPort));
}

void RCPosHark::CheckModemStatus(void* hPort, int) {
  poshark::listener::SerialReader::CheckModemStatus(
      static_cast<poshark::platform::SerialPort*>(hPort));
}

void RCPosHark::ReportModemStatus(uint32_t) {}
