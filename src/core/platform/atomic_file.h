#pragma once
// Files that hold the operator's data (lindra.ini, the table files, the statistics
// bookkeeping) are replaced whole, so a crash or a full disk never leaves a
// truncated file behind: either the old bytes or the new ones are on disk.
#include <filesystem>
#include <string_view>
#include <system_error>

#include "platform/unique_fd.h"

namespace lindra {

// What a symbolic link at the file's place means.
enum class AtLink {
  WriteThrough,  // the operator linked the file elsewhere: the file it points to is replaced
  Replace,       // the server's private state: the link itself is replaced, never followed
};

// Writes `bytes` to a temporary file in the folder of `file` (created exclusively, so
// nothing planted at its name is followed), flushes it to disk and renames it over
// `file`. An existing file keeps its permission bits. Returns the errno-based error
// of the step that failed (the temporary file is then removed and `file` is
// untouched), or {} on success.
std::error_code WriteFileAtomically(const std::filesystem::path& file, std::string_view bytes,
                                    AtLink atLink = AtLink::WriteThrough);

// A new, empty file of the server's own at `file`, open for writing: whatever stood
// at the name before (an old file, or a link planted to another file) is removed,
// never written through. Invalid (errno set) when it cannot be made.
UniqueFd CreateFileAnew(const std::filesystem::path& file);

}  // namespace lindra
