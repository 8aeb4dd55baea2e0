#include "text/codec.h"

#include <iconv.h>
#include <langinfo.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace lindra::text {
namespace {

std::string& SelectedCodePage() {
  static std::string name = "UTF-8";
  return name;
}

bool IsUtf8Name(std::string_view name) {
  std::string upper(name);
  std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
  return upper == "UTF-8" || upper == "UTF8";
}

bool IsAsciiOnly(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Converts with iconv, replacing what cannot be converted: an invalid or unmappable
// input sequence costs `skip` input bytes and appends `replacement`.
std::string Convert(const char* to, const char* from, std::string_view in, std::string_view replacement) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
  std::string out;
  out.resize(in.size() * 4 + 16);
  char* inPtr = const_cast<char*>(in.data());
  size_t inLeft = in.size();
  size_t used = 0;
  while (inLeft > 0) {
    char* outPtr = out.data() + used;
    size_t outLeft = out.size() - used;
    size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    used = out.size() - outLeft;
    if (rc != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    // EILSEQ or EINVAL (truncated sequence at the end): drop one byte, mark it.
    out.resize(std::max(out.size(), used + replacement.size() + inLeft * 4 + 16));
    std::memcpy(out.data() + used, replacement.data(), replacement.size());
    used += replacement.size();
    ++inPtr;
    --inLeft;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  iconv_close(cd);
  out.resize(used);
  return out;
}

std::string SanitizeUtf8(std::string_view in) { return Convert("UTF-8", "UTF-8", in, "\xEF\xBF\xBD"); }

bool IsValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (len == 0 || i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += len;
  }
  return true;
}

}  // namespace

bool SetCodePage(const std::string& name) {
  if (name.empty() || name == "ANSI_X3.4-1968" || name == "ASCII" || IsUtf8Name(name)) {
    SelectedCodePage() = "UTF-8";
    return true;
  }
  iconv_t cd = iconv_open("UTF-8", name.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(cd);
  SelectedCodePage() = name;
  return true;
}

const std::string& CodePage() { return SelectedCodePage(); }

std::string LocaleCodePage() {
  const char* cs = nl_langinfo(CODESET);
  return cs ? std::string(cs) : std::string();
}

std::string ToInternal(std::string_view external) {
  if (IsAsciiOnly(external)) return std::string(external);
  if (SelectedCodePage() == "UTF-8")
    return IsValidUtf8(external) ? std::string(external) : SanitizeUtf8(external);
  return Convert("UTF-8", SelectedCodePage().c_str(), external, "\xEF\xBF\xBD");
}

std::string ToExternal(std::string_view internal) {
  if (IsAsciiOnly(internal)) return std::string(internal);
  if (SelectedCodePage() == "UTF-8") return std::string(internal);
  return Convert(SelectedCodePage().c_str(), "UTF-8", internal, "?");
}

std::string_view UpToNul(std::string_view bytes) {
  auto nul = bytes.find('\0');
  return nul == std::string_view::npos ? bytes : bytes.substr(0, nul);
}

}  // namespace lindra::text
