#pragma once
// The secret a browser or a program off this machine shows to read the console, and
// that every change needs.
#include <filesystem>
#include <optional>
#include <string>

namespace lindra::web {

// The token in `file`: made there (32 random bytes as 64 hex digits, mode 0600) when
// it does not exist yet, read when it does. A link at the name, a file that is not
// regular, not the server's own, readable or writable by others, or empty is refused
// with `error` saying why.
std::optional<std::string> LoadOrCreateToken(const std::filesystem::path& file, std::string& error);

}  // namespace lindra::web
