// Paths between the UTF-8 the program and the library hold them in and the
// UTF-16 of the Windows calls that take any name the system allows.
#pragma once
#ifdef _WIN32
#include <cstdint>
#include <string>

namespace base {

// UTF-16 of UTF-8 text. A surrogate written as three bytes comes back as
// itself (WTF-8), so that a name holding an unpaired one, which Windows
// allows, opens again; a byte that starts no sequence becomes U+FFFD.
inline std::wstring WidePath(const std::string& s) {
  std::wstring w;
  w.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    const uint8_t c = uint8_t(s[i]);
    const size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    uint32_t cp = n == 1 ? c : n == 2 ? c & 0x1F : n == 3 ? c & 0x0F : c & 0x07;
    bool ok = n != 0 && i + n <= s.size();
    for (size_t k = 1; ok && k < n; ++k) {
      ok = (uint8_t(s[i + k]) & 0xC0) == 0x80;
      cp = cp << 6 | (uint8_t(s[i + k]) & 0x3F);
    }
    static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (!ok || cp < kLeast[n] || cp > 0x10FFFF) {
      w += wchar_t(0xFFFD);
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      w += wchar_t(0xD800 + ((cp - 0x10000) >> 10));
      w += wchar_t(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      w += wchar_t(cp);
    }
    i += n;
  }
  return w;
}

// UTF-8 of UTF-16 text, an unpaired surrogate written as three bytes.
inline std::string Utf8Path(const wchar_t* w, size_t size) {
  std::string s;
  s.reserve(size);
  for (size_t i = 0; i < size; ++i) {
    uint32_t cp = uint16_t(w[i]);
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < size && uint16_t(w[i + 1]) >= 0xDC00 && uint16_t(w[i + 1]) < 0xE000)
      cp = 0x10000 + ((cp - 0xD800) << 10) + (uint16_t(w[++i]) - 0xDC00);
    if (cp < 0x80) {
      s += char(cp);
    } else if (cp < 0x800) {
      s += char(0xC0 | cp >> 6);
      s += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      s += char(0xE0 | cp >> 12);
      s += char(0x80 | (cp >> 6 & 0x3F));
      s += char(0x80 | (cp & 0x3F));
    } else {
      s += char(0xF0 | cp >> 18);
      s += char(0x80 | (cp >> 12 & 0x3F));
      s += char(0x80 | (cp >> 6 & 0x3F));
      s += char(0x80 | (cp & 0x3F));
    }
  }
  return s;
}

inline std::string Utf8Path(const wchar_t* w) { return Utf8Path(w, std::char_traits<wchar_t>::length(w)); }

}  // namespace base
#endif
