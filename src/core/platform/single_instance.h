#pragma once
// The per-user guard against a second running server: an exclusive flock on a lock
// file, held from a successful Acquire until the object is destroyed. The kernel
// drops the lock when the process ends in any way, so a crash never leaves the name
// taken.
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/unique_fd.h"

namespace lindra {

enum class InstanceLock {
  Acquired,       // this object holds the name
  HeldElsewhere,  // another holder has it: a server is running
  Unavailable,    // the lock file cannot be opened: nothing is known about others
};

class SingleInstance {
 public:
  // The lock folder is a private one (DefaultLockDir or the given state folder): in a
  // shared folder another user could take the name first.
  explicit SingleInstance(std::filesystem::path lockDir);

  // Acquired also on a repeated call by the holder. Unavailable fills `error` with
  // the reason when given.
  InstanceLock Acquire(const std::string& name, std::error_code* error = nullptr);
  bool held() const { return fd_.valid(); }
  // The lock file of `name`: "<name in lower case>-<uid>.lock" in the lock folder.
  std::filesystem::path LockFile(const std::string& name) const;

 private:
  std::filesystem::path lockDir_;
  UniqueFd fd_;
};

}  // namespace lindra
