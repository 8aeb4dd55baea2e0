#include "platform/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
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

}  // namespace

std::filesystem::path DefaultLogDir() {
  if (::geteuid() == 0) return "/var/log/lindra2";
  std::filesystem::path state = Env("XDG_STATE_HOME");
  if (state.empty() || state.is_relative()) state = HomeDirectory() / ".local" / "state";
  return state / "lindra2" / "logs";
}

std::filesystem::path TempDirectory() {
  std::string tmp = Env("TMPDIR");
  return tmp.empty() ? std::filesystem::path("/tmp") : std::filesystem::path(tmp);
}

bool EnsureDirectory(const std::filesystem::path& folder) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  return std::filesystem::is_directory(folder, ec);
}

}  // namespace lindra
