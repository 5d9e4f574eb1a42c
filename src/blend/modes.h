// The colour-mode and alpha-mode tables: ids, native names and PSD keys.
#pragma once
#include <cstdint>
#include <string>

namespace blend {

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

}  // namespace blend
