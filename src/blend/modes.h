// The colour-mode and alpha-mode tables: ids, native names and PSD keys.
#pragma once
#include <cstdint>
#include <string>

namespace blend {

struct ColorModeRow {
  uint8_t id;
  const char* name;       // as stored in the native file
  const char* psdWrite;   // the PSD key written for this id
  const char* psdRead[3]; // PSD keys read as this id (null-terminated list)
  bool hasKernel;
};

struct AlphaModeRow {
  uint32_t id;
  const char* name;
};

// The whole tables, in their fixed order.
const ColorModeRow* ColorModeTable(int* count);
const AlphaModeRow* AlphaModeTable(int* count);

// Exact, case-sensitive name lookup; 255 when the name is not in the table.
uint8_t ColorModeByName(const std::string& name);
// Name of the first row with this id, or null.
const char* ColorModeName(uint8_t id);
// Exact name lookup; -1 when the name is not in the table.
int64_t AlphaModeByName(const std::string& name);
// Name of the row whose id equals the whole word, or null.
const char* AlphaModeName(uint32_t id);

// PSD key (4 raw bytes) written for a colour mode id; ids without a kernel write "norm".
const char* PsdKeyForColorMode(uint8_t id);
// Colour mode id for a PSD key; unlisted keys read as normal (1).
uint8_t ColorModeForPsdKey(const char key[4]);
// Whether a colour mode id has a kernel.
bool ColorModeHasKernel(uint8_t id);

}  // namespace blend
