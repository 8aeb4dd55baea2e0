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
// Returns false (and keeps the previous code page) when the C library does not know
// the name.
bool SetCodePage(const std::string& name);
const std::string& CodePage();

// Edge bytes to internal UTF-8. Byte sequences that are invalid in the code page
// become U+FFFD, as the platform's conversion would make them a default character.
std::string ToInternal(std::string_view external);
// Internal UTF-8 to edge bytes. Characters the code page cannot hold become '?'.
std::string ToExternal(std::string_view internal);

// Edge bytes up to the first zero byte (the frame and raw-data texts are C strings).
std::string_view UpToNul(std::string_view bytes);

// One code page as a value, for code that is handed the code page instead of reading
// the one selected for the process (the parser). It also knows how the page's bytes
// make up characters, so that a text cut to a byte capacity keeps whole characters.
class Encoding {
 public:
  // A name the C library knows; an empty or plain-ASCII name is UTF-8, as for SetCodePage.
  explicit Encoding(std::string_view codePage);

  const std::string& name() const { return name_; }
  // Edge bytes to internal UTF-8 (see ToInternal).
  std::string ToInternal(std::string_view external) const;
  // The longest start of `bytes` of at most `capacity` bytes that does not end inside
  // a character: a UTF-8 sequence or a double-byte character (CP949, EUC-KR and the
  // other double-byte pages) is kept whole or left out. Bytes that form no character
  // count one each, and single-byte pages are cut at `capacity` exactly.
  std::string_view CutToCapacity(std::string_view bytes, size_t capacity) const;

 private:
  enum class Layout { SingleByte, Utf8, DoubleByte };

  std::string name_;
  Layout layout_;
};

// The code page selected by SetCodePage, as a value.
const Encoding& EdgeEncoding();

}  // namespace lindra::text
