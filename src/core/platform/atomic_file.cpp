#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "platform/unique_fd.h"

namespace lindra {
namespace {

std::error_code LastError() { return {errno, std::generic_category()}; }

// A name no other writer in this or another process picks at the same moment.
std::filesystem::path TemporarySibling(const std::filesystem::path& file) {
  static std::atomic<unsigned> counter{0};
  const std::string name =
      "." + file.filename().string() + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
  return file.parent_path() / name;
}

// The rename is only durable once the folder entry itself reaches the disk.
void SyncFolder(const std::filesystem::path& folder) {
  UniqueFd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
}

// A link stays a link: the file it points to is the one replaced.
std::filesystem::path ResolveLink(const std::filesystem::path& file) {
  std::error_code ec;
  if (!std::filesystem::is_symlink(file, ec)) return file;
  std::filesystem::path target = std::filesystem::canonical(file, ec);
  return ec ? file : target;
}

}  // namespace

std::error_code WriteFileAtomically(const std::filesystem::path& link, std::string_view bytes, AtLink atLink) {
  if (link.filename().empty()) return std::make_error_code(std::errc::invalid_argument);
  const std::filesystem::path file = atLink == AtLink::WriteThrough ? ResolveLink(link) : link;
  std::filesystem::path temp;
  UniqueFd fd;
  for (int attempt = 0; attempt < 16 && !fd; ++attempt) {
    temp = TemporarySibling(file);
    // 0666 lets the umask decide, as for any file the program creates.
    fd.Reset(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd && errno != EEXIST) return LastError();
  }
  if (!fd) return std::make_error_code(std::errc::file_exists);

  auto fail = [&temp, &fd](std::error_code ec) {
    fd.Reset();
    ::unlink(temp.c_str());
    return ec;
  };
  struct stat old {};
  if (::lstat(file.c_str(), &old) == 0 && S_ISREG(old.st_mode)) ::fchmod(fd.get(), old.st_mode & 07777);
  if (!WriteAll(fd.get(), bytes)) return fail(LastError());
  if (::fsync(fd.get()) != 0) return fail(LastError());
  if (::close(fd.Release()) != 0) return fail(LastError());
  if (::rename(temp.c_str(), file.c_str()) != 0) return fail(LastError());
  SyncFolder(file.parent_path());
  return {};
}

UniqueFd CreateFileAnew(const std::filesystem::path& file) {
  if (::unlink(file.c_str()) != 0 && errno != ENOENT) return UniqueFd();
  // O_EXCL: a link planted again since the unlink makes this fail instead of being followed.
  return UniqueFd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
}

}  // namespace lindra
