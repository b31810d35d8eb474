#pragma once
// Bitmap text for the OpenGL view: 128 display lists holding the glyphs of
// character codes 0 to 127, drawn at the current raster position, one list
// per byte. The glyphs are rendered once per GL context with QPainter and
// stored as glBitmap calls, so the facility works on any OpenGL 1.x
// implementation (Mesa under X11, Windows, macOS).

#include <QString>

namespace BitmapFont {

// The first of the 128 glyph lists of the current context (created on first use).
unsigned int listBase();
// Draws Latin-1 text at the current raster position; codes above 127 are skipped.
void draw(const QString &text);
// The height in pixels of a line of text.
int lineHeight();

}  // namespace BitmapFont
