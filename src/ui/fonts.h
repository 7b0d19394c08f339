// ui fonts: the three typefaces compiled into the program, loaded into gfx from memory.
//
// Depends on gfx and on the byte arrays that the build generates from assets/fonts. The bytes
// live for the whole program, as gfx requires of font data.
#pragma once

namespace ui {

// Loads the three faces; false (and nothing loaded) if any of them fails.
bool load_fonts();
void unload_fonts();
bool fonts_loaded();
// The gfx font id of a face (Face_Interface, Face_Title, Face_Body), or -1 when not loaded.
int font_of(int face);

}  // namespace ui
