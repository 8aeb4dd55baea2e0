#include "platform/file_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/unique_fd.h"

namespace lindra {
namespace {

// A refusal carries the nearest system error number, and its own category so that it
// is never mistaken for an error the system reported.
class RefusalCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "file refusal"; }
  std::string message(int code) const override {
    return code == EFBIG ? "larger than the size cap" : "not a regular file";
  }
  std::error_condition default_error_condition(int code) const noexcept override {
    return std::error_condition(code, std::generic_category());
  }
};

const std::error_category& Refusals() {
  static const RefusalCategory category;
  return category;
}

std::string MebibyteText(uintmax_t bytes) {
  if (bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  return std::to_string(bytes) + " bytes";
}

}  // namespace

std::optional<std::string> ReadFileBytes(const std::filesystem::path& file, std::error_code* error, LinkRule links,
                                         uintmax_t maxBytes) {
  auto failed = [error](std::error_code code) -> std::optional<std::string> {
    if (error) *error = code;
    return std::nullopt;
  };
  auto systemError = [](int code) { return std::error_code(code, std::generic_category()); };
  const int noFollow = links == LinkRule::Refuse ? O_NOFOLLOW : 0;
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | noFollow));
  if (!fd) return failed(systemError(errno));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return failed(systemError(errno));
  if (S_ISDIR(st.st_mode)) return failed(systemError(EISDIR));
  if (!S_ISREG(st.st_mode)) return failed(std::error_code(EINVAL, Refusals()));
  const auto size = static_cast<uintmax_t>(st.st_size);
  if (size > maxBytes) return failed(std::error_code(EFBIG, Refusals()));
  std::string bytes;
  bytes.reserve(static_cast<size_t>(size));
  char buffer[65536];
  for (;;) {
    // A file that grows while it is read (or one whose size the system does not
    // know, as under /proc) is held to the cap as well.
    const uintmax_t room = maxBytes - std::min<uintmax_t>(maxBytes, bytes.size());
    const size_t want = static_cast<size_t>(std::min<uintmax_t>(sizeof buffer, room == UINTMAX_MAX ? room : room + 1));
    ssize_t n = ::read(fd.get(), buffer, want);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return failed(systemError(errno));
    }
    if (static_cast<uintmax_t>(n) > room) return failed(std::error_code(EFBIG, Refusals()));
    bytes.append(buffer, static_cast<size_t>(n));
  }
  if (error) error->clear();
  return bytes;
}

bool IsNotRegularFile(const std::error_code& error) {
  return error.category() == Refusals() && error.value() == EINVAL;
}

bool IsOverSizeCap(const std::error_code& error) { return error.category() == Refusals() && error.value() == EFBIG; }

std::string FileRefusalText(const std::error_code& error, uintmax_t maxBytes) {
  if (IsNotRegularFile(error)) return "일반 파일이 아님";
  if (IsOverSizeCap(error)) return "크기 제한 " + MebibyteText(maxBytes) + " 초과";
  return "";
}

}  // namespace lindra
