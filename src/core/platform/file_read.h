#pragma once
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

namespace lindra {

enum class LinkRule { Follow, Refuse };

// The whole content of a regular file, or nullopt (with `error` set when given) when
// it cannot be opened or read. A folder is not a file here. With LinkRule::Refuse a
// symbolic link at the name is not read (ELOOP): the server's private state never
// comes from a file someone linked in.
std::optional<std::string> ReadFileBytes(const std::filesystem::path& file, std::error_code* error = nullptr,
                                         LinkRule links = LinkRule::Follow);

}  // namespace lindra
