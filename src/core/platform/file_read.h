#pragma once
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

namespace lindra {

// The whole content of a regular file, or nullopt (with `error` set when given) when
// it cannot be opened or read. A folder is not a file here.
std::optional<std::string> ReadFileBytes(const std::filesystem::path& file, std::error_code* error = nullptr);

}  // namespace lindra
