// Turns the values of a PIN or consent request into the texts, fonts factors,
// colours and enabling rules of its dialog, so that both platforms' dialogs
// show exactly the same thing.
#include "dialogmodel.h"

#include "textcatalogue.h"
#include "utf.h"

#include <cstdio>
#include <initializer_list>

namespace dialogtext {

std::string replaceFirst(std::string text, const std::string &marker, const std::string &by)
{
    const auto at = text.find(marker);
    if (at != std::string::npos) text.replace(at, marker.size(), by);
    return text;
}

std::string shownOrigin(const std::string &origin) { return replaceFirst(origin, "https://", ""); }

double originFontFactor(const std::string &shown)
{
    const std::size_t units = utf16Length(shown);
    if (units <= 25) return 2.0;
    if (units <= 30) return 1.8;
    return 1.5;
}

std::string reformatValidTo(const std::string &validTo)
{
    std::string text = validTo;
    const struct {
        std::size_t at;
        char separator;
    } inserts[] = {{4, '-'}, {7, '-'}, {10, ' '}, {13, ':'}, {16, ':'}};
    for (const auto &insert : inserts) {
        if (insert.at >= text.size()) break;
        text.insert(insert.at, 1, insert.separator);
    }
    return text;
}

namespace {

bool digits(const std::string &text, std::size_t at, std::size_t count, int &value)
{
    if (at + count > text.size()) return false;
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

bool literal(const std::string &text, std::size_t at, char c)
{
    return at < text.size() && text[at] == c;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar, the
// calendar arithmetic of timegm without depending on the local time zone.
long long daysFromCivil(int year, int month, int day)
{
    const long long y = year - (month <= 2 ? 1 : 0);
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

} // namespace

bool parseExpiry(const std::string &text, std::time_t &expiry, int &day, int &month, int &year)
{
    int hour = 0, minute = 0, second = 0;
    const bool ok = digits(text, 0, 4, year) && literal(text, 4, '-') && digits(text, 5, 2, month)
                    && literal(text, 7, '-') && digits(text, 8, 2, day) && literal(text, 10, ' ')
                    && digits(text, 11, 2, hour) && literal(text, 13, ':')
                    && digits(text, 14, 2, minute) && literal(text, 16, ':')
                    && digits(text, 17, 2, second) && literal(text, 19, 'Z');
    if (!ok || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59
        || second > 60)
        return false;
    expiry = static_cast<std::time_t>(daysFromCivil(year, month, day) * 86400LL + hour * 3600LL
                                      + minute * 60LL + second);
    return true;
}

std::string validityDate(const std::string &validTo)
{
    const std::string reformatted = reformatValidTo(validTo);
    std::time_t expiry;
    int day, month, year;
    if (!parseExpiry(reformatted, expiry, day, month, year)) return reformatted;
    char date[16];
    std::snprintf(date, sizeof date, "%02d.%02d.%d", day, month, year);
    return date;
}

bool isExpired(const std::string &validTo, std::time_t now)
{
    std::time_t expiry;
    int day, month, year;
    if (!parseExpiry(reformatValidTo(validTo), expiry, day, month, year)) return true;
    return expiry <= now;
}

} // namespace dialogtext

using namespace dialogtext;

namespace {

// The non-empty texts, one per line.
std::string lines(std::initializer_list<const std::string *> texts)
{
    std::string joined;
    for (const std::string *text : texts) {
        if (text->empty()) continue;
        if (!joined.empty()) joined += '\n';
        joined += *text;
    }
    return joined;
}

} // namespace

PinDialogModel::PinDialogModel(const PinDialogInput &in, std::time_t now)
    : minPinLength(in.minPinLength), maxPinLength(in.maxPinLength)
{
    title = TextCatalogue::get(in.isAuth ? "plugin action auth" : "plugin action sign");

    origin = shownOrigin(in.origin);
    originFontFactor = dialogtext::originFontFactor(origin);

    if (in.isJwt)
        warning = TextCatalogue::get("auth warning jwt");
    else if (in.isAuth)
        warning = TextCatalogue::get("auth warning");
    else if (in.batchCount > 1)
        warning = replaceFirst(TextCatalogue::get("sign batch warning"), "%lu",
                               std::to_string(in.batchCount));
    else
        warning = TextCatalogue::get("sign warning");
    // A site-supplied hash signed with the authentication key deserves attention.
    warningRed = in.isAuth && !in.isJwt;

    holderName = in.holderName;
    personalCode = in.personalCode;
    validity = replaceFirst(TextCatalogue::get("valid to"), "_VALID_TO", validityDate(in.validTo));

    expired = isExpired(in.validTo, now);
    const std::string expiredText = expired ? TextCatalogue::get("certificate expired") : "";
    const std::string triesText =
        TextCatalogue::get("tries left") + " " + std::to_string(in.triesLeft);
    if (in.wrongPin)
        errorLine = expiredText + replaceFirst(TextCatalogue::get("incorrect PIN"), "PIN", in.pinName)
                    + " " + triesText;
    else if (in.triesLeft < 3)
        errorLine = expiredText + triesText;
    else
        errorLine = expiredText;

    pinFieldEnabled = in.triesLeft != 0;
    pinLabel = replaceFirst(TextCatalogue::get("enter PIN"), "PIN", in.pinName);
    okText = TextCatalogue::get("confirm");
    cancelText = TextCatalogue::get("cancel");
    description = lines({&origin, &warning, &holderName, &personalCode, &validity, &errorLine});
    pinFieldDescription = errorLine;

    // Every text must reach the controls as UTF-16; fail here, before anything
    // is shown, rather than half way through filling the dialog.
    for (const std::string *text : {&title, &origin, &warning, &holderName, &personalCode,
                                    &validity, &errorLine, &pinLabel, &okText, &cancelText})
        utf16Length(*text);
}

bool PinDialogModel::okEnabled(std::size_t pinUtf16Length) const
{
    if (!pinFieldEnabled) return false;
    const long long length = static_cast<long long>(pinUtf16Length);
    return length >= minPinLength && length <= maxPinLength;
}

ConsentDialogModel::ConsentDialogModel(const std::string &requestOrigin)
    : title(TextCatalogue::get("plugin action cert")),
      origin(shownOrigin(requestOrigin)),
      originFontFactor(dialogtext::originFontFactor(origin)),
      warning(TextCatalogue::get("cert request warning")),
      confirmText(TextCatalogue::get("confirm")),
      cancelText(TextCatalogue::get("cancel")),
      description(lines({&origin, &warning}))
{
}
