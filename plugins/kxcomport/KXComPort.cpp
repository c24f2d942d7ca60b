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
// replaced as a whole (temporary file + rename) under an flock on
// ComPortRegistry.lock, so readers see the old or the new registry, never a
// torn one, and two processes never lose each other's entries. Entries of
// processes that no longer exist are dropped on the next update.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr const char* kRegistryFile = "ComPortRegistry.ini";
constexpr const char* kLockFile = "ComPortRegistry.lock";
constexpr const char* kDefaultHome = "/var/lib/poshark";
constexpr size_t kMaxNameLen = 63;
constexpr size_t kMaxEntries = 4096;       // more ports than any machine has
constexpr size_t kMaxLineLen = 1024;       // longer lines are not ours: skipped
constexpr int kLockAttempts = 200;         // 10 ms apart: at most ~2 s
constexpr auto kLockRetry = std::chrono::milliseconds(10);

struct Entry {
  unsigned int nState = 0;
  std::string name;
  long nPid = 0;
  std::string since;
};

using Registry = std::map<unsigned int, Entry>;

std::mutex g_lock;  // one update at a time within the process

std::string Home() {
  const char* pszHome = std::getenv("POSHARK_HOME");
  std::string home = pszHome && *pszHome ? pszHome : kDefaultHome;
  while (home.size() > 1 && home.back() == '/') {
    home.pop_back();
  }
  return home;
}

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
  std::tm tm {};
  localtime_r(&t, &tm);
  char sz[32];
  std::strftime(sz, sizeof sz, "%Y-%m-%d %H:%M:%S", &tm);
  return sz;
}

bool ProcessAlive(long nPid) {
  if (nPid <= 0) {
    return false;
  }
  return ::kill(static_cast<pid_t>(nPid), 0) == 0 || errno == EPERM;
}

// Reads what it can; malformed lines and sections are skipped.
Registry Load(const std::string& path) {
  Registry reg;
  std::ifstream in(path);
  std::string line;
  Entry* pCur = nullptr;
  while (std::getline(in, line)) {
    if (line.size() > kMaxLineLen) {
      continue;
    }
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (line.rfind("[COM", 0) == 0 && line.back() == ']') {
      pCur = nullptr;
      std::string digits = line.substr(4, line.size() - 5);
      if (digits.empty() || digits.size() > 10 ||
          digits.find_first_not_of("0123456789") != std::string::npos) {
        continue;
      }
      unsigned long nPort = std::strtoul(digits.c_str(), nullptr, 10);
      if (nPort > 0xFFFFFFFFUL || reg.size() >= kMaxEntries) {
        continue;
      }
      pCur = &reg[static_cast<unsigned int>(nPort)];
      continue;
    }
    if (!pCur) {
      continue;
    }
    size_t nEq = line.find('=');
    if (nEq == std::string::npos) {
      continue;
    }
    std::string key = line.substr(0, nEq);
    std::string value = line.substr(nEq + 1);
    if (key == "State") {
      pCur->nState = static_cast<unsigned int>(std::strtoul(value.c_str(), nullptr, 10));
    } else if (key == "Name") {
      pCur->name = CleanName(value.c_str());
    } else if (key == "Pid") {
      pCur->nPid = std::strtol(value.c_str(), nullptr, 10);
    } else if (key == "Since") {
      pCur->since = CleanName(value.c_str());
    }
  }
  return reg;
}

bool Save(const std::string& home, const Registry& reg) {
  std::string path = home + "/" + kRegistryFile;
  std::string temp = path + ".tmp" + std::to_string(::getpid());
  {
    std::ofstream out(temp, std::ios::trunc);
    if (!out) {
      return false;
    }
    for (const auto& [nPort, entry] : reg) {
      out << "[COM" << nPort << "]\n"
          << "State=" << entry.nState << "\n"
          << "Name=" << entry.name << "\n"
          << "Pid=" << entry.nPid << "\n"
          << "Since=" << entry.since << "\n";
    }
    out.flush();
    if (!out) {
      out.close();
      std::remove(temp.c_str());
      return false;
    }
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

// Exclusive lock on the lock file, given up after about two seconds so that a
// stuck process elsewhere cannot hang a listener. -1 on failure.
int LockRegistry(const std::string& home) {
  std::string path = home + "/" + kLockFile;
  int nFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (nFd < 0) {
    return -1;
  }
  for (int i = 0; i < kLockAttempts; ++i) {
    if (::flock(nFd, LOCK_EX | LOCK_NB) == 0) {
      return nFd;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      break;
    }
    std::this_thread::sleep_for(kLockRetry);
  }
  ::close(nFd);
  return -1;
}

}  // namespace

// nState 0 releases nPort (the entry goes if this process holds it); any
// other state records nPort as held by this process under pszName. Answers 1
// when the registry is up to date, 0 when it could not be updated.
extern "C" __attribute__((visibility("default"))) int RegKexComPort(unsigned int nPort,
                                                                    unsigned int nState,
                                                                    const char* pszName) {
  try {
    std::lock_guard<std::mutex> guard(g_lock);
    std::string home = Home();
    struct stat st {};
    if (::stat(home.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      return 0;
    }
    int nLockFd = LockRegistry(home);
    if (nLockFd < 0) {
      return 0;
    }
    Registry reg = Load(home + "/" + kRegistryFile);
    bool bChanged = false;
    for (auto it = reg.begin(); it != reg.end();) {
      if (!ProcessAlive(it->second.nPid)) {
        it = reg.erase(it);
        bChanged = true;
      } else {
        ++it;
      }
    }
    const long nSelf = static_cast<long>(::getpid());
    if (nState != 0) {
      if (reg.size() < kMaxEntries || reg.count(nPort)) {
        reg[nPort] = Entry{nState, CleanName(pszName), nSelf, Now()};
        bChanged = true;
      }
    } else {
      auto it = reg.find(nPort);
      if (it != reg.end() && it->second.nPid == nSelf) {
        reg.erase(it);
        bChanged = true;
      }
    }
    bool bOk = !bChanged || Save(home, reg);
    ::close(nLockFd);  // releases the flock
    return bOk ? 1 : 0;
  } catch (...) {
    return 0;  // nothing may cross the C boundary
  }
}
