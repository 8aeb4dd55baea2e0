#pragma once
// The folders this platform gives the server: the fixed log folder (which --log-dir
// overrides), the private state folder (which --state-dir overrides), the place of
// the single-instance lock, and the temporary folder.
#include <filesystem>
#include <string>

namespace lindra {

// /var/log/lindra2 for root; otherwise $XDG_STATE_HOME/lindra2/logs, where an unset
// or relative XDG_STATE_HOME means ~/.local/state.
std::filesystem::path DefaultLogDir();

// /var/lib/lindra2 for root; otherwise $XDG_STATE_HOME/lindra2 (the same rule).
std::filesystem::path DefaultStateDir();

// /run/lindra2 for root, otherwise the default state folder: a private place of the
// user's own that no environment variable can move.
std::filesystem::path DefaultLockDir();

// $TMPDIR when set and not empty, otherwise /tmp.
std::filesystem::path TempDirectory();

// A regular file (or a link to one) that this process may run.
bool IsExecutableFile(const std::filesystem::path& file);

// Creates the folder and its missing parents; true when it exists as a folder
// afterwards.
bool EnsureDirectory(const std::filesystem::path& folder);

// Makes a private folder of the server (missing parts created with mode 0700) and
// checks that nobody else can plant anything in it: it must be a real folder, not a
// symbolic link, owned by this user and not writable by group or others. Returns
// an empty text when it is usable, otherwise why not (a short Korean text).
std::string PreparePrivateDirectory(const std::filesystem::path& folder);

}  // namespace lindra
