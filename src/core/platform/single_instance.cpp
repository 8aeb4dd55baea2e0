#include "platform/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <string>

namespace lindra {

SingleInstance::SingleInstance(std::filesystem::path lockDir) : lockDir_(std::move(lockDir)) {}

std::filesystem::path SingleInstance::LockFile(const std::string& name) const {
  std::string base = name + "-" + std::to_string(::getuid()) + ".lock";
  for (auto& c : base) {
    if (c == '/') c = '_';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return lockDir_ / base;
}

InstanceLock SingleInstance::Acquire(const std::string& name, std::error_code* error) {
  if (fd_) return InstanceLock::Acquired;
  auto unavailable = [error] {
    if (error) *error = std::error_code(errno, std::generic_category());
    return InstanceLock::Unavailable;
  };
  // O_NOFOLLOW: a link planted at the name is never followed to another file.
  UniqueFd fd(::open(LockFile(name).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) return unavailable();
  int rc;
  do rc = ::flock(fd.get(), LOCK_EX | LOCK_NB);
  while (rc != 0 && errno == EINTR);
  if (rc != 0) return errno == EWOULDBLOCK ? InstanceLock::HeldElsewhere : unavailable();
  fd_ = std::move(fd);
  return InstanceLock::Acquired;
}

}  // namespace lindra
