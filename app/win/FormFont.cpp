#include "app/win/FormFont.h"

namespace form_font {

const std::vector<FontRequest>& FontRequests() {
  // After the layout's own: faces every Windows has, which Wine maps to
  // fonts of the desktop, in the system's default and in the Western
  // character set.
  static const std::vector<FontRequest> requests = {
      {"System", CHINESEBIG5_CHARSET}, {"Tahoma", DEFAULT_CHARSET}, {"MS Sans Serif", DEFAULT_CHARSET},
      {"Arial", DEFAULT_CHARSET},      {"Tahoma", ANSI_CHARSET},    {"MS Sans Serif", ANSI_CHARSET},
      {"Arial", ANSI_CHARSET},
  };
  return requests;
}

std::string PrintableAscii() {
  std::string text;
  for (char c = ' '; c <= '~'; ++c) text += c;
  return text;
}

size_t ChooseFont(const std::vector<FontRequest>& requests, const GlyphProbe& hasGlyphs, const std::string& text) {
  const std::string ascii = PrintableAscii();
  for (const std::string& needed : {ascii + text, ascii}) {
    for (size_t i = 0; i < requests.size(); ++i) {
      if (hasGlyphs(requests[i], needed)) return i;
    }
  }
  return 0;
}

HFONT CreateRequestedFont(const FontRequest& request) {
  return CreateFontA(-16, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, request.charSet, OUT_DEFAULT_PRECIS,
                     CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, request.face);
}

bool FontHasGlyphs(HFONT font, const std::string& text) {
  if (font == nullptr) return false;
  if (text.empty()) return true;
  HDC dc = CreateCompatibleDC(nullptr);
  if (dc == nullptr) return false;
  const HGDIOBJ previous = SelectObject(dc, font);
  std::vector<WORD> glyphs(text.size());
  const DWORD count = GetGlyphIndicesA(dc, text.data(), static_cast<int>(text.size()), glyphs.data(),
                                       GGI_MARK_NONEXISTING_GLYPHS);
  SelectObject(dc, previous);
  DeleteDC(dc);
  if (count == GDI_ERROR) return false;
  for (DWORD i = 0; i < count && i < glyphs.size(); ++i) {
    if (glyphs[i] == 0xFFFF) return false;
  }
  return true;
}

}  // namespace form_font
