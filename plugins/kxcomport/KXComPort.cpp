// libKXComPort.so: registry of the serial ports that POS listeners hold.
//
// The listener calls RegKexComPort(port, 96, device name) when it has opened
// a port and RegKexComPort(port, 0, "") when it releases one. The registry is
// ComPortRegistry.ini in the poshark home (POSHARK_HOME, else
// /var/lib/poshark), one section per port in use:
//
//   [COM3]
//   State=96
//   Name=Front till
//   Pid=4711
//   Since=2026-12-06 08:51:14
//
// so that a tool can show which POS device holds which port. The file is
// written the way every profile file of poshark is (platform/Profile.h):
// replaced as a whole under an flock on ComPortRegistry.ini.lock, so readers
// see the old or the new registry, never a torn one, and two processes never
// lose each other's entries. Entries of processes that no longer exist are
// dropped on the next update.
#include "platform/Paths.h"
#include "platform/Profile.h"
#include "platform/Text.h"
#include "platform/ThreadAnnotations.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace {

namespace pf = poshark::platform;

constexpr const char* kRegistryFile = "ComPortRegistry.ini";
constexpr size_t kMaxNameLen = 63;
constexpr size_t kMaxEntries = 4096;  // more ports than any machine has
// A stuck process elsewhere must not hang a listener that takes a port.
constexpr auto kMaxLockWait = std::chrono::seconds(2);

pf::Mutex g_lock;  // one update at a time within the process

// Names go into one line of the file: control characters are replaced and
// the length is bounded as the listener bounds it.
std::string CleanName(const char* pszName) {
  std::string name;
  if (!pszName) {
    return name;
  }
  for (size_t i = 0; pszName[i] && i < kMaxNameLen; ++i) {
    unsigned char c = static_cast<unsigned char>(pszName[i]);
    name.push_back(c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c));
  }
  return name;
}

std::string Now() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char sz[32];
  std::strftime(sz, sizeof sz, "%Y-%m-%d %H:%M:%S", &tm);
  return sz;
}

bool ProcessAlive(long nPid) {
  if (nPid <= 0 || nPid > static_cast<long>(INT32_MAX)) {
    return false;
  }
  return ::kill(static_cast<pid_t>(nPid), 0) == 0 || errno == EPERM;
}

std::string Section(unsigned int nPort) { return "COM" + std::to_string(nPort); }

// A "COM..." section with a port number, as Section writes it.
bool IsPortSection(const std::string& section) {
  return section.size() > 3 && section.size() <= 13 &&
         section.find_first_not_of("0123456789", 3) == std::string::npos;
}

// The sections to drop (ports whose holder has ended, malformed "COM..."
// sections), and whether nPort is held by this process. Sections of other
// names are not ours and stay.
struct Scan {
  std::vector<std::string> drop;
  size_t nLive = 0;
  bool bHeldByUs = false;
  bool bListed = false;
};

Scan ScanRegistry(const pf::ProfileReader& reg, unsigned int nPort, long nSelf) {
  Scan scan;
  const std::string ours = Section(nPort);
  for (const std::string& section : reg.GetSectionNames()) {
    if (section.size() < 3 || !pf::EqualNoCase(section.substr(0, 3), "COM")) {
      continue;
    }
    const long nPid = reg.GetInt(section, "Pid", 0);
    if (!IsPortSection(section) || !ProcessAlive(nPid)) {
      scan.drop.push_back(section);
      continue;
    }
    ++scan.nLive;
    if (pf::EqualNoCase(section, ours)) {
      scan.bListed = true;
      scan.bHeldByUs = nPid == nSelf;
    }
  }
  return scan;
}

}  // namespace

// nState 0 releases nPort (the entry goes if this process holds it); any
// other state records nPort as held by this process under pszName. Answers 1
// when the registry is up to date, 0 when it could not be updated.
extern "C" __attribute__((visibility("default"))) int RegKexComPort(unsigned int nPort,
                                                                    unsigned int nState,
                                                                    const char* pszName) {
  try {
    pf::MutexLock guard(g_lock);
    const std::string home = pf::PosharkHome();
    if (!pf::DirectoryExists(home)) {
      return 0;
    }
    const long nSelf = static_cast<long>(::getpid());
    const std::string section = Section(nPort);
    const std::string path = pf::JoinPath(home, kRegistryFile);
    pf::ProfileWriter writer(path.c_str());
    writer.SetLockWait(kMaxLockWait);
    bool bOk = writer.Commit([&](const pf::ProfileReader& reg) {
      const Scan scan = ScanRegistry(reg, nPort, nSelf);
      for (const std::string& gone : scan.drop) {
        writer.WriteString(gone.c_str(), nullptr, nullptr);
      }
      if (nState == 0) {
        if (scan.bHeldByUs) writer.WriteString(section.c_str(), nullptr, nullptr);
      } else if (scan.bListed || scan.nLive < kMaxEntries) {
        writer.WriteSection(section.c_str(),
                            {"State=" + std::to_string(nState), "Name=" + CleanName(pszName),
                             "Pid=" + std::to_string(nSelf), "Since=" + Now()});
      }
    });
    return bOk ? 1 : 0;
  } catch (...) {
    return 0;  // nothing may cross the C boundary
  }
}
