#include "iio/psd.h"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "blend/modes.h"
#include "base/work_pool.h"
#include "iio/codepage.h"
#include "iio/psd_bytes.h"

namespace iio {

namespace {

// Reads from the source without passing a limit (a section end, or the end
// of the file); every declared size is checked before it is read.
class Cursor {
 public:
  Cursor(DataSrcBase& src, uint64_t limit) : src_(src), limit_(std::min(limit, src.size())) {}
  uint64_t Left() const {
    const uint64_t pos = src_.position();
    return pos < limit_ ? limit_ - pos : 0;
  }
  bool Fits(uint64_t n) const { return DeclaredFits(n, Left()); }
  const uint8_t* Take(uint64_t n) { return Fits(n) ? src_.read(n) : nullptr; }
  bool Skip(uint64_t n) { return Fits(n) && src_.skip(n); }
  bool U32(uint32_t* v) {
    const uint8_t* p = Take(4);
    if (p) *v = LoadBe32(p);
    return p != nullptr;
  }
  uint64_t limit() const { return limit_; }

 private:
  DataSrcBase& src_;
  uint64_t limit_;
};

struct Rect {
  int32_t left, top, right, bottom;
};

// Rectangles are stored top, left, bottom, right. An empty or inverted one
// collapses onto its top-left corner so that every consumer sees 0 x 0.
bool ReadRect(const uint8_t* p, Rect* r) {
  r->top = int32_t(LoadBe32(p));
  r->left = int32_t(LoadBe32(p + 4));
  r->bottom = int32_t(LoadBe32(p + 8));
  r->right = int32_t(LoadBe32(p + 12));
  const int64_t w = int64_t(r->right) - r->left, h = int64_t(r->bottom) - r->top;
  if (w > kMaxLayerSide || h > kMaxLayerSide) return false;
  if (w <= 0 || h <= 0) r->right = r->left, r->bottom = r->top;
  return true;
}

uint16_t OpacityFromByte(uint8_t op) {
  // The smallest native opacity that the writer turns back into this byte.
  return uint16_t((uint32_t(op) * 16384u + 254u) / 255u);
}

}  // namespace

Psd::Psd(DataSrcBase& src) : src_(src) {
  src_.rewind();
  if (src_.remaining() < 28) {
    error_ = kPsdTooShort;
    return;
  }
  const uint8_t* h = src_.read(26);
  if (!h) {
    error_ = kPsdTooShort;
    return;
  }
  version_ = LoadBe16(h + 4);
  channels_ = LoadBe16(h + 12);
  height_ = LoadBe32(h + 14);
  width_ = LoadBe32(h + 18);
  depth_ = LoadBe16(h + 22);
  mode_ = LoadBe16(h + 24);
  if (!KeyIs(h, "8BPS") || version_ != 1 || width_ < 1 || width_ > kMaxCanvasSide ||
      height_ < 1 || height_ > kMaxCanvasSide || channels_ < 1 || channels_ > 56 ||
      mode_ != 3 || depth_ != 8)
    error_ = kPsdBadHeader;
}

Psd::~Psd() = default;

bool Psd::Fail(int32_t code) {
  if (error_ == kPsdOk) error_ = code;
  block_.reset();
  window_.clear();
  window_.shrink_to_fit();
  haveImage_ = false;
  winCount_ = 0;
  return false;
}

void Psd::CheckFailed() {
  if (error_ != kPsdOk) failed_ = true;
}

uint32_t Psd::Width() const { return failed_ || error_ ? 0 : width_; }
uint32_t Psd::Height() const { return failed_ || error_ ? 0 : height_; }

uint32_t Psd::Open() {
  if (error_) return 0;
  if (opened_) return images_;
  opened_ = true;
  if (!src_.seek(26)) return OpenFailed();
  Cursor file(src_, src_.size());

  // Colour mode data, then image resources: skipped whole.
  for (int i = 0; i < 2; ++i) {
    uint32_t len;
    if (!file.U32(&len) || !file.Skip(len)) return OpenFailed();
  }

  mergedStart_ = src_.position();
  if (file.Left() >= 4) {
    uint32_t lmiLen = 0;
    file.U32(&lmiLen);
    if (!file.Fits(lmiLen)) return OpenFailed();
    const uint64_t lmiStart = src_.position();
    mergedStart_ = lmiStart + lmiLen;
    // A section of length 0 holds no layers (the merged image follows at once).
    if (lmiLen >= 4) {
      Cursor lmi(src_, mergedStart_);
      uint32_t liLen = 0;
      lmi.U32(&liLen);
      if (!lmi.Fits(liLen)) return OpenFailed();
      const uint64_t liEnd = src_.position() + liLen;
      if (liLen >= 2) {
        Cursor li(src_, liEnd);
        const int16_t count = int16_t(LoadBe16(li.Take(2)));
        mergedAlpha_ = count < 0;
        const uint32_t n = uint32_t(count < 0 ? -int32_t(count) : count);
        for (uint32_t i = 0; i < n; ++i) {
          records_.emplace_back();
          if (!ParseRecord(liEnd, records_.back())) return OpenFailed();
        }
        // Channel data follows the records, layer after layer.
        uint64_t offset = src_.position();
        for (Record& r : records_) {
          r.dataOffset = offset;
          for (const psd_channel_t& c : r.table) offset += c.length;
        }
        ResolveGroups();
      }
    } else if (lmiLen != 0) {
      return OpenFailed();
    }
  }
  images_ = uint32_t(records_.size()) + 1;
  return images_;
}

bool Psd::ParseRecord(uint64_t limit, Record& rec) {
  Cursor c(src_, limit);
  layer_param_t& p = rec.param;
  const uint8_t* b = c.Take(18);
  if (!b) return false;
  Rect r;
  if (!ReadRect(b, &r)) return false;
  p.left = r.left, p.top = r.top, p.right = r.right, p.bottom = r.bottom;
  const uint16_t nch = LoadBe16(b + 16);
  if (nch < 1 || nch > 56) return false;
  b = c.Take(6u * nch);
  if (!b) return false;
  rec.table.resize(nch);
  for (uint16_t i = 0; i < nch; ++i) {
    // Ids outside -3..2 (animation data) are kept in the table so that the
    // data of the other channels is found, and otherwise ignored.
    rec.table[i].id = int16_t(LoadBe16(b + 6 * i));
    rec.table[i].length = LoadBe32(b + 6 * i + 2);
  }
  p.channelCount = nch;
  p.depth = 8;

  b = c.Take(16);
  if (!b || !KeyIs(b, "8BIM")) return false;
  char key[4];
  std::memcpy(key, b + 4, 4);
  const uint8_t opacity = b[8], clipping = b[9];
  rec.flags = b[10];
  const uint32_t extraLen = LoadBe32(b + 12);
  if (!c.Fits(extraLen)) return false;
  const uint64_t extraEnd = src_.position() + extraLen;
  Cursor x(src_, extraEnd);

  // Layer mask: length 0 or at least 20; the published fields are taken
  // from the front and the rest (real mask, density, feather) skipped.
  uint32_t maskLen;
  if (!x.U32(&maskLen)) return false;
  if (maskLen != 0) {
    if (maskLen < 20) return false;
    const uint8_t* m = x.Take(maskLen);
    if (!m) return false;
    Rect mr;
    if (!ReadRect(m, &mr)) return false;
    p.maskLeft = mr.left, p.maskTop = mr.top, p.maskRight = mr.right, p.maskBottom = mr.bottom;
    p.maskDefault = m[16];
    p.maskRelative = m[17] & 1;
    p.maskEnabled = (m[17] & 2) ? 0 : 1;
    p.maskInverted = (m[17] & 4) ? 1 : 0;
    rec.hasMask = true;
  } else {
    p.maskRelative = p.maskEnabled = p.maskInverted = p.maskDefault = 0;
  }

  // Blending ranges are not used.
  uint32_t rangesLen;
  if (!x.U32(&rangesLen) || !x.Skip(rangesLen)) return false;

  // Each read may reuse the source's buffer: copy what is needed at once.
  const uint8_t* nl = x.Take(1);
  if (!nl) return false;
  const uint8_t nameLen = nl[0];
  const uint8_t* name = nameLen ? x.Take(nameLen) : reinterpret_cast<const uint8_t*>("");
  if (!name) return false;
  const std::string pascal(reinterpret_cast<const char*>(name), nameLen);
  x.Skip(std::min<uint64_t>((4 - (1 + nameLen) % 4) % 4, x.Left()));

  // Additional information blocks. Lengths are taken as written; a writer
  // that padded without saying so is caught by looking for the signature a
  // few bytes further on.
  std::vector<uint8_t> luni, lspf, lsct;
  bool haveLuni = false, haveLspf = false, haveLsct = false;
  while (x.Left() >= 12) {
    const uint64_t at = src_.position();
    const uint64_t window = std::min<uint64_t>(x.Left(), 12 + 6);
    const uint8_t* w = x.Take(window);
    if (!w) return false;
    uint64_t shift = 0;
    while (shift < 7 && shift + 12 <= window && !KeyIs(w + shift, "8BIM") &&
           !KeyIs(w + shift, "8B64"))
      ++shift;
    if (shift == 7 || shift + 12 > window) return false;
    char bkey[4];
    std::memcpy(bkey, w + shift + 4, 4);
    const uint32_t len = LoadBe32(w + shift + 8);
    if (!src_.seek(at + shift + 12) || !x.Fits(len)) return false;
    std::vector<uint8_t>* keep = nullptr;
    if (std::memcmp(bkey, "luni", 4) == 0 && !haveLuni) keep = &luni, haveLuni = true;
    if (std::memcmp(bkey, "lspf", 4) == 0 && !haveLspf) keep = &lspf, haveLspf = true;
    if (std::memcmp(bkey, "lsct", 4) == 0 && !haveLsct) keep = &lsct, haveLsct = true;
    if (keep) {
      if (!src_.readInto(*keep, len)) return false;
    } else if (!x.Skip(len)) {
      return false;
    }
  }
  if (!src_.seek(extraEnd)) return false;

  // Fill the record.
  p.name = SystemToUtf8(pascal);
  if (haveLuni && luni.size() >= 4) {
    uint64_t n = LoadBe32(luni.data());
    if (DeclaredFits(4 + 2 * n, luni.size())) {
      std::u16string units(size_t(n), u'\0');
      for (size_t i = 0; i < n; ++i) units[i] = char16_t(LoadBe16(&luni[4 + 2 * i]));
      while (!units.empty() && units.back() == 0) units.pop_back();
      p.name = Utf16ToUtf8(units.data(), units.size());
    }
  }
  p.visible = (rec.flags & 2) ? 0 : 1;
  p.alphaLock = rec.flags & 1;
  if (haveLspf && lspf.size() >= 4) {
    const uint32_t v = LoadBe32(lspf.data());
    p.alphaLock = v & 1;
    p.planeLock = (v >> 1) & 1;
    p.lockPosition = (v >> 2) & 1;
    p.lockAll = (v >> 31) & 1;
  }
  if (haveLsct && lsct.size() >= 4) {
    const uint32_t type = LoadBe32(lsct.data());
    if (type >= 1 && type <= 3) {
      auto f = std::make_shared<folder_info_t>();
      f->sectionType = type;
      if (lsct.size() >= 12 && KeyIs(&lsct[4], "8BIM")) {
        f->hasBlendKey = true;
        f->blend.word0 = blend::ColorModeForPsdKey(reinterpret_cast<const char*>(&lsct[8]));
      }
      p.folder = f;
    }
  }
  const uint8_t mode = blend::ColorModeForPsdKey(key);
  p.blend.word0 = mode | (clipping ? kzm::Blend::clip_dsta | kzm::Blend::lockdonly : 0u);
  p.blend.word1 = ((mode >= 1 && mode <= 21) || (mode >= 50 && mode <= 53)) ? 4u : 0u;
  p.opacity = OpacityFromByte(opacity);

  // Records without layer pixels: group markers, and flagged records with an
  // empty rectangle (adjustment layers). Fill and shape layers carry the
  // flag too but store their pixels, so they are kept.
  const bool irrelevant = (rec.flags & 8) && (rec.flags & 16);
  bool colour = false;
  for (const psd_channel_t& ch : rec.table) colour |= ch.id >= -1 && ch.id <= 2;
  p.pixelsIrrelevant = p.folder || (irrelevant && p.Width() == 0) || !colour ? 1 : 0;
  return true;
}

void Psd::ResolveGroups() {
  // Records run bottom to top: a group's end marker (type 3) comes first,
  // its header record (type 1 or 2, which holds the group's visibility) last.
  // Walking top down, every layer under a hidden header is hidden.
  std::vector<bool> hidden;  // per open group: hidden, itself or by a parent
  for (size_t i = records_.size(); i-- > 0;) {
    layer_param_t& p = records_[i].param;
    const bool parentHidden = !hidden.empty() && hidden.back();
    const uint32_t type = p.folder ? p.folder->sectionType : 0;
    if (type == folder_info_t::kEndOfFolder) {
      if (!hidden.empty()) hidden.pop_back();
      if (parentHidden) p.visible = 0;
      continue;
    }
    if (parentHidden) p.visible = 0;
    if (type == folder_info_t::kOpenFolder || type == folder_info_t::kClosedFolder)
      hidden.push_back(parentHidden || !p.visible);
  }
}

bool Psd::LoadMerged() {
  const uint64_t needed = uint64_t(height_) + 2;
  if (mergedStart_ > src_.size() || !src_.seek(mergedStart_) ||
      !DeclaredFits(needed, src_.remaining()))
    return Fail(kPsdBadImage);
  const uint8_t* c = src_.read(2);
  if (!c) return Fail(kPsdBadImage);
  block_ = MakeImageBlock(src_, LoadBe16(c), 0, 0, int32_t(width_), int32_t(height_), channels_, 8);
  if (!block_) return Fail(kPsdBadImage);
  current_ = layer_param_t();
  current_.right = int32_t(width_);
  current_.bottom = int32_t(height_);
  current_.channelCount = channels_;
  current_.maskRelative = current_.maskEnabled = 0;
  current_.visible = records_.empty() ? 1 : 0;
  current_.name = block_->name;
  unmatte_ = channels_ >= 4;
  return true;
}

bool Psd::NextImage(layer_param_t& out) {
  if (error_ || !opened_ || next_ >= images_) return false;
  block_.reset();
  window_.clear();
  applyMask_ = false;
  unmatte_ = false;
  if (next_ < records_.size()) {
    const Record& rec = records_[next_];
    current_ = rec.param;
    if (!rec.param.pixelsIrrelevant) {
      if (rec.dataOffset > src_.size() || !src_.seek(rec.dataOffset)) return Fail(kPsdBadImage);
      applyMask_ = rec.hasMask && rec.param.maskEnabled;
      std::unique_ptr<ImageBlockBase> b(new ImageBlockMixCh(src_, rec.param, rec.table, applyMask_));
      if (!b->ok()) return Fail(kPsdBadImage);
      block_ = std::move(b);
    }
  } else if (!LoadMerged()) {
    return false;
  }
  imageWidth_ = uint32_t(current_.Width());
  imageHeight_ = uint32_t(current_.Height());
  winTop_ = winCount_ = 0;
  haveImage_ = true;
  out = current_;
  ++next_;
  return Report(next_ - 1, images_, 0, imageHeight_);
}

namespace {

// Which channels make the bytes of a pixel: ids 0, 1 and 2 feed bytes 0 to
// 2 (a later channel of the same id overwrites an earlier one, but every
// one is fetched), the first id -1 feeds byte 3; the first id -2 is the
// user mask. Other ids are not read.
struct ChannelPlan {
  std::vector<std::pair<uint32_t, int>> fetch;  // channel index, byte
  int mask = -1;
};

ChannelPlan PlanChannels(const ImageBlockBase& block) {
  ChannelPlan plan;
  int alpha = -1;
  for (uint32_t c = 0; c < block.Channels(); ++c) {
    const int id = block.ChannelId(c);
    if (id >= 0 && id <= 2) {
      plan.fetch.emplace_back(c, id);
    } else if (id == -1 && alpha < 0) {
      alpha = int(c);
      plan.fetch.emplace_back(c, 3);
    } else if (id == -2 && plan.mask < 0) {
      plan.mask = int(c);
    }
  }
  return plan;
}

// Assembles one row of pixels from its channel rows; a byte no channel
// feeds is 255. `scratch` has room for 4 rows of w bytes. False when a
// channel row cannot be fetched.
bool AssembleRow(ImageBlockBase& block, const ChannelPlan& plan, uint32_t row, size_t w, uint8_t* scratch,
                 const uint8_t* opaque, uint32_t* out) {
  const uint8_t* src[4] = {opaque, opaque, opaque, opaque};
  for (const auto& f : plan.fetch) {
    const uint8_t* p = block.RowInto(row, f.first, scratch + size_t(f.second) * w);
    if (!p) return false;
    src[f.second] = p;
  }
  const uint8_t *r = src[0], *g = src[1], *b = src[2], *a = src[3];
  for (size_t x = 0; x < w; ++x)
    out[x] = uint32_t(r[x]) | uint32_t(g[x]) << 8 | uint32_t(b[x]) << 16 | uint32_t(a[x]) << 24;
  return true;
}

// Takes the colour of a row of the merged image off the white it is matted
// on (stored = c * a / 255 + 255 - a): c = (stored - 255 + a) * 255 / a,
// rounded, 0 where the stored value lies below the white alone. Transparent
// and opaque pixels keep their stored bytes; stretches of opaque ones are
// passed over four at a time where there is SSE2.
void Unmatte(uint8_t* px, size_t w) {
  auto one = [](uint8_t* p) {
    const int a = p[3];
    if (a == 0 || a == 255) return;
    for (int c = 0; c < 3; ++c) {
      const int v = p[c] - 255 + a;
      p[c] = v <= 0 ? 0 : uint8_t((v * 255 + a / 2) / a);
    }
  };
  size_t x = 0;
#if defined(__SSE2__)
  const __m128i opaque = _mm_set1_epi8(-1);
  for (; x + 4 <= w; x += 4) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(px + 4 * x));
    if ((_mm_movemask_epi8(_mm_cmpeq_epi8(v, opaque)) & 0x8888) == 0x8888) continue;
    for (size_t i = x; i < x + 4; ++i) one(px + 4 * i);
  }
#endif
  for (; x < w; ++x) one(px + 4 * x);
}

constexpr uint32_t kRowsPerTask = 8;

}  // namespace

uint32_t Psd::ReadRows(uint32_t count) {
  if (error_ || !haveImage_) return 0;
  winTop_ += winCount_;
  winCount_ = 0;
  if (winTop_ >= imageHeight_ || count == 0) return 0;
  const uint32_t n = std::min(count, imageHeight_ - winTop_);
  const size_t w = imageWidth_;
  window_.clear();
  if (!block_) {
    window_.resize(size_t(n) * w, 0u);
    winCount_ = n;
    return n;
  }

  const ChannelPlan plan = PlanChannels(*block_);
  std::vector<uint8_t> opaque(w, 0xFF);
  // Layer rows are in memory: when every row of the window can hold its
  // pixels, the rows are decoded on the work pool, and then taken in order
  // as one at a time would be (progress first, then the row's own result).
  bool parallel = block_->RowsInMemory() && n > kRowsPerTask && base::WorkThreads() > 1;
  for (const auto& f : plan.fetch) parallel = parallel && block_->RowsPlausible(f.first, winTop_, winTop_ + n);
  std::vector<uint8_t> decoded;
  if (parallel) {
    window_.resize(size_t(n) * w);
    decoded.assign(n, 0);
    base::ParallelFor((n + kRowsPerTask - 1) / kRowsPerTask, [&](size_t t) {
      std::vector<uint8_t> scratch(4 * w);
      const uint32_t i1 = std::min<uint32_t>(n, uint32_t(t + 1) * kRowsPerTask);
      for (uint32_t i = uint32_t(t) * kRowsPerTask; i < i1; ++i)
        decoded[i] = AssembleRow(*block_, plan, winTop_ + i, w, scratch.data(), opaque.data(),
                                 window_.data() + size_t(i) * w);
    });
  }

  // The window grows row by row as rows are decoded, so that a declared
  // width never claims memory for rows the file cannot supply.
  std::vector<uint8_t> scratch(parallel ? 0 : 4 * w);
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t row = winTop_ + i;
    if (!Report(next_ - 1, images_, row, imageHeight_)) break;
    uint32_t* px32 = nullptr;
    if (parallel) {
      if (!decoded[i]) return RowFailed();
      px32 = window_.data() + size_t(i) * w;
    } else {
      window_.resize(size_t(i + 1) * w);
      px32 = window_.data() + size_t(i) * w;
      if (!AssembleRow(*block_, plan, row, w, scratch.data(), opaque.data(), px32)) return RowFailed();
    }
    uint8_t* px = reinterpret_cast<uint8_t*>(px32);
    if (unmatte_) Unmatte(px, w);
    const int mask = plan.mask;
    if (applyMask_ && mask >= 0) {
      // Transparency times the mask; outside the mask rectangle the mask's
      // default colour applies.
      const int64_t y = int64_t(current_.top) + row;
      const uint8_t* m = nullptr;
      if (y >= current_.maskTop && y < current_.maskBottom) {
        m = block_->Row(uint32_t(y - current_.maskTop), uint32_t(mask));
        if (!m) return RowFailed();
      }
      const int64_t mx0 = int64_t(current_.maskLeft) - current_.left;
      const int64_t mx1 = int64_t(current_.maskRight) - current_.left;
      const uint32_t def = current_.maskDefault;
      for (size_t x = 0; x < w; ++x) {
        const int64_t sx = int64_t(x);
        const uint32_t mv = (m && sx >= mx0 && sx < mx1) ? m[sx - mx0] : def;
        px[4 * x + 3] = uint8_t((px[4 * x + 3] * mv + 127) / 255);
      }
    }
    winCount_ = i + 1;
  }
  return winCount_;
}

const uint32_t* Psd::RowPointer(int32_t y) const {
  if (error_ || !haveImage_ || winCount_ == 0) return nullptr;
  const int64_t rel = int64_t(y) - current_.top;
  if (rel < int64_t(winTop_) || rel >= int64_t(winTop_) + winCount_) return nullptr;
  return window_.data() + size_t(rel - winTop_) * imageWidth_;
}

}  // namespace iio
