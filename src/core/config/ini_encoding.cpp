#include "config/ini_encoding.h"

#include <cstdint>
#include <optional>

#include "text/codec.h"

namespace lindra {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeBom = "\xFF\xFE";
constexpr std::string_view kUtf16BeBom = "\xFE\xFF";
constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The next code point of UTF-8 text, or nullopt for a malformed sequence (one byte
// is then consumed); `at` moves past what was read.
std::optional<char32_t> NextUtf8(std::string_view s, size_t& at) {
  const auto lead = static_cast<unsigned char>(s[at++]);
  if (lead < 0x80) return lead;
  const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
  if (extra < 0 || lead > 0xF4 || at + extra > s.size()) return std::nullopt;
  char32_t c = lead & (0x3F >> extra);
  for (int i = 0; i < extra; ++i) {
    const auto next = static_cast<unsigned char>(s[at + i]);
    if ((next & 0xC0) != 0x80) return std::nullopt;
    c = (c << 6) | (next & 0x3F);
  }
  static constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
  if (c < kSmallest[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
  at += extra;
  return c;
}

DecodedIni DecodeUtf8(std::string_view bytes) {
  DecodedIni out{{}, IniEncoding::Utf8, true};
  out.text.reserve(bytes.size());
  for (size_t at = 0; at < bytes.size();) {
    const std::optional<char32_t> c = NextUtf8(bytes, at);
    out.lossless = out.lossless && c.has_value();
    AppendUtf8(out.text, c.value_or(kReplacement));
  }
  return out;
}

DecodedIni DecodeUtf16(std::string_view bytes, bool bigEndian) {
  DecodedIni out{{}, bigEndian ? IniEncoding::Utf16Be : IniEncoding::Utf16Le, bytes.size() % 2 == 0};
  out.text.reserve(bytes.size());
  auto unit = [&](size_t i) -> char16_t {
    const auto a = static_cast<unsigned char>(bytes[2 * i]), b = static_cast<unsigned char>(bytes[2 * i + 1]);
    return static_cast<char16_t>(bigEndian ? (a << 8) | b : (b << 8) | a);
  };
  const size_t units = bytes.size() / 2;
  for (size_t i = 0; i < units; ++i) {
    const char16_t u = unit(i);
    if (u < 0xD800 || u > 0xDFFF) {
      AppendUtf8(out.text, u);
    } else if (u <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
      AppendUtf8(out.text, 0x10000 + ((u - 0xD800) << 10) + (unit(++i) - 0xDC00));
    } else {
      out.lossless = false;
      AppendUtf8(out.text, kReplacement);
    }
  }
  if (bytes.size() % 2 != 0) AppendUtf8(out.text, kReplacement);
  return out;
}

std::string EncodeUtf16(std::string_view text, bool bigEndian) {
  std::string out(bigEndian ? kUtf16BeBom : kUtf16LeBom);
  out.reserve(2 + text.size() * 2);
  auto put = [&](char32_t u) {
    const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    out += bigEndian ? hi : lo;
    out += bigEndian ? lo : hi;
  };
  for (size_t at = 0; at < text.size();) {
    const char32_t c = NextUtf8(text, at).value_or(kReplacement);
    if (c < 0x10000) {
      put(c);
    } else {
      put(0xD800 + ((c - 0x10000) >> 10));
      put(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
  }
  return out;
}

}  // namespace

DecodedIni DecodeIniBytes(std::string_view bytes) {
  if (bytes.starts_with(kUtf8Bom)) return DecodeUtf8(bytes.substr(kUtf8Bom.size()));
  if (bytes.starts_with(kUtf16LeBom)) return DecodeUtf16(bytes.substr(kUtf16LeBom.size()), false);
  if (bytes.starts_with(kUtf16BeBom)) return DecodeUtf16(bytes.substr(kUtf16BeBom.size()), true);
  DecodedIni out{text::ToInternal(bytes), IniEncoding::CodePage, true};
  // Bytes that are no text of the code page do not come back as they were.
  out.lossless = text::ToExternal(out.text) == bytes;
  return out;
}

std::string EncodeIniText(std::string_view text, IniEncoding encoding) {
  switch (encoding) {
    case IniEncoding::Utf8:
      return std::string(kUtf8Bom) + std::string(text);
    case IniEncoding::Utf16Le:
      return EncodeUtf16(text, false);
    case IniEncoding::Utf16Be:
      return EncodeUtf16(text, true);
    case IniEncoding::CodePage:
      break;
  }
  return text::ToExternal(text);
}

}  // namespace lindra
