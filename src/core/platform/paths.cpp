#include "platform/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace lindra {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

std::filesystem::path HomeDirectory() {
  std::string home = Env("HOME");
  if (!home.empty()) return home;
  // A service started without HOME still has an entry in the user database.
  struct passwd entry {};
  struct passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir)
    return found->pw_dir;
  return TempDirectory();
}

// The user's own state folder of this program.
std::filesystem::path UserStateDir() {
  std::filesystem::path state = Env("XDG_STATE_HOME");
  if (state.empty() || state.is_relative()) state = HomeDirectory() / ".local" / "state";
  return state / "lindra2";
}

bool IsRoot() { return ::geteuid() == 0; }

// mkdir -p with mode 0700 for every part it creates.
bool MakePrivateFolders(const std::filesystem::path& folder) {
  if (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) return true;
  if (errno != ENOENT) return false;
  const std::filesystem::path parent = folder.parent_path();
  if (parent.empty() || parent == folder || !MakePrivateFolders(parent)) return false;
  return ::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace

std::filesystem::path DefaultLogDir() { return IsRoot() ? "/var/log/lindra2" : UserStateDir() / "logs"; }

std::filesystem::path DefaultStateDir() { return IsRoot() ? "/var/lib/lindra2" : UserStateDir(); }

std::filesystem::path DefaultLockDir() { return IsRoot() ? "/run/lindra2" : UserStateDir(); }

std::filesystem::path TempDirectory() {
  std::string tmp = Env("TMPDIR");
  return tmp.empty() ? std::filesystem::path("/tmp") : std::filesystem::path(tmp);
}

bool IsExecutableFile(const std::filesystem::path& file) {
  std::error_code ec;
  return std::filesystem::is_regular_file(file, ec) && ::access(file.c_str(), X_OK) == 0;
}

bool EnsureDirectory(const std::filesystem::path& folder) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  return std::filesystem::is_directory(folder, ec);
}

std::string PreparePrivateDirectory(const std::filesystem::path& given) {
  std::filesystem::path folder = given.lexically_normal();
  if (!folder.empty() && !folder.has_filename()) folder = folder.parent_path();  // "dir/" is "dir"
  if (folder.empty()) return "폴더가 지정되지 않았습니다";
  if (!MakePrivateFolders(folder)) return std::string("만들 수 없습니다 (") + std::strerror(errno) + ")";
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) return std::string("확인할 수 없습니다 (") + std::strerror(errno) + ")";
  if (S_ISLNK(st.st_mode)) return "심볼릭 링크입니다";
  if (!S_ISDIR(st.st_mode)) return "폴더가 아닙니다";
  if (st.st_uid != ::geteuid()) return "다른 사용자의 폴더입니다";
  if (st.st_mode & (S_IWGRP | S_IWOTH)) return "다른 사용자가 쓸 수 있는 폴더입니다";
  return {};
}

}  // namespace lindra
