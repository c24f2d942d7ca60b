// The operations both exported catchers answer alike, written once: each
// catcher's source file expands POSHARK_CATCHER_COMMON_OPERATIONS(its class)
// to define them on top of its CatcherCore (member m_pCore).
#pragma once

#include "keywords/CatcherCore.h"
#include "keywords/FilterFile.h"
#include "keywords/Limits.h"

#define POSHARK_CATCHER_COMMON_OPERATIONS(Catcher)                                      \
  STRUCT_KeyWord* Catcher::GetKeyWord(int nIndex) { return m_pCore->At(nIndex); }       \
  int Catcher::GetKeyWordNum() { return m_pCore->Count(); }                             \
  bool Catcher::DeleteAllKeyWord() {                                                    \
    ReleaseKeyWordAll();                                                                \
    CleanMDBID2KeyImdex();                                                              \
    return true;                                                                        \
  }                                                                                     \
  bool Catcher::SetMDBID2KeyImdex(int nMDBType, int nMDBID, int nIndex) {               \
    m_pCore->Map().Set(nMDBType, nMDBID, nIndex); /* other types and IDs: ignored */    \
    return true;                                                                        \
  }                                                                                     \
  int Catcher::GetNewMDBID(int nMDBType) { return m_pCore->Map().GetNew(nMDBType); }    \
  void Catcher::CleanMDBID2KeyImdex() { m_pCore->Map().Clear(); }                       \
  std::string Catcher::GetIniFile() { return m_pCore->IniFile(); }                      \
  char Catcher::ASCII2BYTE(std::string strToken) {                                      \
    return poshark::keywords::ASCII2BYTE(strToken);                                     \
  }                                                                                     \
  uint8_t Catcher::HexHiByte(char c) { return poshark::keywords::HexHiByte(c); }        \
  uint8_t Catcher::HexLoByte(char c) { return poshark::keywords::HexLoByte(c); }        \
  bool Catcher::WriteIni_FreqIdleRec(int nPOSNo) {                                      \
    m_pCore->SaveLimitState(nPOSNo);                                                    \
    return true;                                                                        \
  }                                                                                     \
  SYSTEMTIME Catcher::GetFreqLimitTime(uint32_t nUnit, SYSTEMTIME t) {                  \
    return poshark::keywords::GetFreqLimitTime(nUnit, t);                               \
  }                                                                                     \
  bool Catcher::IsMatchFreqAndRec(STRUCT_KeyWord* pKeyWord) {                           \
    return poshark::keywords::IsMatchFreqAndRec(pKeyWord);                              \
  }                                                                                     \
  int Catcher::GetKeyData(STRUCT_CatchData*& pCatchData, int nMax) {                    \
    return m_pCore->Take(pCatchData, nullptr, nullptr, nMax, 1);                        \
  }                                                                                     \
  int Catcher::GetKeyData(STRUCT_CatchData*& pCatchData, STRUCT_AlarmData*& pAlarmData, \
                          int nMax) {                                                   \
    return m_pCore->Take(pCatchData, pAlarmData, nullptr, nMax, 2);                     \
  }                                                                                     \
  int Catcher::GetKeyData(STRUCT_CatchData* pCatchData, STRUCT_AlarmData* pAlarmData,   \
                          STRUCT_ColorKeyRange* pRange, int nMax) {                     \
    return m_pCore->Take(pCatchData, pAlarmData, pRange, nMax, 3);                      \
  }
