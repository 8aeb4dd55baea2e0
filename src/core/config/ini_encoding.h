#pragma once
// The encodings lindra.ini may come in. Windows editors save "Unicode" text as
// UTF-16 with a byte-order mark, and the platform's profile reader reads such files,
// so the file is read in any of them and written back in the one it came in.
#include <string>
#include <string_view>

namespace lindra {

enum class IniEncoding {
  CodePage,  // no byte-order mark: text in the configured code page
  Utf8,      // EF BB BF
  Utf16Le,   // FF FE
  Utf16Be,   // FE FF
};

struct DecodedIni {
  std::string text;  // UTF-8, without the byte-order mark
  IniEncoding encoding = IniEncoding::CodePage;
  // False when some bytes are no text of the encoding (they read as U+FFFD): writing
  // the file back would destroy them.
  bool lossless = true;
};

// Picks the encoding by the byte-order mark and decodes the file's bytes.
DecodedIni DecodeIniBytes(std::string_view bytes);
// UTF-8 text as file bytes of `encoding`, byte-order mark included.
std::string EncodeIniText(std::string_view text, IniEncoding encoding);

}  // namespace lindra
