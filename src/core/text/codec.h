#pragma once
// Text crosses the system's edge (serial lines, sockets, log files, table files,
// lindra.ini, HTTP bodies) as 8-bit text in one configured code page; inside, all
// text is UTF-8. This module is the only place that converts between the two.
#include <string>
#include <string_view>

namespace lindra::text {

// Selects the code page of every edge, for example "CP949". An empty name or a
// plain-ASCII locale (the C locale) selects UTF-8, the only lossless choice there.
// Called once at start-up, before any thread that converts text is running.
// Returns false (and keeps the previous code page) when iconv does not know the name.
bool SetCodePage(const std::string& name);
const std::string& CodePage();

// The code page implied by the process locale (nl_langinfo(CODESET)).
std::string LocaleCodePage();

// Edge bytes to internal UTF-8. Byte sequences that are invalid in the code page
// become U+FFFD, as the platform's conversion would make them a default character.
std::string ToInternal(std::string_view external);
// Internal UTF-8 to edge bytes. Characters the code page cannot hold become '?'.
std::string ToExternal(std::string_view internal);

// Edge bytes up to the first zero byte (the frame and raw-data texts are C strings).
std::string_view UpToNul(std::string_view bytes);

}  // namespace lindra::text
