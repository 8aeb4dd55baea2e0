#include "web/access_token.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "platform/unique_fd.h"

namespace lindra::web {
namespace {

constexpr size_t kTokenBytes = 32;
constexpr size_t kTokenFileLimit = 4096;

std::string Failure(const std::filesystem::path& file, const std::string& why) {
  return "--http-token-file: " + file.string() + ": " + why;
}

std::optional<std::string> Create(const std::filesystem::path& file, std::string& error) {
  std::array<unsigned char, kTokenBytes> random{};
  if (::getrandom(random.data(), random.size(), 0) != static_cast<ssize_t>(random.size())) {
    error = Failure(file, std::string("no random bytes: ") + std::strerror(errno));
    return std::nullopt;
  }
  std::string token;
  for (unsigned char byte : random) {
    static constexpr char kHex[] = "0123456789abcdef";
    token += kHex[byte >> 4];
    token += kHex[byte & 0xF];
  }
  UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) {
    error = Failure(file, std::string("cannot be made: ") + std::strerror(errno));
    return std::nullopt;
  }
  const std::string line = token + "\n";
  if (::write(fd.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size()) || ::fsync(fd.get()) != 0) {
    error = Failure(file, std::string("cannot be written: ") + std::strerror(errno));
    ::unlink(file.c_str());
    return std::nullopt;
  }
  return token;
}

}  // namespace

std::optional<std::string> LoadOrCreateToken(const std::filesystem::path& file, std::string& error) {
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd && errno == ENOENT) return Create(file, error);
  if (!fd) {
    error = Failure(file, errno == ELOOP ? "a symbolic link, not read" : std::strerror(errno));
    return std::nullopt;
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    error = Failure(file, "not a regular file");
    return std::nullopt;
  }
  // Whoever else could read it could act as the console's users; whoever could write
  // it could choose their token.
  if (status.st_uid != ::geteuid() || (status.st_mode & 077) != 0) {
    error = Failure(file, "must belong to this user with mode 0600 (chmod 600)");
    return std::nullopt;
  }
  std::string token(kTokenFileLimit, '\0');
  const ssize_t got = ::read(fd.get(), token.data(), token.size());
  token.resize(got > 0 ? static_cast<size_t>(got) : 0);
  while (!token.empty() && (token.back() == '\n' || token.back() == '\r' || token.back() == ' ')) token.pop_back();
  if (token.empty() || token.find_first_of(" \t\r\n") != std::string::npos) {
    error = Failure(file, "holds no token (one line without spaces)");
    return std::nullopt;
  }
  return token;
}

}  // namespace lindra::web
