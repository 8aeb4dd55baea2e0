#pragma once
// The C library's character sets: conversion between two of them (iconv) and the
// character set of the user's locale. The codec decides what to do with what cannot
// be converted; this is only the conversion itself.
#include <string>
#include <string_view>

namespace lindra {

// The character set of the environment's locale (LC_ALL, LC_CTYPE, LANG), read
// without changing the process locale: the server never sets one, so numbers and
// messages stay as the C locale writes them. A locale that is not installed reads as
// the process's own.
std::string EnvironmentCharset();

// One conversion from one character set to another, as the C library knows them.
// Owned by one thread.
class CharsetConverter {
 public:
  CharsetConverter(const char* to, const char* from);
  ~CharsetConverter();
  CharsetConverter(const CharsetConverter&) = delete;
  CharsetConverter& operator=(const CharsetConverter&) = delete;

  // False when the C library knows either name not, or not this pair.
  bool valid() const;

  // Converts from the start of `in`, appending to `out`, up to the end of `in` (true)
  // or up to a sequence it cannot convert: bytes invalid in the source, a character
  // the target cannot hold, or a sequence cut off by the end of `in` (false, with
  // `in` beginning at that sequence and the conversion back in its initial state).
  bool Convert(std::string_view& in, std::string& out);

  // Ends `out` in the target's initial shift state (stateful targets such as
  // ISO-2022-KR need it at the end of a text).
  void Finish(std::string& out);

 private:
  void* descriptor_;  // an iconv_t
};

}  // namespace lindra
