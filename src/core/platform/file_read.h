#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

namespace lindra {

enum class LinkRule { Follow, Refuse };

inline constexpr uintmax_t kNoSizeCap = UINTMAX_MAX;

// The whole content of a regular file, or nullopt (with `error` set when given) when
// it cannot be opened or read. Only a regular file is read: the name is opened
// without blocking, so a FIFO planted there cannot hold the caller, and anything but
// a regular file (a folder: EISDIR; a FIFO, a device such as /dev/zero behind a
// link: a refusal) is not read. A file of more than `maxBytes` is refused without
// being read whole. With LinkRule::Refuse a symbolic link at the name is not read
// (ELOOP): the server's private state never comes from a file someone linked in.
std::optional<std::string> ReadFileBytes(const std::filesystem::path& file, std::error_code* error = nullptr,
                                         LinkRule links = LinkRule::Follow, uintmax_t maxBytes = kNoSizeCap);

// The two refusals of ReadFileBytes. They compare equal to std::errc::invalid_argument
// and std::errc::file_too_large, and their value is that system error number, which
// is what lines that carry an error number show.
bool IsNotRegularFile(const std::error_code& error);
bool IsOverSizeCap(const std::error_code& error);

// Why a file was refused, for the message log ("일반 파일이 아님", "크기 제한 1 MiB 초과");
// "" for an error of the system.
std::string FileRefusalText(const std::error_code& error, uintmax_t maxBytes);

}  // namespace lindra
