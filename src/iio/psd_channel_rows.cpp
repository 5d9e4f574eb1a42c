// Channel rows as layers and the merged image store them alike: the row
// byte counts of PackBits channels, a row fetched from raw, PackBits or ZIP
// data, and the rows of a pixel row converted to pixels.
#include "iio/packbits.h"
#include "iio/psd_sections.h"

namespace iio {

std::vector<uint8_t> FullRow(uint64_t bytes, uint16_t depth) {
  std::vector<uint8_t> row(size_t(bytes), depth == 1 ? 0x00 : 0xFF);
  if (depth == 32)
    for (size_t i = 0; i + 4 <= row.size(); i += 4) StoreBe32(&row[i], 0x3F800000u);
  return row;
}

void InterleaveRow(const uint8_t* const rows[4], size_t w, uint32_t* out) {
  const uint8_t *r = rows[0], *g = rows[1], *b = rows[2], *a = rows[3];
  for (size_t x = 0; x < w; ++x)
    out[x] = uint32_t(r[x]) | uint32_t(g[x]) << 8 | uint32_t(b[x]) << 16 | uint32_t(a[x]) << 24;
}

uint64_t ReadRowCounts(const uint8_t* table, uint32_t rows, bool large, uint64_t base, ChannelRows* keep) {
  uint64_t sum = 0;
  for (uint32_t r = 0; r < rows; ++r) {
    const uint32_t n = large ? LoadBe32(table + 4 * size_t(r)) : LoadBe16(table + 2 * size_t(r));
    if (keep) {
      keep->counts.push_back(n);
      keep->offsets.push_back(base + sum);
    }
    sum += n;
  }
  return sum;
}

namespace {

const uint8_t* Unreadable(std::string* why, const std::string& text) {
  Explain(why, text);
  return nullptr;
}

}  // namespace

const uint8_t* FetchChannelRow(const ChannelRows& ch, uint32_t row, const ChannelBytes& bytes, uint8_t* dst,
                               std::string* why) {
  if (row >= ch.height) return Unreadable(why, "row " + Num(row) + " of " + Num(ch.height));
  if (ch.compression == 0) {
    const uint8_t* p = bytes.Keep(ch.start + uint64_t(row) * ch.rowBytes, ch.rowBytes, dst);
    return p ? p : Unreadable(why, "raw row " + Num(row) + " cannot be read");
  }
  if (ch.compression == 1) {
    const uint32_t n = ch.counts[row];
    const uint8_t* p = bytes.Read(ch.start + ch.offsets[row], n);
    if (!p) return Unreadable(why, "PackBits row " + Num(row) + " cannot be read");
    if (PackBitsDecode(dst, dst + ch.rowBytes, p, p + n)) return dst;
    return Unreadable(why, "PackBits row " + Num(row) + " of " + Num(n) + " bytes does not decode to " +
                               Num(ch.rowBytes) + " bytes");
  }
  const uint64_t at = ch.firstRow + row;
  if ((!ch.zip || at < ch.zip->NextRow()) && !bytes.StartZip(ch))
    return Unreadable(why, "its ZIP stream ends before row " + Num(row) + " or is damaged");
  if (ch.zip->SkipRows(at - ch.zip->NextRow()) && ch.zip->ReadRows(dst, 1)) return dst;
  return Unreadable(why, "its ZIP stream ends before row " + Num(row) + " or is damaged");
}

bool FetchPixelRows(const std::vector<ChannelRows>& channels, const std::vector<ChannelFeed>& feeds, uint32_t row,
                    const ChannelBytes& bytes, const PsdFormat& format, const uint8_t* full, uint8_t* scratch,
                    const uint8_t* rows[5], std::string* why) {
  const uint32_t colors = format.color->ColorChannels();
  for (uint32_t k = 0; k <= colors; ++k) rows[k] = full;
  for (const ChannelFeed& f : feeds) {
    const ChannelRows& ch = channels[f.channel];
    std::string failure;
    const uint8_t* p = FetchChannelRow(ch, row, bytes, scratch + f.role * ch.rowBytes, why ? &failure : nullptr);
    if (!p) return Explain(why, Within("channel " + std::to_string(ch.id), failure));
    rows[f.role] = p;
  }
  return true;
}

void ConvertPixelRows(const PsdFormat& format, const uint8_t* const rows[5], uint32_t width, RowScratch&,
                      uint32_t* out) {
  if (format.plainRgb8)
    InterleaveRow(rows, width, out);
  else
    format.color->ConvertRow8(rows, rows[format.color->ColorChannels()], width, out);
}

void ConvertPixelRows(const PsdFormat& format, const uint8_t* const rows[5], uint32_t width, RowScratch& scratch,
                      uint64_t* out) {
  format.color->ConvertRow(rows, rows[format.color->ColorChannels()], width, scratch.color, out);
}

}  // namespace iio
