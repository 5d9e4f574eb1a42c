#include "blend/kernels.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "blend/fixed.h"
#include "blend/mode_rules.h"

// Every kernel is one instantiation of Kernel<Mode, alpha mode, flag group,
// coverage>; the entry points pick it from a table once per call. All
// arithmetic is unsigned so that out-of-range pixels from a damaged file give
// wrong colours rather than undefined behaviour.

namespace blend {
namespace {

using namespace rules;

// ---- Kernels -------------------------------------------------------------

// Brings a result back to the destination's original alpha.
inline PixelRGBA LockAlpha(const PixelRGBA& r, uint32_t l) {
  if (r.a == l) return r;
  if (r.a == 0) return Px(0, 0, 0, l);
  return Px(r.r * l / r.a, r.g * l / r.a, r.b * l / r.a, l);
}

template <class M, int A>
inline PixelRGBA Apply(const PixelRGBA& d, const PixelRGBA& s) {
  if constexpr (A == kModulate) return M::Modulate(d, s);
  else if constexpr (A == kAddNorm) return M::AddNorm(d, s);
  else if constexpr (A == kAddSat) return M::AddSat(d, s);
  else return M::Max(d, s);
}

template <class M, int A, int F, int C>
inline PixelRGBA BlendOne(const PixelRGBA& d, PixelRGBA s, uint32_t o) {
  constexpr bool kClipped = F == kClip || F == kClipLock;
  constexpr bool kLocked = F == kLock || F == kClipLock;
  if (kClipped) s = scale(s, d.a);
  PixelRGBA r;
  if constexpr (A == kLerp) {
    // Lerp fades the destination even under a transparent source.
    r = C == kFull ? s : Add(scale(d, inv(o)), scale(s, o));
  } else {
    if (C != kFull) s = scale(s, o);
    if (d.a == 0) r = s;
    else if (s.a == 0) r = d;
    else r = Apply<M, A>(d, s);
  }
  return kLocked ? LockAlpha(r, d.a) : r;
}

using KernelFn = void (*)(PixelRGBA* d, PixelRGBA* e, const PixelRGBA* s, size_t step,
                          uint32_t o, const uint16_t* mask);

template <class M, int A, int F, int C>
void Kernel(PixelRGBA* d, PixelRGBA* e, const PixelRGBA* s, size_t step, uint32_t o,
            const uint16_t* mask) {
  for (; d < e; ++d, s += step) {
    uint32_t po = o;
    if (C == kMasked) po = std::min(mul(*mask++, o), kUnit);
    *d = BlendOne<M, A, F, C>(*d, *s, po);
  }
}

// Normal without flags is the common case of layer merging: two pixels at a
// time in SSE2 where available. mul(x, k) for k <= 16383 is the high half of
// x * (k << 2); k = 16384 only occurs where a select discards the product.
template <int C>
void NormalPlain(PixelRGBA* d, PixelRGBA* e, const PixelRGBA* s, size_t step, uint32_t o) {
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128(), unit = _mm_set1_epi16(short(kUnit));
  const __m128i o4 = _mm_set1_epi16(short(uint16_t(o << 2)));
  for (; e - d >= 2; d += 2, s += 2 * step) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d));
    __m128i y = step ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(s))
                     : _mm_set1_epi64x(int64_t(s->Word()));
    if (C != kFull) y = _mm_mulhi_epu16(y, o4);
    const __m128i sa = _mm_shufflehi_epi16(_mm_shufflelo_epi16(y, 0xFF), 0xFF);
    const __m128i da = _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0xFF), 0xFF);
    const __m128i k4 = _mm_slli_epi16(_mm_sub_epi16(unit, sa), 2);
    __m128i r = _mm_add_epi16(y, _mm_mulhi_epu16(x, k4));
    const __m128i keepD = _mm_cmpeq_epi16(sa, zero), keepS = _mm_cmpeq_epi16(da, zero);
    r = _mm_or_si128(_mm_and_si128(keepD, x), _mm_andnot_si128(keepD, r));
    r = _mm_or_si128(_mm_and_si128(keepS, y), _mm_andnot_si128(keepS, r));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), r);
  }
#endif
  for (; d < e; ++d, s += step) *d = BlendOne<NormalMode, kModulate, kNoFlag, C>(*d, *s, o);
}

template <>
void Kernel<NormalMode, kModulate, kNoFlag, kFull>(PixelRGBA* d, PixelRGBA* e, const PixelRGBA* s,
                                                  size_t step, uint32_t o, const uint16_t*) {
  NormalPlain<kFull>(d, e, s, step, o);
}
template <>
void Kernel<NormalMode, kModulate, kNoFlag, kOpacity>(PixelRGBA* d, PixelRGBA* e,
                                                     const PixelRGBA* s, size_t step, uint32_t o,
                                                     const uint16_t*) {
  NormalPlain<kOpacity>(d, e, s, step, o);
}

template <class M, int A, int F, int C>
constexpr KernelFn Pick() {
  if constexpr ((M::kAlphas & Bit(A)) != 0) return &Kernel<M, A, F, C>;
  else return nullptr;
}

constexpr size_t kPerMode = kFlagGroups * kAlphaSlots * kCoverages;
using ModeKernels = std::array<KernelFn, kPerMode>;

template <class M, size_t... I>
constexpr ModeKernels MakeKernels(std::index_sequence<I...>) {
  return {{Pick<M, int(I / kCoverages % kAlphaSlots), int(I / (kCoverages * kAlphaSlots)),
                int(I % kCoverages)>()...}};
}
template <class M>
constexpr ModeKernels MakeKernels() {
  return MakeKernels<M>(std::make_index_sequence<kPerMode>());
}

// Colour mode ids with a kernel. A new mode is a struct above plus a row here.
struct ModeEntry {
  uint8_t id;
  ModeKernels kernels;
};
const ModeEntry kModes[] = {
    {1, MakeKernels<NormalMode>()},      {2, MakeKernels<BackMode>()},
    {3, MakeKernels<MulMode>()},         {4, MakeKernels<AddMode>()},
    {5, MakeKernels<SubMode>()},         {6, MakeKernels<ScreenMode>()},
    {7, MakeKernels<OverlayMode>()},     {8, MakeKernels<DarkerColorMode>()},
    {9, MakeKernels<LighterColorMode>()}, {10, MakeKernels<HardLightMode>()},
    {11, MakeKernels<SoftLightMode>()},  {12, MakeKernels<VividLightMode>()},
    {13, MakeKernels<LinearLightMode>()}, {14, MakeKernels<PinLightMode>()},
    {15, MakeKernels<ColorDodgeMode>()}, {16, MakeKernels<ColorBurnMode>()},
    {17, MakeKernels<LinearBurnMode>()}, {18, MakeKernels<DarkenMode>()},
    {19, MakeKernels<LightenMode>()},    {20, MakeKernels<DifferenceMode>()},
    {21, MakeKernels<ExclusionMode>()},  {50, MakeKernels<HueMode>()},
    {51, MakeKernels<SaturationMode>()}, {52, MakeKernels<ColorMode>()},
    {53, MakeKernels<LuminanceMode>()},
};

const ModeKernels* KernelsForId(uint8_t id) {
  static const std::array<const ModeKernels*, 256> byId = [] {
    std::array<const ModeKernels*, 256> t{};
    for (const auto& m : kModes) t[m.id] = &m.kernels;
    return t;
  }();
  return byId[id];
}

int FlagGroupOf(uint32_t flags) {
  switch (flags) {
    case 0: return kNoFlag;
    case kzm::Blend::lock_a___: return kLock;
    case kzm::Blend::clip_dsta:
    case kzm::Blend::clip_dsta | kzm::Blend::lockdonly: return kClip;
    case kzm::Blend::clip_dsta | kzm::Blend::lock_a___:
    case kzm::Blend::clip_dsta | kzm::Blend::lock_a___ | kzm::Blend::lockdonly: return kClipLock;
    default: return -1;
  }
}

int AlphaSlotOf(uint32_t alphaMode) {
  switch (alphaMode) {
    case 1: return kLerp;
    case 2: return kAddNorm;
    case 4: return kModulate;
    case 8: return kAddSat;
    case 16: return kMax;
    default: return -1;
  }
}

void Run(PixelRGBA* d, PixelRGBA* e, const PixelRGBA* s, size_t step, uint32_t opacity,
         const uint16_t* mask, const kzm::Blend& b) {
  const ModeKernels* kernels = KernelsForId(b.ColorMode());
  const int flags = FlagGroupOf(b.Flags());
  const int alpha = AlphaSlotOf(b.AlphaMode());
  if (!kernels || flags < 0 || alpha < 0) return;
  opacity = std::min(opacity, kUnit);
  const int cover = mask ? kMasked : opacity == kUnit ? kFull : kOpacity;
  const KernelFn k = (*kernels)[(size_t(flags) * kAlphaSlots + size_t(alpha)) * kCoverages + size_t(cover)];
  if (k && d < e) k(d, e, s, step, opacity, mask);
}

}  // namespace

void InitBlendTables() { ReciprocalTable(); }

void BlendColorOnFill(PixelRGBA* dst, const PixelRGBA& src, uint16_t opacity, const kzm::Blend& b) {
  Run(dst, dst + 1, &src, 0, opacity, nullptr, b);
}
void BlendColor(PixelRGBA* dst, PixelRGBA* dstEnd, const PixelRGBA& src, uint16_t opacity,
                const kzm::Blend& b) {
  Run(dst, dstEnd, &src, 0, opacity, nullptr, b);
}
void BlendPixels(PixelRGBA* dst, PixelRGBA* dstEnd, const PixelRGBA* src, uint16_t opacity,
                 const kzm::Blend& b) {
  Run(dst, dstEnd, src, 1, opacity, nullptr, b);
}
void BlendPixelsMasked(PixelRGBA* dst, PixelRGBA* dstEnd, const PixelRGBA* src, uint16_t opacity,
                       const uint16_t* mask, const kzm::Blend& b) {
  Run(dst, dstEnd, src, 1, opacity, mask, b);
}
void BlendColorMasked(PixelRGBA* dst, PixelRGBA* dstEnd, const PixelRGBA& src, uint16_t opacity,
                      const uint16_t* mask, const kzm::Blend& b) {
  Run(dst, dstEnd, &src, 0, opacity, mask, b);
}
void BlendPixelsFromFill(PixelRGBA* out64, const PixelRGBA& fill, const PixelRGBA* src,
                         uint16_t opacity, const kzm::Blend& b) {
  std::fill(out64, out64 + 64, fill);
  BlendPixels(out64, out64 + 64, src, opacity, b);
}
void BlendPixelsMaskedFromFill(PixelRGBA* out64, const PixelRGBA& fill, const PixelRGBA* src,
                               uint16_t opacity, const uint16_t* mask, const kzm::Blend& b) {
  std::fill(out64, out64 + 64, fill);
  BlendPixelsMasked(out64, out64 + 64, src, opacity, mask, b);
}
void BlendColorMaskedFromFill(PixelRGBA* out64, const PixelRGBA& fill, const PixelRGBA& src,
                              uint16_t opacity, const uint16_t* mask, const kzm::Blend& b) {
  std::fill(out64, out64 + 64, fill);
  BlendColorMasked(out64, out64 + 64, src, opacity, mask, b);
}

}  // namespace blend
