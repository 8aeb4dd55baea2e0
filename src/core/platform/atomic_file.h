#pragma once
// Files that hold the operator's data (lindra.ini, the table files, the statistics
// bookkeeping) are replaced whole, so a crash or a full disk never leaves a
// truncated file behind: either the old bytes or the new ones are on disk.
#include <filesystem>
#include <string_view>
#include <system_error>

namespace lindra {

// Writes `bytes` to a temporary file in the folder of `file`, flushes it to disk and
// renames it over `file`. An existing file keeps its permission bits. Returns the
// errno-based error of the step that failed (the temporary file is then removed and
// `file` is untouched), or {} on success. When `file` is a symbolic link, the file
// it points to is replaced and the link kept.
std::error_code WriteFileAtomically(const std::filesystem::path& file, std::string_view bytes);

}  // namespace lindra
