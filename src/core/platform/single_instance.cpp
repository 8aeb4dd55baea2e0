#include "platform/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "text/strings.h"

namespace lindra {
namespace {

std::filesystem::path DefaultLockDir() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && runtime[0] == '/') return runtime;
  return "/tmp";
}

}  // namespace

SingleInstance::SingleInstance() : lockDir_(DefaultLockDir()) {}

SingleInstance::SingleInstance(std::filesystem::path lockDir) : lockDir_(std::move(lockDir)) {}

std::filesystem::path SingleInstance::LockFile(const std::string& name) const {
  std::string base = text::Format("%s-%u.lock", name.c_str(), static_cast<unsigned>(::getuid()));
  for (auto& c : base) {
    if (c == '/') c = '_';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return lockDir_ / base;
}

bool SingleInstance::Acquire(const std::string& name) {
  if (fd_) return true;
  // O_NOFOLLOW: in a shared /tmp another user could plant a link to a file of ours.
  UniqueFd fd(::open(LockFile(name).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) return false;
  int rc;
  do rc = ::flock(fd.get(), LOCK_EX | LOCK_NB);
  while (rc != 0 && errno == EINTR);
  if (rc != 0) return false;
  fd_ = std::move(fd);
  return true;
}

}  // namespace lindra
