// Pieces the serial tests share: a fresh poshark home with a port map,
// pseudo-terminal "adapters" that can be unplugged and plugged back behind
// the mapped path, a capture of the debug strings, and a reader of the port
// registry that libKXComPort.so writes.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Debug.h"

namespace serial_kit {

// A temporary folder made the poshark home for the life of the object.
class TempHome {
 public:
  TempHome() {
    char szTemplate[] = "/tmp/poshark-serial-XXXXXX";
    const char* pszDir = ::mkdtemp(szTemplate);
    path_ = pszDir ? pszDir : "";
    const char* pszOld = std::getenv("POSHARK_HOME");
    bHadOld_ = pszOld != nullptr;
    old_ = pszOld ? pszOld : "";
    ::setenv("POSHARK_HOME", path_.c_str(), 1);
  }
  ~TempHome() {
    if (bHadOld_) {
      ::setenv("POSHARK_HOME", old_.c_str(), 1);
    } else {
      ::unsetenv("POSHARK_HOME");
    }
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

  // Maps COM<nPort> to devicePath in ComPorts.ini (the whole map is rewritten).
  void MapPorts(const std::map<int, std::string>& ports, int nSettleMs = -1) const {
    std::ofstream out(File("ComPorts.ini"), std::ios::trunc);
    out << "; written by the test\n[Ports]\n";
    for (const auto& [nPort, path] : ports) {
      out << "COM" << nPort << "=" << path << "\n";
    }
    if (nSettleMs >= 0) {
      out << "[Resume]\nSettleTime=" << nSettleMs << "\n";
    }
  }

 private:
  std::string path_;
  bool bHadOld_ = false;
  std::string old_;
};

// One pseudo-terminal pair; the test keeps the master, the port object opens
// the slave through a symbolic link (the mapped path). Closing the master is
// an unplug.
class Pty {
 public:
  Pty() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0) {
      char szName[128] = {};
      if (::ptsname_r(master_, szName, sizeof szName) == 0) {
        slave_ = szName;
      }
    }
  }
  ~Pty() { Unplug(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool Ok() const { return master_ >= 0 && !slave_.empty(); }
  const std::string& SlavePath() const { return slave_; }
  int Master() const { return master_; }

  bool Write(const std::string& bytes) const {
    size_t nDone = 0;
    while (nDone < bytes.size()) {
      ssize_t n = ::write(master_, bytes.data() + nDone, bytes.size() - nDone);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      nDone += static_cast<size_t>(n);
    }
    return true;
  }

  void Unplug() {
    if (master_ >= 0) {
      ::close(master_);
      master_ = -1;
    }
  }

 private:
  int master_ = -1;
  std::string slave_;
};

// An adapter behind a fixed link path: Plug makes a new pseudo-terminal and
// points the link at it; Unplug closes the master and removes the link.
class Adapter {
 public:
  explicit Adapter(std::string linkPath) : link_(std::move(linkPath)) {}
  ~Adapter() { Unplug(); }

  bool Plug() {
    Unplug();
    pty_ = std::make_unique<Pty>();
    if (!pty_->Ok()) {
      return false;
    }
    std::string temp = link_ + ".new";
    ::unlink(temp.c_str());
    return ::symlink(pty_->SlavePath().c_str(), temp.c_str()) == 0 &&
           ::rename(temp.c_str(), link_.c_str()) == 0;
  }
  void Unplug() {
    ::unlink(link_.c_str());
    pty_.reset();
  }
  bool Write(const std::string& bytes) const { return pty_ && pty_->Write(bytes); }
  const std::string& Link() const { return link_; }
  Pty* pty() const { return pty_.get(); }

 private:
  std::string link_;
  std::unique_ptr<Pty> pty_;
};

// Collects the debug strings while alive.
class DebugCapture {
 public:
  DebugCapture() {
    poshark::platform::SetDebugSink([this](const char* psz) {
      std::lock_guard<std::mutex> lock(lock_);
      texts_.emplace_back(psz ? psz : "");
    });
  }
  ~DebugCapture() { poshark::platform::SetDebugSink(nullptr); }

  int Count(const std::string& part) const {
    std::lock_guard<std::mutex> lock(lock_);
    int n = 0;
    for (const auto& text : texts_) {
      if (text.find(part) != std::string::npos) ++n;
    }
    return n;
  }
  std::vector<std::string> All() const {
    std::lock_guard<std::mutex> lock(lock_);
    return texts_;
  }

 private:
  mutable std::mutex lock_;
  std::vector<std::string> texts_;
};

// What the registry says about one port.
struct RegEntry {
  int nState = -1;
  std::string name;
  long nPid = 0;
  std::string since;
};

inline std::map<int, RegEntry> ReadRegistry(const std::string& home) {
  std::map<int, RegEntry> reg;
  std::ifstream in(home + "/ComPortRegistry.ini");
  std::string line;
  RegEntry* pCur = nullptr;
  while (std::getline(in, line)) {
    if (line.rfind("[COM", 0) == 0) {
      pCur = &reg[std::stoi(line.substr(4))];
    } else if (pCur && line.rfind("State=", 0) == 0) {
      pCur->nState = std::stoi(line.substr(6));
    } else if (pCur && line.rfind("Name=", 0) == 0) {
      pCur->name = line.substr(5);
    } else if (pCur && line.rfind("Pid=", 0) == 0) {
      pCur->nPid = std::stol(line.substr(4));
    } else if (pCur && line.rfind("Since=", 0) == 0) {
      pCur->since = line.substr(6);
    }
  }
  return reg;
}

// Open descriptors of this process.
inline int CountFds() {
  int n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
       it != std::filesystem::directory_iterator(); ++it) {
    ++n;
  }
  return n;
}

// Polls pred every 2 ms for up to nMaxMs.
template <typename Pred>
bool WaitUntil(Pred pred, int nMaxMs = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMaxMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return pred();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace serial_kit
