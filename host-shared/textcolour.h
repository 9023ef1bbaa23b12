// The colour of the dialogs' red lines (warnings and the PIN error line).
// They stay red, but dark enough (or, on a dark background, light enough) to
// reach a contrast of 4.5 to 1 against the background that the dialog draws:
// the least that normal-size text needs to be read with low vision. Contrast
// and luminance as the Web Content Accessibility Guidelines define them.
//
// Header only, so that the Qt dialog library uses it without the host.
#pragma once

#include <cmath>
#include <utility>

struct Rgb {
    int r, g, b; // 0 to 255, sRGB
};

inline double relativeLuminance(Rgb c)
{
    auto linear = [](int v) {
        const double s = v / 255.0;
        return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(c.r) + 0.7152 * linear(c.g) + 0.0722 * linear(c.b);
}

inline double contrastRatio(Rgb a, Rgb b)
{
    double la = relativeLuminance(a), lb = relativeLuminance(b);
    if (la < lb) std::swap(la, lb);
    return (la + 0.05) / (lb + 0.05);
}

const double minimumTextContrast = 4.5;

// A clearly red colour readable on `background`: on the usual light grey a
// dark red (192, 0, 0), darker still on a darker background, and on a dark
// background a light red.
inline Rgb readableRed(Rgb background)
{
    for (int r = 192; r >= 0; --r)
        if (contrastRatio({r, 0, 0}, background) >= minimumTextContrast) return {r, 0, 0};
    for (int gb = 0; gb <= 255; ++gb)
        if (contrastRatio({255, gb, gb}, background) >= minimumTextContrast) return {255, gb, gb};
    // A mid grey on which no red is readable: the better of black and white.
    return contrastRatio({0, 0, 0}, background) >= contrastRatio({255, 255, 255}, background)
               ? Rgb{0, 0, 0}
               : Rgb{255, 255, 255};
}
