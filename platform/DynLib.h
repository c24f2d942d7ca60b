// Dynamic libraries: dlopen/dlsym/dlclose behind a small owning class.
#pragma once

#include <string>

namespace poshark::platform {

class DynLib {
 public:
  DynLib() = default;
  ~DynLib() { Close(); }
  DynLib(const DynLib&) = delete;
  DynLib& operator=(const DynLib&) = delete;
  DynLib(DynLib&& other) noexcept;
  DynLib& operator=(DynLib&& other) noexcept;

  // Loads the library (RTLD_NOW | RTLD_LOCAL); a name without '/' is looked
  // up by the loader's search path. Closes any library held before. False on
  // failure, with the loader's message in Error().
  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const { return pHandle_ != nullptr; }
  // Address of an exported symbol, or null.
  void* Symbol(const char* pszName) const;
  const std::string& Error() const { return strError_; }

  // Folder of the loaded object (library or executable) that holds pAddress,
  // without a trailing '/'; "" when unknown.
  static std::string FolderOf(const void* pAddress);

 private:
  void* pHandle_ = nullptr;
  std::string strError_;
};

}  // namespace poshark::platform
