// Layer and mask information: the layer info (a layer count, the layer
// records, then the channel data of every layer in record order), a global
// layer mask and additional information. Layer records come from the layer
// info, or from the additional information's "Lr16" or "Lr32" block, which
// holds the same structure.
#include <cstring>

#include "iio/codepage.h"
#include "iio/psd_sections.h"

namespace iio {

namespace {

struct Rect {
  int32_t left, top, right, bottom;
};

// Rectangles are stored top, left, bottom, right. An empty or inverted one
// collapses onto its top-left corner so that every consumer sees 0 x 0.
bool ReadRect(const uint8_t* p, int64_t maxSide, Rect* r, const char* what, std::string* why) {
  r->top = int32_t(LoadBe32(p));
  r->left = int32_t(LoadBe32(p + 4));
  r->bottom = int32_t(LoadBe32(p + 8));
  r->right = int32_t(LoadBe32(p + 12));
  const int64_t w = int64_t(r->right) - r->left, h = int64_t(r->bottom) - r->top;
  if (w > maxSide || h > maxSide)
    return Explain(why, std::string(what) + " of " + std::to_string(w) + " x " + std::to_string(h) + " (at most " +
                            Num(uint64_t(maxSide)) + " a side)");
  if (w <= 0 || h <= 0) r->right = r->left, r->bottom = r->top;
  return true;
}


// The additional information blocks the reader uses; the first of each key
// counts.
struct ExtraBlocks {
  std::vector<uint8_t> luni, lspf, lsct;
  bool haveLuni = false, haveLspf = false, haveLsct = false;
};

// The longest side a layer or mask rectangle may have in a file.
int64_t MaxLayerSide(const PsdHeader& h) { return h.Large() ? int64_t(kMaxLargeCanvasSide) : kMaxLayerSide; }

// Keys of additional information whose length takes 8 bytes in a large document.
bool LongLengthKey(const uint8_t* key) {
  static const char* const keys[] = {"LMsk", "Lr16", "Lr32", "Layr", "Mt16", "Mt32", "Mtrn",
                                     "Alph", "FMsk", "lnk2", "FEid", "FXid", "PxSD"};
  for (const char* k : keys)
    if (KeyIs(key, k)) return true;
  return false;
}

bool ReadBoundsAndChannels(SectionCursor& c, const PsdHeader& h, LayerRecord& rec, std::string* why) {
  layer_param_t& p = rec.param;
  const uint8_t* b = c.Take(18);
  if (!b) return Explain(why, "the layer info ends before its rectangle");
  Rect r;
  if (!ReadRect(b, MaxLayerSide(h), &r, "a rectangle", why)) return false;
  p.left = r.left, p.top = r.top, p.right = r.right, p.bottom = r.bottom;
  const uint16_t nch = LoadBe16(b + 16);
  if (nch < 1 || nch > 56) return Explain(why, Num(nch) + " channels (1 to 56)");
  // Each entry: an id and a length of 4 bytes, 8 in a large document.
  const uint32_t entry = h.Large() ? 10 : 6;
  b = c.Take(uint64_t(entry) * nch);
  if (!b) return Explain(why, "the layer info ends in its channel table");
  rec.table.resize(nch);
  for (uint16_t i = 0; i < nch; ++i) {
    // Ids outside the mode's channels (spot colours, animation data) are
    // kept in the table so that the data of the other channels is found,
    // and otherwise ignored.
    const uint8_t* e = b + size_t(entry) * i;
    rec.table[i].id = int16_t(LoadBe16(e));
    rec.table[i].length = h.Large() ? uint64_t(LoadBe32(e + 2)) << 32 | LoadBe32(e + 6) : LoadBe32(e + 2);
  }
  p.channelCount = nch;
  p.depth = h.depth;
  return true;
}

// The fields between the channel table and the extra data: the blend key,
// opacity, clipping, flags and the extra data's length.
bool ReadBlendFields(SectionCursor& c, LayerRecord& rec, uint32_t* extraLength, std::string* why) {
  const uint8_t* b = c.Take(16);
  if (!b) return Explain(why, "the layer info ends before its blend mode");
  if (!KeyIs(b, "8BIM")) return Explain(why, "no 8BIM signature before its blend mode");
  layer_param_t& p = rec.param;
  std::memcpy(p.blendKey.data(), b + 4, 4);
  p.opacity = b[8];
  p.clipping = b[9];
  rec.flags = b[10];
  *extraLength = LoadBe32(b + 12);
  return c.Fits(*extraLength) || Explain(why, "extra data of " + Num(*extraLength) + " bytes, past the layer info (" +
                                                   Num(c.Left()) + " bytes left)");
}

// Layer mask data: length 0 or at least 20; the published fields are taken
// from the front and the rest (real mask, density, feather) skipped.
bool ReadMaskData(SectionCursor& x, int64_t maxSide, LayerRecord& rec, std::string* why) {
  layer_param_t& p = rec.param;
  uint32_t maskLen;
  if (!x.U32(&maskLen)) return Explain(why, "its extra data ends before the mask data's length");
  if (maskLen == 0) {
    p.maskRelative = p.maskEnabled = p.maskInverted = p.maskDefault = 0;
    return true;
  }
  if (maskLen < 20) return Explain(why, "mask data of " + Num(maskLen) + " bytes (0 or at least 20)");
  const uint8_t* m = x.Take(maskLen);
  if (!m) return Explain(why, "mask data of " + Num(maskLen) + " bytes, past its extra data");
  Rect mr;
  if (!ReadRect(m, maxSide, &mr, "a mask rectangle", why)) return false;
  p.maskLeft = mr.left, p.maskTop = mr.top, p.maskRight = mr.right, p.maskBottom = mr.bottom;
  p.maskDefault = m[16];
  p.maskRelative = m[17] & 1;
  p.maskEnabled = (m[17] & 2) ? 0 : 1;
  p.maskInverted = (m[17] & 4) ? 1 : 0;
  rec.hasMask = true;
  return true;
}

// Blending ranges are not used.
bool SkipBlendingRanges(SectionCursor& x, std::string* why) {
  uint32_t rangesLen;
  if (!x.U32(&rangesLen)) return Explain(why, "its extra data ends before the blending ranges");
  return x.Skip(rangesLen) || Explain(why, "blending ranges of " + Num(rangesLen) + " bytes, past its extra data");
}

// The name in a character set of its own, padded to a multiple of 4 bytes
// with its length byte.
bool ReadPascalName(SectionCursor& x, std::string* out, std::string* why) {
  // Each read may reuse the source's buffer: copy what is needed at once.
  const uint8_t* nl = x.Take(1);
  if (!nl) return Explain(why, "its extra data ends before its name");
  const uint8_t nameLen = nl[0];
  const uint8_t* name = nameLen ? x.Take(nameLen) : reinterpret_cast<const uint8_t*>("");
  if (!name) return Explain(why, "a name of " + Num(nameLen) + " bytes, past its extra data");
  out->assign(reinterpret_cast<const char*>(name), nameLen);
  x.Skip(std::min<uint64_t>((4 - (1 + nameLen) % 4) % 4, x.Left()));
  return true;
}

// Additional information blocks up to the end of the record's extra data.
// Lengths are taken as written; a writer that padded without saying so is
// caught by looking for the signature a few bytes further on.
bool ReadExtraBlocks(DataSrcBase& src, SectionCursor& x, bool large, ExtraBlocks* out, std::string* why) {
  while (x.Left() >= 12) {
    const uint64_t at = src.position();
    const uint64_t window = std::min<uint64_t>(x.Left(), 12 + 6);
    const uint8_t* w = x.Take(window);
    if (!w) return Explain(why, "additional information at " + Num(at) + " cannot be read");
    uint64_t shift = 0;
    while (shift < 7 && shift + 12 <= window && !KeyIs(w + shift, "8BIM") && !KeyIs(w + shift, "8B64"))
      ++shift;
    if (shift == 7 || shift + 12 > window)
      return Explain(why, "additional information at " + Num(at) + " without a signature");
    char key[4];
    std::memcpy(key, w + shift + 4, 4);
    const std::string block = "additional information \"" + std::string(key, 4) + "\" at " + Num(at + shift);
    const bool longLength = large && LongLengthKey(w + shift + 4);
    if (!src.seek(at + shift + 8)) return Explain(why, block + " cannot be read");
    uint64_t len;
    if (!x.Length(longLength, &len)) return Explain(why, block + " ends before its length");
    if (!x.Fits(len)) return Explain(why, block + ": " + Num(len) + " bytes, past its extra data");
    std::vector<uint8_t>* keep = nullptr;
    if (std::memcmp(key, "luni", 4) == 0 && !out->haveLuni) keep = &out->luni, out->haveLuni = true;
    if (std::memcmp(key, "lspf", 4) == 0 && !out->haveLspf) keep = &out->lspf, out->haveLspf = true;
    if (std::memcmp(key, "lsct", 4) == 0 && !out->haveLsct) keep = &out->lsct, out->haveLsct = true;
    if (keep ? !src.readInto(*keep, len) : !x.Skip(len)) return Explain(why, block + " cannot be read");
  }
  return true;
}

// The Unicode name ("luni") wins over the Pascal name.
std::string LayerName(const std::string& pascal, const ExtraBlocks& blocks, const std::string& charset) {
  std::string name = CharsetToUtf8(pascal, charset);
  const std::vector<uint8_t>& luni = blocks.luni;
  if (blocks.haveLuni && luni.size() >= 4) {
    const uint64_t n = LoadBe32(luni.data());
    if (DeclaredFits(4 + 2 * n, luni.size())) {
      std::u16string units(size_t(n), u'\0');
      for (size_t i = 0; i < n; ++i) units[i] = char16_t(LoadBe16(&luni[4 + 2 * i]));
      while (!units.empty() && units.back() == 0) units.pop_back();
      name = Utf16ToUtf8(units.data(), units.size());
    }
  }
  return name;
}

// Visibility and transparency lock from the record's flags; the protection
// block ("lspf") overrides the lock and adds the others.
void TakeFlagsAndLocks(uint8_t flags, const ExtraBlocks& blocks, layer_param_t& p) {
  p.visible = (flags & 2) ? 0 : 1;
  p.lockTransparency = flags & 1;
  if (blocks.haveLspf && blocks.lspf.size() >= 4) {
    const uint32_t v = LoadBe32(blocks.lspf.data());
    p.lockTransparency = v & 1;
    p.lockPixels = (v >> 1) & 1;
    p.lockPosition = (v >> 2) & 1;
    p.lockAll = (v >> 31) & 1;
  }
}

// The section divider ("lsct") makes the record a group marker.
void TakeSectionDivider(const ExtraBlocks& blocks, layer_param_t& p) {
  const std::vector<uint8_t>& lsct = blocks.lsct;
  if (!blocks.haveLsct || lsct.size() < 4) return;
  const uint32_t type = LoadBe32(lsct.data());
  if (type < 1 || type > 3) return;
  auto f = std::make_shared<folder_info_t>();
  f->sectionType = type;
  if (lsct.size() >= 12 && KeyIs(&lsct[4], "8BIM")) {
    f->hasBlendKey = true;
    std::memcpy(f->blendKey.data(), &lsct[8], 4);
  }
  p.folder = f;
}

// Records without layer pixels: group markers, and flagged records with an
// empty rectangle (adjustment layers). Fill and shape layers carry the flag
// too but store their pixels, so they are kept.
void MarkPixelsIrrelevant(LayerRecord& rec) {
  layer_param_t& p = rec.param;
  const bool flagged = (rec.flags & 8) && (rec.flags & 16);
  bool colour = false;
  for (const psd_channel_t& ch : rec.table) colour |= ch.id >= -1 && ch.id <= 2;
  p.pixelsIrrelevant = p.folder || (flagged && p.Width() == 0) || !colour ? 1 : 0;
}

bool ReadLayerRecord(DataSrcBase& src, uint64_t limit, const PsdHeader& h, const std::string& charset,
                     LayerRecord& rec, std::string* why) {
  SectionCursor c(src, limit);
  uint32_t extraLength = 0;
  if (!ReadBoundsAndChannels(c, h, rec, why) || !ReadBlendFields(c, rec, &extraLength, why)) return false;
  const uint64_t extraEnd = src.position() + extraLength;
  SectionCursor x(src, extraEnd);
  std::string pascal;
  ExtraBlocks blocks;
  if (!ReadMaskData(x, MaxLayerSide(h), rec, why) || !SkipBlendingRanges(x, why) ||
      !ReadPascalName(x, &pascal, why) || !ReadExtraBlocks(src, x, h.Large(), &blocks, why))
    return false;
  if (!src.seek(extraEnd)) return Explain(why, "its extra data ends past the file's end");
  layer_param_t& p = rec.param;
  p.name = LayerName(pascal, blocks, charset);
  TakeFlagsAndLocks(rec.flags, blocks, p);
  TakeSectionDivider(blocks, p);
  MarkPixelsIrrelevant(rec);
  return true;
}

// Channel data follows the records, layer after layer. False when the
// lengths add up past any file.
bool LocateChannelData(uint64_t offset, std::vector<LayerRecord>& records) {
  for (LayerRecord& r : records) {
    r.dataOffset = offset;
    for (const psd_channel_t& c : r.table)
      if (!AddSize(offset, c.length, &offset)) return false;
  }
  return true;
}

// Records run bottom to top: a group's end marker (type 3) comes first, its
// header record (type 1 or 2, which holds the group's visibility) last.
// Walking top down, every layer under a hidden header is hidden.
void ResolveGroups(std::vector<LayerRecord>& records) {
  std::vector<bool> hidden;  // per open group: hidden, itself or by a parent
  for (size_t i = records.size(); i-- > 0;) {
    layer_param_t& p = records[i].param;
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

// The layer info up to `end`: a signed layer count and the records.
PsdError ReadLayerInfo(DataSrcBase& src, uint64_t end, const PsdHeader& h, const std::string& charset,
                       LayerSection* out, std::string* why) {
  SectionCursor li(src, end);
  const uint8_t* c = li.Take(2);
  if (!c) return Explain(why, kPsdBadLayers, "layer info: no layer count");
  const int16_t count = int16_t(LoadBe16(c));
  out->mergedAlpha = count < 0;
  const uint32_t n = uint32_t(count < 0 ? -int32_t(count) : count);
  for (uint32_t i = 0; i < n; ++i) {
    out->records.emplace_back();
    std::string record;
    if (!ReadLayerRecord(src, end, h, charset, out->records.back(), why ? &record : nullptr))
      return Explain(why, kPsdBadLayers, Within("layer record " + Num(i) + " of " + Num(n), record));
  }
  if (!LocateChannelData(src.position(), out->records))
    return Explain(why, kPsdBadLayers, "layer info: the channel data's lengths add up past any file");
  ResolveGroups(out->records);
  return kPsdOk;
}

// The additional information behind the layer info and the global layer
// mask, up to `end`: where a "Lr16" or "Lr32" block starts and ends (0, 0
// when there is none). Blocks are padded to a multiple of 4 bytes, which
// some writers leave out: the next signature is looked for at both places.
bool FindLayerBlock(DataSrcBase& src, uint64_t end, const PsdHeader& h, uint64_t* start, uint64_t* stop) {
  SectionCursor x(src, end);
  uint32_t maskLen;
  if (x.Left() < 4 || !x.U32(&maskLen) || !x.Skip(maskLen)) return false;
  while (x.Left() >= 12) {
    const uint8_t* b = x.Take(8);
    if (!b || !(KeyIs(b, "8BIM") || KeyIs(b, "8B64"))) return false;
    const bool layers = KeyIs(b + 4, "Lr16") || KeyIs(b + 4, "Lr32");
    const bool longLength = h.Large() && LongLengthKey(b + 4);
    uint64_t len;
    if (!x.Length(longLength, &len) || !x.Fits(len)) return false;
    if (layers) {
      *start = src.position();
      *stop = *start + len;
      return true;
    }
    const uint64_t next = src.position() + len;
    const uint64_t padded = next + (4 - len % 4) % 4;
    const uint8_t* sig = src.seek(padded) && x.Left() >= 4 ? x.Take(4) : nullptr;
    if (!(sig && (KeyIs(sig, "8BIM") || KeyIs(sig, "8B64"))) && padded != next) {
      if (!src.seek(next)) return false;
    } else if (!src.seek(padded)) {
      return false;
    }
  }
  return false;
}

}  // namespace

PsdError ReadLayerSection(DataSrcBase& src, SectionCursor& file, const PsdHeader& h, const std::string& charset,
                          LayerSection* out, std::string* why) {
  out->mergedStart = src.position();
  const uint32_t lengthBytes = h.Large() ? 8 : 4;
  // A file may end before the section: it then has no layers.
  if (file.Left() < lengthBytes) return kPsdOk;
  uint64_t sectionLen = 0;
  file.Length(h.Large(), &sectionLen);
  if (!file.Fits(sectionLen))
    return Explain(why, kPsdBadLayers,
                   "layer and mask information: " + Num(sectionLen) + " bytes, past the file's end (" +
                       Num(file.Left()) + " bytes left)");
  out->mergedStart = src.position() + sectionLen;
  // A section of length 0 holds no layers (the merged image follows at once).
  if (sectionLen == 0) return kPsdOk;
  if (sectionLen < lengthBytes)
    return Explain(why, kPsdBadLayers,
                   "layer and mask information: " + Num(sectionLen) + " bytes, too short for the layer info's length");
  SectionCursor section(src, out->mergedStart);
  uint64_t infoLen = 0;
  section.Length(h.Large(), &infoLen);
  if (!section.Fits(infoLen))
    return Explain(why, kPsdBadLayers,
                   "layer info: " + Num(infoLen) + " bytes, past its section (" + Num(section.Left()) + " bytes left)");
  const uint64_t infoEnd = src.position() + infoLen;
  if (h.depth > 8) {
    // Files of 16 and 32 bits keep their layers in a block of the
    // additional information, and that block wins over the layer info.
    uint64_t start = 0, stop = 0;
    if (src.seek(infoEnd) && FindLayerBlock(src, out->mergedStart, h, &start, &stop) && stop - start >= 2) {
      if (!src.seek(start)) return Explain(why, kPsdBadLayers, "layer info in additional information: cannot be read");
      return ReadLayerInfo(src, stop, h, charset, out, why);
    }
    if (!src.seek(infoEnd - infoLen)) return Explain(why, kPsdBadLayers, "layer info: cannot be read");
  }
  return infoLen >= 2 ? ReadLayerInfo(src, infoEnd, h, charset, out, why) : kPsdOk;
}

}  // namespace iio
