#include "text/codec.h"

#include <algorithm>
#include <cctype>

#include "platform/charset.h"

namespace lindra::text {
namespace {

Encoding& SelectedEncoding() {
  static Encoding encoding("UTF-8");
  return encoding;
}

bool IsUtf8Name(std::string_view name) {
  std::string upper(name);
  std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
  return upper == "UTF-8" || upper == "UTF8";
}

// Names that stand for UTF-8 here: the empty one, and the C locale's plain ASCII,
// for which UTF-8 is the only lossless choice.
bool MeansUtf8(std::string_view name) {
  return name.empty() || name == "ANSI_X3.4-1968" || name == "ASCII" || IsUtf8Name(name);
}

// Code pages whose characters are one byte below 0x80 and two bytes from a lead byte
// of 0x81 to 0xFE on: the Korean pages and the Chinese ones built the same way.
bool IsDoubleBytePage(std::string_view name) {
  std::string key;
  for (char c : name)
    if (c != '-' && c != '_') key += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  static constexpr std::string_view kPages[] = {"CP949",       "UHC",    "MS949",  "WINDOWS949", "EUCKR", "CSEUCKR",
                                                "KSC56011987", "JOHAB",  "CP1361", "CP936",      "MS936", "WINDOWS936",
                                                "GBK",         "GB2312", "EUCCN",  "BIG5",       "CP950", "BIG5HKSCS"};
  return std::find(std::begin(kPages), std::end(kPages), key) != std::end(kPages);
}

bool IsAsciiOnly(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Length of the well-formed UTF-8 sequence at the start of `s` (Unicode's table of
// well-formed byte sequences: no overlong forms, no surrogates, nothing above
// U+10FFFF), or 0 when it is not one.
size_t Utf8SequenceLength(std::string_view s) {
  if (s.empty()) return 0;
  auto b = [&s](size_t i) { return i < s.size() ? static_cast<unsigned char>(s[i]) : 0u; };
  auto in = [](unsigned v, unsigned lo, unsigned hi) { return v >= lo && v <= hi; };
  unsigned c = b(0);
  if (c < 0x80) return 1;
  if (in(c, 0xC2, 0xDF)) return in(b(1), 0x80, 0xBF) ? 2 : 0;
  if (in(c, 0xE0, 0xEF)) {
    unsigned lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
    return in(b(1), lo, hi) && in(b(2), 0x80, 0xBF) ? 3 : 0;
  }
  if (in(c, 0xF0, 0xF4)) {
    unsigned lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
    return in(b(1), lo, hi) && in(b(2), 0x80, 0xBF) && in(b(3), 0x80, 0xBF) ? 4 : 0;
  }
  return 0;
}

bool IsValidUtf8(std::string_view s) {
  while (!s.empty()) {
    size_t len = Utf8SequenceLength(s);
    if (len == 0) return false;
    s.remove_prefix(len);
  }
  return true;
}

// Each byte that does not begin a well-formed sequence becomes U+FFFD (iconv's own
// UTF-8 reader lets code points above U+10FFFF through).
std::string SanitizeUtf8(std::string_view in) {
  std::string out;
  out.reserve(in.size() + 8);
  while (!in.empty()) {
    size_t len = Utf8SequenceLength(in);
    if (len == 0) {
      out += "\xEF\xBF\xBD";
      len = 1;
    } else {
      out.append(in.data(), len);
    }
    in.remove_prefix(len);
  }
  return out;
}

// Converts, replacing what cannot be converted with `replacement`: an invalid byte
// costs one input byte; from UTF-8, a well-formed character that the target cannot
// hold costs the whole character, so it gives one replacement.
std::string Convert(const char* to, const char* from, std::string_view in, std::string_view replacement) {
  CharsetConverter converter(to, from);
  if (!converter.valid()) return std::string(in);
  const bool fromUtf8 = IsUtf8Name(from);
  std::string out;
  while (!converter.Convert(in, out)) {
    out += replacement;
    const size_t skip = fromUtf8 ? std::max<size_t>(1, Utf8SequenceLength(in)) : 1;
    in.remove_prefix(std::min(skip, in.size()));
  }
  converter.Finish(out);
  return out;
}

}  // namespace

bool SetCodePage(const std::string& name) {
  if (!MeansUtf8(name) && !CharsetConverter("UTF-8", name.c_str()).valid()) return false;
  SelectedEncoding() = Encoding(name);
  return true;
}

const std::string& CodePage() { return SelectedEncoding().name(); }

const Encoding& EdgeEncoding() { return SelectedEncoding(); }

std::string ToInternal(std::string_view external) { return SelectedEncoding().ToInternal(external); }

std::string ToExternal(std::string_view internal) {
  if (IsAsciiOnly(internal)) return std::string(internal);
  const std::string& page = SelectedEncoding().name();
  if (page == "UTF-8") return std::string(internal);
  return Convert(page.c_str(), "UTF-8", internal, "?");
}

std::string_view UpToNul(std::string_view bytes) {
  auto nul = bytes.find('\0');
  return nul == std::string_view::npos ? bytes : bytes.substr(0, nul);
}

Encoding::Encoding(std::string_view codePage)
    : name_(MeansUtf8(codePage) ? "UTF-8" : std::string(codePage)),
      layout_(name_ == "UTF-8"             ? Layout::Utf8
              : IsDoubleBytePage(codePage) ? Layout::DoubleByte
                                           : Layout::SingleByte) {}

std::string Encoding::ToInternal(std::string_view external) const {
  if (IsAsciiOnly(external)) return std::string(external);
  if (layout_ == Layout::Utf8) return IsValidUtf8(external) ? std::string(external) : SanitizeUtf8(external);
  return Convert("UTF-8", name_.c_str(), external, "\xEF\xBF\xBD");
}

std::string_view Encoding::CutToCapacity(std::string_view bytes, size_t capacity) const {
  if (bytes.size() <= capacity || layout_ == Layout::SingleByte) return bytes.substr(0, capacity);
  size_t kept = 0;
  while (kept < bytes.size()) {
    size_t length = 1;
    if (layout_ == Layout::Utf8) {
      length = std::max<size_t>(1, Utf8SequenceLength(bytes.substr(kept)));
    } else if (static_cast<unsigned char>(bytes[kept]) >= 0x81 && static_cast<unsigned char>(bytes[kept]) <= 0xFE &&
               kept + 1 < bytes.size()) {
      length = 2;
    }
    if (kept + length > capacity) break;
    kept += length;
  }
  return bytes.substr(0, kept);
}

}  // namespace lindra::text
