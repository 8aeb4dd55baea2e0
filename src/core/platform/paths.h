#pragma once
// The folders this platform gives the server: the fixed log folder (which the
// --log-dir option overrides) and the temporary folder.
#include <filesystem>

namespace lindra {

// /var/log/lindra2 for root; otherwise $XDG_STATE_HOME/lindra2/logs, where an unset
// or relative XDG_STATE_HOME means ~/.local/state.
std::filesystem::path DefaultLogDir();

// $TMPDIR when set and not empty, otherwise /tmp.
std::filesystem::path TempDirectory();

// Creates the folder and its missing parents; true when it exists as a folder
// afterwards.
bool EnsureDirectory(const std::filesystem::path& folder);

}  // namespace lindra
