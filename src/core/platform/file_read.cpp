#include "platform/file_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/unique_fd.h"

namespace lindra {

std::optional<std::string> ReadFileBytes(const std::filesystem::path& file, std::error_code* error, LinkRule links) {
  auto failed = [error](int code) -> std::optional<std::string> {
    if (error) *error = std::error_code(code, std::generic_category());
    return std::nullopt;
  };
  const int noFollow = links == LinkRule::Refuse ? O_NOFOLLOW : 0;
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | noFollow));
  if (!fd) return failed(errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return failed(errno);
  if (S_ISDIR(st.st_mode)) return failed(EISDIR);
  std::string bytes;
  if (S_ISREG(st.st_mode)) bytes.reserve(static_cast<size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return failed(errno);
    }
    bytes.append(buffer, static_cast<size_t>(n));
  }
  if (error) error->clear();
  return bytes;
}

}  // namespace lindra
