// Byte intake and raw trace.
// Interim bodies: GotData queues each block whole as one chunk and no trace
// is written; line cutting and the trace file come with the intake work.
#include <poshark/RCPosHark.h>

#include "listener/RCDataQueue.h"
#include "platform/Event.h"

void RCPosHark::GotData(int nLen, unsigned char* pData) {
  if (nLen < 1 || !pData || !pCurCmdSet) {
    return;
  }
  m_AnalyzeQueue->Push(pData, nLen, nullptr, false, 0, POSHARK_EVENT_NONE);
  if (hAnalyzeEvent) {
    hAnalyzeEvent->Set();
  }
}

void RCPosHark::AddBuffAnalyze(unsigned char*, int) {}

void RCPosHark::PrepareTrace() { bTrace = false; }

void RCPosHark::TraceWrite(int, const unsigned char*) {}

void RCPosHark::CutLines(int, const unsigned char*) {}
