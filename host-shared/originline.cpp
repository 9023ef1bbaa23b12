// The origin line's fitting rule and the registrable domain it keeps whole.
// The Public Suffix List (with its private section, where a name such as
// github.io hands out names to many owners) is compiled in at build time from
// the distribution's copy; see publicsuffix.cmake.
#include "originline.h"

#include "utf.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

// The rules of more than one label, one per line between newlines; and the
// most labels of any rule.
extern const char quorvantaPublicSuffixRules[];
extern const std::size_t quorvantaPublicSuffixRulesSize;
extern const std::size_t quorvantaPublicSuffixMaxLabels;

namespace originline {

namespace {

const std::string ellipsis = "\xE2\x80\xA6"; // U+2026

// The rules, sorted once the first dialog needs them.
bool listed(const std::string &rule)
{
    static const std::vector<std::string_view> rules = [] {
        const std::string_view all(quorvantaPublicSuffixRules, quorvantaPublicSuffixRulesSize);
        std::vector<std::string_view> sorted;
        for (std::size_t from = 1, end; from < all.size(); from = end + 1) {
            end = std::min(all.find('\n', from), all.size());
            sorted.push_back(all.substr(from, end - from));
        }
        std::sort(sorted.begin(), sorted.end());
        return sorted;
    }();
    return std::binary_search(rules.begin(), rules.end(), std::string_view(rule));
}

// Punycode (RFC 3492) to UTF-8, for the list's internationalised names, which
// it writes in Unicode while browsers send their ASCII form. False when the
// text is not valid Punycode.
bool punycodeToUtf8(std::string_view in, std::string &out)
{
    const std::uint32_t base = 36, tmin = 1, tmax = 26, skew = 38, damp = 700;
    std::u32string decoded;
    const std::size_t dash = in.rfind('-');
    std::size_t pos = 0;
    if (dash != std::string_view::npos) {
        for (; pos < dash; ++pos) {
            if (static_cast<unsigned char>(in[pos]) >= 0x80) return false;
            decoded += char32_t(in[pos]);
        }
        ++pos;
    }
    std::uint32_t n = 128, i = 0, bias = 72;
    while (pos < in.size()) {
        const std::uint32_t oldi = i;
        std::uint32_t w = 1;
        for (std::uint32_t k = base;; k += base) {
            if (pos >= in.size()) return false;
            const char c = in[pos++];
            std::uint32_t digit;
            if (c >= 'a' && c <= 'z') digit = std::uint32_t(c - 'a');
            else if (c >= '0' && c <= '9') digit = std::uint32_t(c - '0') + 26;
            else return false;
            if (digit > (UINT32_MAX - i) / w) return false;
            i += digit * w;
            const std::uint32_t t = k <= bias ? tmin : k >= bias + tmax ? tmax : k - bias;
            if (digit < t) break;
            if (w > UINT32_MAX / (base - t)) return false;
            w *= base - t;
        }
        const std::uint32_t points = std::uint32_t(decoded.size()) + 1;
        std::uint32_t delta = oldi == 0 ? (i - oldi) / damp : (i - oldi) / 2;
        delta += delta / points;
        std::uint32_t k = 0;
        for (; delta > ((base - tmin) * tmax) / 2; k += base) delta /= base - tmin;
        bias = k + (base - tmin + 1) * delta / (delta + skew);
        if (i / points > 0x10FFFF - n) return false;
        n += i / points;
        i %= points;
        if (n >= 0xD800 && n <= 0xDFFF) return false;
        decoded.insert(decoded.begin() + i, char32_t(n));
        ++i;
    }
    out.clear();
    for (char32_t cp : decoded) appendUtf8(out, cp);
    return true;
}

bool allOf(std::string_view text, bool (*pred)(char))
{
    return !text.empty() && std::all_of(text.begin(), text.end(), pred);
}
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHexDigit(char c) { return isDigit(c) || (c >= 'a' && c <= 'f'); }
bool isSchemeChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isDigit(c) || c == '+' || c == '-'
           || c == '.';
}

// How many labels at the end of the name are a public suffix: the prevailing
// rule of the list, and one label (the list's default rule "*") when no rule
// matches. `labels` are lower case, internationalised ones in Unicode.
std::size_t publicSuffixLabels(const std::vector<std::string> &labels)
{
    std::size_t suffix = 1;
    std::string name, parent; // the last k labels, and the last k - 1
    for (std::size_t k = 1; k <= std::min(labels.size(), quorvantaPublicSuffixMaxLabels); ++k) {
        parent = name;
        const std::string &label = labels[labels.size() - k];
        name = k == 1 ? label : label + "." + name;
        // An exception rule wins over every other rule and leaves its parent.
        if (listed("!" + name)) return k - 1;
        if (listed(name) || (k > 1 && listed("*." + parent))) suffix = k;
    }
    return suffix;
}

} // namespace

std::size_t registrableDomainStart(const std::string &shown)
{
    std::size_t start = 0;
    const std::size_t scheme = shown.find("://");
    if (scheme != std::string::npos && allOf(std::string_view(shown).substr(0, scheme), isSchemeChar))
        start = scheme + 3;
    std::size_t end = shown.find_first_of("/?#", start);
    if (end == std::string::npos) end = shown.size();
    // A name before "@" is not the host.
    const std::size_t at = shown.rfind('@', end == 0 ? 0 : end - 1);
    if (at != std::string::npos && at >= start && at < end) start = at + 1;
    if (start < end && shown[start] == '[') return start; // IPv6 literal
    std::size_t hostEnd = shown.find(':', start);
    if (hostEnd == std::string::npos || hostEnd > end) hostEnd = end;

    std::string host = shown.substr(start, hostEnd - start);
    std::transform(host.begin(), host.end(), host.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
    if (!host.empty() && host.back() == '.') host.pop_back(); // a fully qualified name
    std::vector<std::string> labels;
    std::vector<std::size_t> offsets;
    for (std::size_t from = 0;;) {
        const std::size_t dot = std::min(host.find('.', from), host.size());
        offsets.push_back(start + from);
        labels.push_back(host.substr(from, dot - from));
        if (labels.back().empty()) return start; // not a domain name
        if (dot == host.size()) break;
        from = dot + 1;
    }
    // A number as the last label makes it an IPv4 address, as in URLs.
    const std::string &last = labels.back();
    if (allOf(last, isDigit)
        || (last.size() > 2 && last.compare(0, 2, "0x") == 0
            && allOf(std::string_view(last).substr(2), isHexDigit)))
        return start;
    for (std::string &label : labels) {
        std::string unicode;
        // DNS labels have at most 63 octets; a longer one matches no rule.
        if (label.size() <= 63 && label.compare(0, 4, "xn--") == 0
            && punycodeToUtf8(std::string_view(label).substr(4), unicode))
            label = unicode;
    }
    const std::size_t suffix = publicSuffixLabels(labels);
    if (suffix >= labels.size()) return start; // the host is a public suffix itself
    return offsets[labels.size() - suffix - 1];
}

Fit fit(const std::string &shown, int width, int pixelHeight, int minPixelHeight,
        const TextWidth &textWidth)
{
    minPixelHeight = std::max(1, std::min(minPixelHeight, pixelHeight));
    if (width <= 0 || pixelHeight < 1) return {shown, pixelHeight};

    // Where the shown text may be cut: code point boundaries. No line of
    // `width` pixels shows more than `width` characters, so a text of more
    // than two lines' worth is cut before it is measured.
    std::vector<std::size_t> cuts;
    for (std::size_t i = 0; i < shown.size(); ++i)
        if ((static_cast<unsigned char>(shown[i]) & 0xC0) != 0x80) cuts.push_back(i);
    const std::size_t most = 2 * static_cast<std::size_t>(width);
    if (cuts.size() > most) cuts.erase(cuts.begin(), cuts.end() - most);
    const bool whole = !cuts.empty() && cuts.front() == 0;

    const auto fits = [&](const std::string &text, int h) { return textWidth(text, h) <= width; };
    // The longest tail of `text` (the shown text or its beginning) that fits
    // with `prefix` before it, starting after the first byte and no later
    // than `latest`; false when none does. Shorter tails are never wider, so
    // the first that fits is found by bisection.
    const auto longestTail = [&](const std::string &text, std::size_t latest,
                                 const std::string &prefix, int h, std::string &line) {
        if (text.empty()) return false;
        auto first = std::upper_bound(cuts.begin(), cuts.end(), std::size_t(0));
        auto last = std::upper_bound(first, cuts.end(), std::min(latest, text.size() - 1));
        if (first == last || !fits(prefix + text.substr(*(last - 1)), h)) return false;
        while (last - first > 1) {
            const auto middle = first + (last - first - 1) / 2;
            if (fits(prefix + text.substr(*middle), h))
                last = middle + 1;
            else
                first = middle + 1;
        }
        line = prefix + text.substr(*first);
        return true;
    };

    const std::size_t keep = registrableDomainStart(shown);
    std::string line;
    for (int h = pixelHeight; h >= minPixelHeight; --h) {
        if (whole && fits(shown, h)) return {shown, h};
        if (longestTail(shown, keep, ellipsis, h, line)) return {line, h};
    }

    // Two lines in the dialog font: the second as full as it can be, so that
    // as much of the end as possible is on screen.
    const int h = minPixelHeight;
    std::string second, first;
    if (!longestTail(shown, shown.size(), "", h, second)) return {shown, h};
    const std::string rest = shown.substr(0, shown.size() - second.size());
    if (whole && fits(rest, h))
        first = rest;
    else if (!longestTail(rest, rest.size(), ellipsis, h, first))
        first = ellipsis;
    return {first + "\n" + second, h};
}

} // namespace originline
