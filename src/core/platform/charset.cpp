#include "platform/charset.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <cerrno>

namespace lindra {
namespace {

const iconv_t kInvalid = reinterpret_cast<iconv_t>(-1);
constexpr size_t kFailed = static_cast<size_t>(-1);

}  // namespace

std::string EnvironmentCharset() {
  const locale_t environment = ::newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
  if (!environment) {
    const char* own = ::nl_langinfo(CODESET);
    return own ? std::string(own) : std::string();
  }
  std::string charset = ::nl_langinfo_l(CODESET, environment);
  ::freelocale(environment);
  return charset;
}

CharsetConverter::CharsetConverter(const char* to, const char* from) : descriptor_(::iconv_open(to, from)) {}

CharsetConverter::~CharsetConverter() {
  if (valid()) ::iconv_close(static_cast<iconv_t>(descriptor_));
}

bool CharsetConverter::valid() const { return static_cast<iconv_t>(descriptor_) != kInvalid; }

bool CharsetConverter::Convert(std::string_view& in, std::string& out) {
  const auto cd = static_cast<iconv_t>(descriptor_);
  char* inPtr = const_cast<char*>(in.data());
  size_t inLeft = in.size();
  size_t used = out.size();
  out.resize(used + in.size() * 4 + 16);
  bool converted = true;
  while (inLeft > 0) {
    char* outPtr = out.data() + used;
    size_t outLeft = out.size() - used;
    const size_t rc = ::iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    used = out.size() - outLeft;
    if (rc != kFailed) break;
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    // EILSEQ, or EINVAL for a sequence cut off at the end.
    ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
    converted = false;
    break;
  }
  out.resize(used);
  in = std::string_view(inPtr, inLeft);
  return converted;
}

void CharsetConverter::Finish(std::string& out) {
  const size_t used = out.size();
  out.resize(used + 16);
  char* outPtr = out.data() + used;
  size_t outLeft = 16;
  if (::iconv(static_cast<iconv_t>(descriptor_), nullptr, nullptr, &outPtr, &outLeft) == kFailed) outLeft = 16;
  out.resize(used + 16 - outLeft);
}

}  // namespace lindra
