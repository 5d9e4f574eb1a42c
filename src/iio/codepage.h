// Layer names are UTF-8 inside the program and in a character set of the
// caller's choice in a PSD's Pascal names. Characters that the target cannot
// hold become '?'; no conversion ever fails or drops a name.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace iio {

// Conversions with a named character set (POSIX iconv names; "" or "UTF-8"
// for UTF-8). On Windows the common names map to code pages and any other
// name, "ACP" included, means the ANSI code page.
std::string CharsetToUtf8(const std::string& text, const std::string& charset);
std::string Utf8ToCharset(const std::string& text, const std::string& charset);
// Byte length of the longest prefix of text (in the character set) of at
// most maxBytes that ends on a character boundary.
size_t CharsetPrefix(const std::string& text, size_t maxBytes, const std::string& charset);

// Reads one UTF-8 sequence at p (strict: no overlong forms, surrogates or
// code points above 0x10FFFF). Returns its byte length, 0 when malformed.
size_t DecodeUtf8(const uint8_t* p, const uint8_t* end, uint32_t* cp);
void AppendUtf8(std::string& out, uint32_t cp);
// Malformed sequences become '?'.
std::string SanitizeUtf8(const std::string& text);

// UTF-8 to UTF-16 code units, at most maxUnits (a surrogate pair is never
// split); malformed sequences become U+FFFD.
std::u16string Utf8ToUtf16(const std::string& text, size_t maxUnits);
// UTF-16 code units to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(const char16_t* units, size_t n);

}  // namespace iio
