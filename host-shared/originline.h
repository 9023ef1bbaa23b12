// How the dialogs' origin line fits a long origin into its fixed width
// without ever hiding whose site it is: as browsers do for their own
// prompts, the text is cut on the left, and its end, from the registrable
// domain (the name a site's owner registered, found with the Public Suffix
// List) to the port, always stays on screen. The dialogs only measure text
// in their font and apply the result.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace originline {

// Where in the shown origin ("host:port", or "scheme://host:port" for
// schemes other than https) the part starts that must never be cut: the
// registrable domain, or the whole host for an IP literal, a host that is
// itself a public suffix and a host that is not a domain name at all.
std::size_t registrableDomainStart(const std::string &shown);

// The width in pixels of a UTF-8 text drawn in the origin line's bold font
// with this pixel height.
using TextWidth = std::function<int(const std::string &text, int pixelHeight)>;

struct Fit {
    std::string text; // as shown: maybe "…" and a tail; a "\n" where it takes two lines
    int pixelHeight = 0;
};

// The origin line for `shown` in a line `width` pixels wide, with the font of
// `pixelHeight` that the length rule gives and the dialog font's
// `minPixelHeight`:
//  - the whole text when it fits;
//  - else cut on the left, with an ellipsis, as little as the line needs, as
//    long as the registrable domain stays whole;
//  - else the same with the largest smaller font, down to the dialog font,
//    with which the registrable domain fits;
//  - else two lines in the dialog font, the second one ending the text, the
//    first one cut on the left if it must be.
Fit fit(const std::string &shown, int width, int pixelHeight, int minPixelHeight,
        const TextWidth &textWidth);

} // namespace originline
