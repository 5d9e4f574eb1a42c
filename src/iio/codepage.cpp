#include "iio/codepage.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <iconv.h>

#endif

namespace iio {

size_t DecodeUtf8(const uint8_t* p, const uint8_t* end, uint32_t* cp) {
  if (p >= end) return 0;
  const uint8_t b = p[0];
  if (b < 0x80) {
    *cp = b;
    return 1;
  }
  size_t len;
  uint32_t v, min;
  if ((b & 0xE0) == 0xC0) {
    len = 2, v = b & 0x1F, min = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    len = 3, v = b & 0x0F, min = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    len = 4, v = b & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (size_t(end - p) < len) return 0;
  for (size_t i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    v = (v << 6) | (p[i] & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return len;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

std::string SanitizeUtf8(const std::string& text) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(text.data());
  const uint8_t* end = p + text.size();
  std::string out;
  out.reserve(text.size());
  while (p < end) {
    uint32_t cp;
    const size_t len = DecodeUtf8(p, end, &cp);
    if (len == 0) {
      out += '?';
      ++p;
    } else {
      out.append(reinterpret_cast<const char*>(p), len);
      p += len;
    }
  }
  return out;
}

std::u16string Utf8ToUtf16(const std::string& text, size_t maxUnits) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(text.data());
  const uint8_t* end = p + text.size();
  std::u16string out;
  while (p < end && out.size() < maxUnits) {
    uint32_t cp;
    size_t len = DecodeUtf8(p, end, &cp);
    if (len == 0) cp = 0xFFFD, len = 1;
    if (cp >= 0x10000) {
      if (maxUnits - out.size() < 2) break;
      out += char16_t(0xD800 + ((cp - 0x10000) >> 10));
      out += char16_t(0xDC00 + (cp & 0x3FF));
    } else {
      out += char16_t(cp);
    }
    p += len;
  }
  return out;
}

std::string Utf16ToUtf8(const char16_t* u, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    uint32_t cp = u[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && u[i + 1] >= 0xDC00 && u[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (u[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

namespace {

bool IsUtf8Name(const std::string& cs) {
  return cs.empty() || cs == "UTF-8" || cs == "utf-8" || cs == "UTF8" || cs == "utf8";
}

size_t Utf8Prefix(const std::string& text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text.size();
  size_t n = maxBytes;
  // Back off continuation bytes so that no sequence is split.
  while (n > 0 && (uint8_t(text[n]) & 0xC0) == 0x80) --n;
  return n;
}

}  // namespace

#ifdef _WIN32

namespace {

// Windows code page of a charset name (the iconv names that matter for layer
// names, "CPnnn", "WINDOWS-nnnn", "ISO-8859-n"); anything else, "ACP"
// included, is the ANSI code page.
UINT CodePageOf(const std::string& charset) {
  std::string n;
  for (char c : charset) n += char(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  static const struct {
    const char* name;
    UINT cp;
  } kNames[] = {{"SHIFT_JIS", 932}, {"SHIFT-JIS", 932}, {"SJIS", 932},    {"EUC-JP", 20932},
                {"GBK", 936},       {"GB2312", 936},    {"BIG5", 950},    {"EUC-KR", 949},
                {"KOI8-R", 20866},  {"KOI8-U", 21866},  {"LATIN1", 28591}, {"US-ASCII", 20127}};
  for (const auto& e : kNames)
    if (n == e.name) return e.cp;
  auto numberAfter = [&n](const char* prefix) -> UINT {
    const size_t len = std::char_traits<char>::length(prefix);
    if (n.size() <= len || n.compare(0, len, prefix) != 0 || n.size() > len + 5) return 0;
    UINT v = 0;
    for (size_t i = len; i < n.size(); ++i) {
      if (n[i] < '0' || n[i] > '9') return 0;
      v = v * 10 + UINT(n[i] - '0');
    }
    return v;
  };
  if (UINT v = numberAfter("ISO-8859-"); v >= 1 && v <= 16) return 28590 + v;
  if (UINT v = numberAfter("WINDOWS-")) return v;
  if (UINT v = numberAfter("CP")) return v;
  return CP_ACP;
}

std::wstring Widen(const std::string& s, UINT cp) {
  if (s.empty()) return std::wstring();
  const int n = MultiByteToWideChar(cp, 0, s.data(), int(s.size()), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring w(size_t(n), L'\0');
  MultiByteToWideChar(cp, 0, s.data(), int(s.size()), &w[0], n);
  return w;
}

std::string Narrow(const std::wstring& w, UINT cp) {
  if (w.empty()) return std::string();
  // No best fit: a character the code page lacks becomes '?', not a look-alike.
  const DWORD flags = cp == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const char* repl = cp == CP_UTF8 ? nullptr : "?";
  const int n = WideCharToMultiByte(cp, flags, w.data(), int(w.size()), nullptr, 0, repl, nullptr);
  if (n <= 0) return std::string();
  std::string s(size_t(n), '\0');
  WideCharToMultiByte(cp, flags, w.data(), int(w.size()), &s[0], n, repl, nullptr);
  return s;
}

}  // namespace

std::string CharsetToUtf8(const std::string& text, const std::string& charset) {
  if (IsUtf8Name(charset)) return SanitizeUtf8(text);
  return Narrow(Widen(text, CodePageOf(charset)), CP_UTF8);
}

std::string Utf8ToCharset(const std::string& text, const std::string& charset) {
  if (IsUtf8Name(charset)) return SanitizeUtf8(text);
  return Narrow(Widen(SanitizeUtf8(text), CP_UTF8), CodePageOf(charset));
}

size_t CharsetPrefix(const std::string& text, size_t maxBytes, const std::string& charset) {
  if (IsUtf8Name(charset)) return Utf8Prefix(text, maxBytes);
  const UINT cp = CodePageOf(charset);
  size_t n = 0;
  while (n < text.size()) {
    const size_t step = IsDBCSLeadByteEx(cp, BYTE(text[n])) && n + 1 < text.size() ? 2 : 1;
    if (n + step > maxBytes) break;
    n += step;
  }
  return n;
}

#else

namespace {

// Converts with iconv; input that cannot be converted becomes '?', one
// character (from UTF-8) or one byte (from another charset) at a time.
std::string Convert(const std::string& text, const char* from, const char* to, bool fromUtf8) {
  iconv_t cd = iconv_open(to, from);
  if (cd == iconv_t(-1)) return SanitizeUtf8(text);
  std::string out;
  std::string buf(text.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  while (inLeft > 0) {
    char* o = &buf[0];
    size_t oLeft = buf.size();
    const size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buf.data(), buf.size() - oLeft);
    if (r != size_t(-1)) break;
    if (errno == E2BIG) continue;
    // EILSEQ or EINVAL: replace the offending character and go on.
    out += '?';
    size_t skip = 1;
    if (fromUtf8) {
      uint32_t cp;
      const uint8_t* p = reinterpret_cast<const uint8_t*>(in);
      skip = DecodeUtf8(p, p + inLeft, &cp);
      if (skip == 0) skip = 1;
    }
    in += skip;
    inLeft -= skip;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  // Flush any shift state.
  char* o = &buf[0];
  size_t oLeft = buf.size();
  iconv(cd, nullptr, nullptr, &o, &oLeft);
  out.append(buf.data(), buf.size() - oLeft);
  iconv_close(cd);
  return out;
}

}  // namespace

std::string CharsetToUtf8(const std::string& text, const std::string& charset) {
  if (IsUtf8Name(charset)) return SanitizeUtf8(text);
  return SanitizeUtf8(Convert(text, charset.c_str(), "UTF-8", false));
}

std::string Utf8ToCharset(const std::string& text, const std::string& charset) {
  if (IsUtf8Name(charset)) return SanitizeUtf8(text);
  return Convert(SanitizeUtf8(text), "UTF-8", charset.c_str(), true);
}

size_t CharsetPrefix(const std::string& text, size_t maxBytes, const std::string& charset) {
  if (IsUtf8Name(charset)) return Utf8Prefix(text, maxBytes);
  if (text.size() <= maxBytes) return text.size();
  // Step through whole characters by decoding one at a time.
  iconv_t cd = iconv_open("UTF-32BE", charset.c_str());
  if (cd == iconv_t(-1)) return maxBytes;
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  size_t done = 0;
  while (inLeft > 0) {
    char out[4];
    char* o = out;
    size_t oLeft = sizeof out;
    const size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    size_t used = text.size() - inLeft - done;
    if (r == size_t(-1) && errno != E2BIG && used == 0) {
      // An undecodable byte counts as one character of its own.
      ++in, --inLeft, used = 1;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    if (used == 0) break;
    if (done + used > maxBytes) break;
    done += used;
  }
  iconv_close(cd);
  return done;
}

#endif

}  // namespace iio
