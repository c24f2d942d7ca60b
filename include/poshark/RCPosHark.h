// RCPosHark: one listener per POS channel.
//
// The listener takes the bytes a POS sends to its receipt printer (from a
// serial port it opens itself, or from buffers the host hands to GotData),
// removes the printer commands its command set describes, cuts the stream
// into lines and calls the host back with each line.
//
// Threads: up to five workers per listener (serial reader, analyzer, writer,
// port resume watcher, idle stop thread). The host calls the public
// operations from one thread at a time; GotData must not be called from two
// threads at once for one listener. The line callback runs on the writer
// thread, one call at a time, and must return promptly.
//
// Behind this object the work is done by parts of its own (the command-set
// catalogue, the serial link with the reader and the port resume watcher,
// the byte intake, the stream analyzer, the writer, the idle stop), each
// owning its thread, run flag and event and given what it needs when built;
// the operations below hand on to them, and start and stop their workers.
#pragma once

#include <poshark/Export.h>
#include <poshark/KeyRecords.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class RCSerialPort;
class RCCmdSet;
class RCDataQueue;
class RCLineQueue;
namespace poshark::platform {
class Event;
}
namespace poshark::commands {
class CmdSetCatalog;
class StreamAnalyzer;
}  // namespace poshark::commands
namespace poshark::listener {
class AnalyzerLink;
class ChunkWake;
class DrainWatch;
class IdleStop;
class IntakeHold;
class LineIntake;
class LineWriter;
class SerialLink;
}  // namespace poshark::listener

// Transaction event codes carried by every delivered line.
enum : int {
  POSHARK_EVENT_OVERFLOW = -2,  // the text "... %d bytes" replaced lost lines
  POSHARK_EVENT_NONE = -1,
  POSHARK_EVENT_START = 0,
  POSHARK_EVENT_STOP = 1,
  POSHARK_EVENT_VOID = 2,
};

class POSHARK_EXPORT RCPosHark {
 public:
  // Line callback: text (NUL-terminated, trimmed), time stamp of its bytes,
  // DST flag, POS number, event code, extra block of the preprocess plug-in
  // ("" when none). The pointers are valid only during the call.
  using LineOutFt = unsigned short (*)(char* pszText, SYSTEMTIME* pTime, bool bDST, int nPOSNo,
                                       int nEvent, char* pExtra);
  // Status callback: POS number and code (1 from KeyStop, 2 from KeyStart).
  using ErrFt = unsigned short (*)(int nPOSNo, uint32_t dwCode);
  // DST query, called with a null argument.
  using DstFt = bool (*)(void*);
  // Raw-record callback: length and bytes of each chunk the analyzer takes.
  using TestListenFt = unsigned short (*)(int nLen, unsigned char* pData, SYSTEMTIME* pTime);

  RCPosHark();
  explicit RCPosHark(int nPOSNo);
  virtual ~RCPosHark();
  RCPosHark(const RCPosHark&) = delete;
  RCPosHark& operator=(const RCPosHark&) = delete;

  // Lifecycle.
  // Starts (or restarts) the workers; bHostFeed: the host calls GotData and
  // no serial reader runs. Does nothing while no command set is selected.
  void ListenStart(LineOutFt pfnLineOut, bool bHostFeed);
  // Stops the workers and the port resume watcher; the port stays open.
  void ListenStop();
  // Report 1 / 2 to the status callback, then suspend / resume the workers.
  // KeyStart resumes in the mode of the last ListenStart.
  void KeyStop();
  void KeyStart();
  void StopEventThread();

  // Setters and queries.
  void SetErrFt(ErrFt pfn);
  void SetDstFt(DstFt pfn);
  // The raw-record callback sees each chunk as the analyzer takes it. The
  // analyzer takes its chunks from the queue in batches: a callback set or
  // cleared while it works applies from its next batch.
  void SetTestListenFt(TestListenFt pfn);
  void SetGateOpenTime(uint32_t dwMs);
  bool IsGraphMode();
  bool IsPOSTextSenderMode();
  void LoadIni();
  void WriteIni();
  // Text-sender streams are decoded (4-bit halves exchanged) instead of
  // dropped. No operation switches it on; the host does, before ListenStart.
  void SetSenderDecode(bool bOn) { bSenderDecode = bOn; }

  // Serial port. hHandle carries an already open file descriptor as
  // (void*)(intptr_t)(fd + 1), so that null means "none"; the listener then
  // owns the descriptor. pszName is the device name for the port registry.
  int OpenCom(int nPort, int nBaud, int nDataBits, int nStopBits, int nParity, void* hHandle,
              char* pszName);
  int CloseCom();
  void BreakCom();
  void ListenThread();

  // Byte intake: the serial reader's entry, and the host's in host-feed mode.
  // In host-feed mode, while the listener runs, a call may hold the caller
  // for up to about one second: once 128 KiB or more of line chunks wait
  // for the analyzer, it returns only when fewer than 64 KiB wait, or after
  // about a second when the analyzer takes nothing meanwhile (the bytes then
  // stay queued). The reason: a host that feeds faster than lines can be
  // analysed is slowed to the analyzer's pace, rather than queued ahead
  // without bound. The serial reader is never held.
  void GotData(int nLen, unsigned char* pData);
  void AddBuffAnalyze(unsigned char* pData, int nLen);
  // An addition to the listener's own operations, for hosts in host-feed
  // mode that know when their input ends (a file replayed, a connection
  // closed): no more bytes will come. The bytes of a line not yet ended are
  // analysed as they are, the analyzer's wait for the rest of a chunk (up to
  // 3000 ms otherwise) ends at once, and the call returns true once every
  // byte already handed to GotData has been analysed and every resulting
  // line has returned from the line callback; false when dwTimeoutMs passed
  // first, or when the listener is not listening in host-feed mode (then it
  // changes nothing). The next GotData starts new input, with the usual
  // wait. Hosts that never call it keep the 3000 ms wait.
  bool EndOfInput(uint32_t dwTimeoutMs);

  // Worker bodies.
  void WriteThread();
  void USBResumeThread();
  void AnalyzeThread();

  // Command sets.
  int GetCmdSetNum();
  bool GetCmdSetName(int nIndex, char* pszName, bool& bGraph);
  // Full path of the file of set nIndex; false when out of range.
  bool GetCmdSetPath(int nIndex, std::string& strPath);
  bool GetCurCmdSetName(char* pszName);
  int GetCurCmdSetNum();
  bool SelectCmdSet(int nIndex);
  bool SelectCmdSet(std::string strName);
  bool IsGraphByName(const char* pszName);
  bool IsSoftwarePOSByName(const char* pszName);

  // Output code map: with a table, copies its 256 bytes; always switches the
  // map on or off. Answers true. Not applied to UTF-8 text (IsUtf8Text).
  bool EnableCodeMap(bool bOn, unsigned char* pTable);

  // Code tables: a command set may describe its printer's code tables
  // (section [CodeTables], see the README). With bOn, the listener follows
  // the tables of every set that has valid ones and delivers its lines as
  // UTF-8 text, each piece read in the page of the table in force where it
  // was printed; sets without tables are delivered as before. Off (the
  // default), every set is delivered as before, tables or not. Call while
  // the listener is stopped; applies to the current set and to every set
  // selected later. pszStartPage: the page (an ICU converter name) of the
  // text before the first select command and after a reset, for sets whose
  // [CodeTables] name no Start table (the printer's default table is one of
  // its settings); null, or a name ICU does not know: POSHARK_CODEPAGE.
  // Answers IsUtf8Text().
  bool EnableCodeTables(bool bOn, const char* pszStartPage = nullptr);
  // Lines of the current set are UTF-8 text (code tables on, and the set has
  // valid ones).
  bool IsUtf8Text();
  // How many select commands named table nTable (0-255) that the current
  // set's map lacks, since it was selected; the page in force stayed. -1:
  // all numbers together (a cheap look for new ones). Any thread.
  uint32_t GetUnknownTableCount(int nTable);
  // How many lead bytes of the current set's command groups (ESC, GS, ...)
  // its fixed-length commands took as parameters since it was selected: a
  // set that gives a command more parameter bytes than the printer did
  // swallows the commands after it. Any thread.
  uint32_t GetSwallowedLeadCount();
  // One message for each fault of the current set's [CodeTables] section,
  // naming the file, the section and the key; such a set's tables are off.
  std::vector<std::string> GetCodeTableErrors();

 protected:
  // Create (or reset) and close the five worker events.
  void CreateMyEvent();
  void CloseMyEvent();
  // Wait without limit for data (or lines) or the stop event; true for data.
  bool WaitAnalyze();
  bool WaitWrite();
  void CheckModemStatus(void* hPort, int nIgnored);
  void ReportModemStatus(uint32_t dwStatus);
  // Delivers one line to the line callback, one call at a time. A derived
  // host may call it from inside its callback (the callback's lock is
  // re-entrant); the nested call runs on the writer thread too.
  void WriteOut(char* pszText, SYSTEMTIME* pTime, bool bDST, int nEvent, char* pExtra);
  // Trims spaces in place; answers the new length (0: spaces only, unchanged).
  int SpaceFilter(char* pszText);
  // Lists the command-set files anew; the work path they are found under.
  void LoadCmds();
  std::string GetWorkPath();
  // Analyses pBuf[0, nLen) with the current set, pushing records for the
  // writer; nLen bytes are left, not emitted. pBuf holds 100000 bytes (the
  // text grows by replacement texts and further chunks). Answers 0.
  int Analyze(unsigned char* pBuf, int& nLen);
  // The current command set (null until one is selected).
  RCCmdSet* CurSet() const;

 private:
  int ReOpenCom();
  void CheckComStat(void* hPort, int nIgnored);
  int CheckErrDesert(uint32_t dwEvtMask);
  void USBResumeStart();
  void USBResumeStop();
  int DecodeWChar(unsigned char* pSeq);
  void DecodeGraph(int nLen, unsigned char* pData);

  // The intake's line buffer (and in graph mode its decoder) made ready for a
  // new run (the host's GotData calls or the serial reader).
  void PrepareIntake();
  // ListenStart's steps, under csLifecycle. bByWatcher: the port resume
  // watcher restarts listening after a reopening, and stays alive.
  void StartLocked(LineOutFt pfnLineOut, bool bHostFeed, bool bByWatcher);
  // Starts the port resume watcher (ListenStart, when none is alive).
  void StartResumeWatcher();
  // The port resume watcher's steps after a lost port, each under
  // csLifecycle taken unless stop is set first: stop listening (then wait
  // out the settle time), and reopen at once and then every 100 ms until the
  // port is back and listening restarts. False when stopped first.
  bool StopForReopen(poshark::platform::Event& stop);
  bool ReopenAndListen(poshark::platform::Event& stop);
  // Stops the analyzer, the serial reader, the writer and the idle stop
  // thread, in this order (ListenStop, KeyStop and the port resume watcher).
  void StopWorkers();
  void RegisterPort(uint32_t nPort, uint32_t nState, const char* pszName);

 protected:
  friend class RCPosHarkTestAccess;  // white-box tests only

 private:
  // Command-set files and the current set; first, as the write queue asks it.
  std::unique_ptr<poshark::commands::CmdSetCatalog> m_Catalog;
  // The port, its settings, the serial reader and the port resume watcher.
  std::unique_ptr<poshark::listener::SerialLink> m_Link;

 protected:
  // State a derived host may use: its POS number, the callbacks, the gate,
  // the worker run flags, threads and events (WaitAnalyze and WaitWrite wait
  // on them), the two record queues, the serial port and its saved settings.
  // Fields written by one thread and polled by another are atomics; the
  // threads and events are touched only by the lifecycle operations, which
  // hold csLifecycle. The workers' own state (thread, run flag, events, and
  // the writer's callback and gate, the serial link's port and settings)
  // belongs to those parts; the names after the parts refer to it.
  int nPOSNo = 0;
  std::atomic<DstFt> pfnDstFt{nullptr};
  bool bSenderDecode = false;
  std::atomic<ErrFt> pfnErrFt{nullptr};
  std::unique_ptr<RCDataQueue> m_AnalyzeQueue;           // line chunks for the analyzer
  std::unique_ptr<RCLineQueue> m_WriteQueue;             // analysed lines for the writer
  std::unique_ptr<poshark::platform::Event> hStopEvent;  // manual-reset, all workers'
  std::atomic<bool> bStarted{false};
  std::atomic<bool> bRunning{false};

 private:
  // Mode of the last ListenStart, so that KeyStart resumes the same way.
  std::atomic<bool> bHostFeed{false};
  // Serializes the host's lifecycle operations (ListenStart, ListenStop,
  // KeyStop, KeyStart, OpenCom, CloseCom) with the port resume watcher, which
  // stops the workers and reopens and restarts on its own thread. The watcher
  // never waits for it while it is asked to stop, so the host may hold it
  // while joining the watcher. Taken once per operation: KeyStart and the
  // watcher restart through StartLocked, which nothing re-enters.
  std::mutex csLifecycle;

  // The parts that do the work; each states its contract and locking in its
  // own header. Built in this order by the constructor.
  std::unique_ptr<poshark::listener::DrainWatch> m_Drain;     // end of input
  std::unique_ptr<poshark::listener::ChunkWake> m_ChunkWake;  // when chunks wake the analyzer
  std::unique_ptr<poshark::listener::LineWriter> m_Writer;    // line delivery
  std::unique_ptr<poshark::listener::IdleStop> m_IdleStop;    // idle transaction stop
  std::unique_ptr<poshark::listener::AnalyzerLink> m_AnalyzerLink;
  std::unique_ptr<poshark::commands::StreamAnalyzer> m_Analyzer;
  std::unique_ptr<poshark::listener::IntakeHold> m_Hold;    // holds a fast host feed
  std::unique_ptr<poshark::listener::LineIntake> m_Intake;  // trace and line cutting

 protected:
  // The parts' own state, under the names a derived host knows.
  std::atomic<LineOutFt>& pfnLineOut;                        // the writer's
  std::atomic<uint32_t>& dwGateOpenTime;                     // the writer's: ms after OpenCom
  std::atomic<uint32_t>& dwOpenTick;                         // the writer's: GetTickCount then
  std::atomic<bool>& bGateOpen;                              // the writer's
  std::atomic<bool>& bWriteRun;                              // the writer's
  std::thread& hWriteThread;                                 // the writer's
  std::unique_ptr<poshark::platform::Event>& hWriteEvent;    // the writer's, auto-reset
  std::atomic<bool>& bAnalyzeRun;                            // the analyzer's
  std::thread& hAnalyzeThread;                               // the analyzer's
  std::unique_ptr<poshark::platform::Event>& hAnalyzeEvent;  // the analyzer's, auto-reset
  std::atomic<TestListenFt>& pfnTestListen;                  // the analyzer's
  std::atomic<bool>& bStopEventRun;                          // the idle stop's
  std::thread& hStopEventThread;                             // the idle stop's
  std::unique_ptr<RCSerialPort>& m_Serial;                   // the serial link's, and below
  std::string& strDeviceName;
  int& nComPort;  // the settings of the last OpenCom, kept for reopening
  int& nBaudRate;
  int& nDataBits;
  int& nStopBits;
  int& nParity;
  void*& hComHandle;
  std::atomic<bool>& bListenRun;  // the serial reader's
  std::thread& hListenThread;
  std::atomic<bool>& bResumeRun;  // the port resume watcher's
  std::thread& hResumeThread;
  std::unique_ptr<poshark::platform::Event>& hResumeStopEvent;  // manual-reset
  std::unique_ptr<poshark::platform::Event>& hPortLostEvent;    // manual-reset
};
