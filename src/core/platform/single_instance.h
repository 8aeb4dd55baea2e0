#pragma once
// The per-user guard against a second running server: an exclusive flock on a lock
// file, held from a successful Acquire until the object is destroyed. The kernel
// drops the lock when the process ends in any way, so a crash never leaves the name
// taken.
#include <filesystem>
#include <string>

#include "platform/unique_fd.h"

namespace lindra {

class SingleInstance {
 public:
  // Lock files go to $XDG_RUNTIME_DIR when set, otherwise /tmp.
  SingleInstance();
  explicit SingleInstance(std::filesystem::path lockDir);

  // True when this object now holds `name` (again true on a repeated call); false
  // when another holder has it or the lock file cannot be opened.
  bool Acquire(const std::string& name);
  bool held() const { return fd_.valid(); }
  // The lock file of `name`: "<name in lower case>-<uid>.lock" in the lock folder.
  std::filesystem::path LockFile(const std::string& name) const;

 private:
  std::filesystem::path lockDir_;
  UniqueFd fd_;
};

}  // namespace lindra
