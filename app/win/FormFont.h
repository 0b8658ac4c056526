// The form's font: "System", 16 pixels, bold, in the Chinese (Big5) character
// set, as the layout was drawn. Where the font the system gives for that
// request has no glyphs for the window's texts (the only Big5 font of many
// Linux desktops under Wine has no Latin letters), the form takes the first
// of a few common faces in the system's own character set that has them, at
// the same size and weight.
#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace form_font {

struct FontRequest {
  const char* face;
  BYTE charSet;
};

// The requests the form tries, in order: the layout's own first.
const std::vector<FontRequest>& FontRequests();

// The characters the window's own texts are made of: the printable ASCII ones.
std::string PrintableAscii();

// Which of `requests` the form uses, given whether the font made from a
// request has a glyph for every character of a text: the first that has
// glyphs for the printable ASCII characters and `text`; where none has, the
// first with glyphs for the printable ASCII characters alone; where none has
// even those, the first.
using GlyphProbe = std::function<bool(const FontRequest& request, const std::string& text)>;
size_t ChooseFont(const std::vector<FontRequest>& requests, const GlyphProbe& hasGlyphs, const std::string& text);

// The font of a request: 16-pixel character height, bold.
HFONT CreateRequestedFont(const FontRequest& request);

// Whether `font` has a glyph for every character of `text`, a text in the
// code page of the font's character set.
bool FontHasGlyphs(HFONT font, const std::string& text);

}  // namespace form_font
