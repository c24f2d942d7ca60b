// RCPosHark::EndOfInput: the host's word that no more bytes will come, and
// the wait until the listener has delivered everything it was handed.
#include <poshark/RCPosHark.h>

#include <chrono>

#include "listener/DrainWatch.h"
#include "listener/LineIntake.h"
#include "listener/RCLineQueue.h"
#include "platform/Event.h"

using poshark::listener::DrainWatch;

bool RCPosHark::EndOfInput(uint32_t dwTimeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwTimeoutMs);
  if (!bHostFeed || !bAnalyzeRun || !bWriteRun || !hAnalyzeEvent || !hWriteEvent) {
    return false;
  }
  m_Intake->FlushPending();
  m_Drain->EndInput();
  hAnalyzeEvent->Set();  // an analyzer waiting for the rest stops waiting
  // In the order the bytes travel: a queue found empty was emptied by its
  // taker, so a taker parked after that has finished what it took.
  auto bDrained = [this] {
    return m_AnalyzeQueue->GetCount() == 0 && m_Drain->Parked(DrainWatch::kAnalyzer) &&
           m_WriteQueue->GetCount() == 0 && m_Drain->Parked(DrainWatch::kWriter);
  };
  return m_Drain->WaitUntil(bDrained, deadline);
}
