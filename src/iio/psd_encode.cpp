#include "iio/psd_encode.h"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "blend/fixed.h"
#include "iio/packbits.h"
#include "iio/psd_bytes.h"

namespace iio {

namespace {

// The 8-bit bytes of one premultiplied pixel: colour divided by alpha
// through the reciprocal table, rounded; alpha scaled to 255.
inline void PixelBytes(const PixelRGBA& p, const uint32_t* recip, uint8_t& r, uint8_t& g, uint8_t& b, uint8_t& a) {
  if (p.a == 0) {
    r = g = b = a = 0;
    return;
  }
  const uint32_t al = p.a < 16384 ? p.a : 16384;
  const uint32_t k = recip[al];
  r = uint8_t(((p.r < al ? p.r : al) * k + 0xC00000u) >> 24);
  g = uint8_t(((p.g < al ? p.g : al) * k + 0xC00000u) >> 24);
  b = uint8_t(((p.b < al ? p.b : al) * k + 0xC00000u) >> 24);
  a = uint8_t((al - (al >> 13)) >> 6);
}

#if defined(__SSE2__)
// PixelBytes of two pixels at once: 16-bit lanes 0-2 and 4-6 take the
// colour bytes, lanes 3 and 7 the alpha bytes. A colour byte is bits 24-31
// of min(c, al) * k + 0xC00000 taken modulo 2^32, as in 32-bit arithmetic,
// with min(c, al) * k = (min(c, al) * khi << 16) + min(c, al) * klo.
inline __m128i TwoPixelBytes(__m128i x, const uint32_t* recip) {
  const __m128i unit = _mm_set1_epi16(16384);
  const __m128i ax = _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0xFF), 0xFF);
  const __m128i al = _mm_sub_epi16(ax, _mm_subs_epu16(ax, unit));
  const __m128i c = _mm_sub_epi16(x, _mm_subs_epu16(x, al));
  const uint32_t k0 = recip[_mm_extract_epi16(al, 0)], k1 = recip[_mm_extract_epi16(al, 4)];
  const __m128i k = _mm_set_epi32(0, int(k1), 0, int(k0));
  const __m128i klo = _mm_shufflehi_epi16(_mm_shufflelo_epi16(k, 0x00), 0x00);
  const __m128i khi = _mm_shufflehi_epi16(_mm_shufflelo_epi16(k, 0x55), 0x55);
  const __m128i hi = _mm_mullo_epi16(c, khi);
  const __m128i lo0 = _mm_mullo_epi16(c, klo), lo1 = _mm_mulhi_epu16(c, klo);
  const __m128i zero = _mm_setzero_si128(), bias = _mm_set1_epi32(0xC00000);
  const __m128i v0 = _mm_add_epi32(_mm_add_epi32(_mm_unpacklo_epi16(lo0, lo1), _mm_unpacklo_epi16(zero, hi)), bias);
  const __m128i v1 = _mm_add_epi32(_mm_add_epi32(_mm_unpackhi_epi16(lo0, lo1), _mm_unpackhi_epi16(zero, hi)), bias);
  const __m128i colour = _mm_packs_epi32(_mm_srli_epi32(v0, 24), _mm_srli_epi32(v1, 24));
  const __m128i alpha = _mm_srli_epi16(_mm_sub_epi16(al, _mm_srli_epi16(al, 13)), 6);
  const __m128i alphaLanes = _mm_set_epi16(-1, 0, 0, 0, -1, 0, 0, 0);
  return _mm_or_si128(_mm_andnot_si128(alphaLanes, colour), _mm_and_si128(alphaLanes, alpha));
}
#endif

// One row of premultiplied pixels to the four 8-bit planes the file stores,
// four pixels at a time where there is SSE2. Paintings repeat pixels (fills,
// transparency): pixels equal to the ones before them reuse their bytes.
void RowToPlanes(const PixelRGBA* row, size_t w, uint8_t* __restrict r) {
  uint8_t* __restrict g = r + w;
  uint8_t* __restrict b = g + w;
  uint8_t* __restrict a = b + w;
  const uint32_t* recip = blend::ReciprocalTable();
  size_t x = 0;
#if defined(__SSE2__)
  __m128i last01 = _mm_setzero_si128(), last23 = last01, bytes = last01;  // transparent: all 0
  for (; x + 4 <= w; x += 4) {
    const __m128i p01 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
    const __m128i p23 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x + 2));
    const __m128i same = _mm_and_si128(_mm_cmpeq_epi32(p01, last01), _mm_cmpeq_epi32(p23, last23));
    if (_mm_movemask_epi8(same) != 0xFFFF) {
      bytes = _mm_packus_epi16(TwoPixelBytes(p01, recip), TwoPixelBytes(p23, recip));
      // r0 g0 b0 a0 r1 .. a3 -> r0 r2 g0 g2 .. a1 a3 -> r0 r1 r2 r3 g0 .. a3
      const __m128i t = _mm_unpacklo_epi8(bytes, _mm_srli_si128(bytes, 8));
      bytes = _mm_unpacklo_epi8(t, _mm_srli_si128(t, 8));
      last01 = p01, last23 = p23;
    }
    const uint32_t rr = uint32_t(_mm_cvtsi128_si32(bytes)), gg = uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(bytes, 4)));
    const uint32_t bb = uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(bytes, 8))), aa = uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(bytes, 12)));
    std::memcpy(r + x, &rr, 4);
    std::memcpy(g + x, &gg, 4);
    std::memcpy(b + x, &bb, 4);
    std::memcpy(a + x, &aa, 4);
  }
#endif
  uint64_t last = 0;
  uint8_t vr = 0, vg = 0, vb = 0, va = 0;
  for (; x < w; ++x) {
    const uint64_t word = row[x].Word();
    if (word != last) {
      PixelBytes(row[x], recip, vr, vg, vb, va);
      last = word;
    }
    r[x] = vr, g[x] = vg, b[x] = vb, a[x] = va;
  }
}

// The colour planes of a row of the merged image matted on white, as PSD
// files store it and readers expect it: c * a / 255 + 255 - a, rounded, so a
// transparent pixel is white. Opaque pixels stay as they are; stretches of
// them are passed over 16 at a time where there is SSE2.
void MatteOnWhite(uint8_t* r, size_t w) {
  uint8_t* g = r + w;
  uint8_t* b = g + w;
  const uint8_t* a = b + w;
  size_t x = 0;
  auto one = [&](size_t i) {
    const uint32_t al = a[i];
    if (al == 255) return;
    // c * a / 255 never lies halfway between two integers: + 127 rounds it.
    r[i] = uint8_t((r[i] * al + 127) / 255 + 255 - al);
    g[i] = uint8_t((g[i] * al + 127) / 255 + 255 - al);
    b[i] = uint8_t((b[i] * al + 127) / 255 + 255 - al);
  };
#if defined(__SSE2__)
  const __m128i opaque = _mm_set1_epi8(-1);
  for (; x + 16 <= w; x += 16) {
    const __m128i av = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + x));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(av, opaque)) == 0xFFFF) continue;
    for (size_t i = x; i < x + 16; ++i) one(i);
  }
#endif
  for (; x < w; ++x) one(x);
}

// One row of premultiplied pixels to the four 16-bit planes the file
// stores, big-endian, straight (PixelTo16); the merged image's colour matted
// on white: c * a / 65535 + 65535 - a, rounded (never halfway: 65535 is
// odd). Pixels equal to the one before them reuse its samples.
void RowToPlanes16(const PixelRGBA* row, size_t w, bool matte, uint8_t* __restrict r) {
  uint8_t* __restrict g = r + 2 * w;
  uint8_t* __restrict b = g + 2 * w;
  uint8_t* __restrict a = b + 2 * w;
  uint64_t last = 0, v = 0;  // transparent: all 0 (matted: white)
  if (matte) v = 0xFFFFull | 0xFFFFull << 16 | 0xFFFFull << 32;
  for (size_t x = 0; x < w; ++x) {
    const uint64_t word = row[x].Word();
    if (word != last) {
      v = PixelTo16(row[x]);
      last = word;
      const uint32_t al = uint32_t(v >> 48);
      if (matte && al != 0xFFFF) {
        uint64_t m = uint64_t(al) << 48;
        for (int s = 0; s < 48; s += 16) m |= uint64_t(((v >> s & 0xFFFF) * al + 32767) / 65535 + 65535 - al) << s;
        v = m;
      }
    }
    StoreBe16(r + 2 * x, uint16_t(v)), StoreBe16(g + 2 * x, uint16_t(v >> 16));
    StoreBe16(b + 2 * x, uint16_t(v >> 32)), StoreBe16(a + 2 * x, uint16_t(v >> 48));
  }
}

}  // namespace

namespace {

// Rows to four planes of `rowBytes` each (toPlanes(row, planes)), each
// plane PackBits-coded into its slot.
template <typename ToPlanes>
void EncodeRows(const PixelRGBA* pixels, size_t width, uint32_t rows, uint16_t depth, size_t rowBytes,
                PsdRows& out, ToPlanes&& toPlanes) {
  out.width = width;
  out.depth = depth;
  out.rows = rows;
  out.slot = PackBitsBound(rowBytes);
  const size_t need = size_t(rows) * 4 * out.slot;
  if (out.bytes.size() < need) out.bytes.resize(need);
  out.lengths.resize(size_t(rows) * 4);
  out.plain.resize(size_t(rows) * 4);
  out.planes.resize(rowBytes * 4);
  uint8_t* planes = out.planes.data();
  for (uint32_t y = 0; y < rows; ++y) {
    toPlanes(pixels + size_t(y) * width, planes);
    for (size_t c = 0; c < 4; ++c) {
      const size_t i = size_t(y) * 4 + c;
      uint8_t* slot = out.bytes.data() + i * out.slot;
      const size_t packed = PackBitsEncodeTo(planes + c * rowBytes, rowBytes, slot);
      out.lengths[i] = uint32_t(packed);
      out.plain[i] = rowBytes != 0 && packed >= rowBytes;
      if (out.plain[i]) std::memcpy(slot, planes + c * rowBytes, rowBytes);
    }
  }
}

}  // namespace

void EncodePsdRows(const PixelRGBA* pixels, size_t width, uint32_t rows, bool matte, PsdRows& out) {
  EncodeRows(pixels, width, rows, 8, width, out, [&](const PixelRGBA* row, uint8_t* planes) {
    RowToPlanes(row, width, planes);
    if (matte) MatteOnWhite(planes, width);
  });
}

void EncodePsdRows16(const PixelRGBA* pixels, size_t width, uint32_t rows, bool matte, PsdRows& out) {
  EncodeRows(pixels, width, rows, 16, 2 * width, out,
             [&](const PixelRGBA* row, uint8_t* planes) { RowToPlanes16(row, width, matte, planes); });
}

}  // namespace iio
