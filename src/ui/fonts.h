// ui fonts: the three typefaces compiled into the program, loaded into gfx from memory, and the
// Noto faces that stand in for them in scripts they lack (Greek, Cyrillic, CJK, ...).
//
// Depends on gfx, zstd and on the byte arrays that the build generates from assets/fonts and
// Debian's Noto fonts. The bytes live for the whole program, as gfx requires of font data; the
// small Noto faces are kept compressed and unpacked the first time a text needs one.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace ui {

// Loads the three faces; false (and nothing loaded) if any of them fails.
bool load_fonts();
void unload_fonts();
bool fonts_loaded();
// The gfx font id of a face (Face_Interface, Face_Title, Face_Body), or -1 when not loaded.
int font_of(int face);
// A compressed font's bytes, or nothing when the data is damaged or not `raw_size` long.
std::vector<unsigned char> unpack_font(std::span<const unsigned char> packed, size_t raw_size);

}  // namespace ui
