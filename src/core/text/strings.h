#pragma once
// Small text helpers shared by every area: the white-space set of the device
// formats, leading-digit integers, and printf-style formatting of the system's texts.
#include <cstdarg>
#include <string>
#include <string_view>

namespace lindra::text {

// Space, tab, carriage return, line feed, vertical tab, form feed.
bool IsBlank(char c);
std::string_view TrimView(std::string_view s);
std::string Trim(std::string_view s);

// Leading-digit conversion: optional blanks, an optional sign, then digits up to the
// first non-digit; text without digits reads as 0. Saturates instead of overflowing.
long long LeadingInt(std::string_view s);
int LeadingInt32(std::string_view s);

bool IsDigit(char c);
// The C0 control characters (below 0x20) and DEL.
bool IsControl(char c);
bool AllDigits(std::string_view s);  // true for the empty text

bool EqualsIgnoreCase(std::string_view a, std::string_view b);
std::string ToUpperAscii(std::string_view s);

// printf-style formatting with the exact widths and padding of the C library
// ("%.4s", "%4s", "%02d", "%x"). The result has no length limit.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* format, va_list args);

// Cuts a UTF-8 text to at most `maxChars` characters, never inside a character.
std::string CutChars(std::string_view s, size_t maxChars);

}  // namespace lindra::text
