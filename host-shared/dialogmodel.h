// What the PIN dialog and the certificate consent dialog show and decide,
// computed once from the values the dialogs are given. The Qt and Win32 views
// put these texts into their controls as they are and apply okEnabled to the
// typed PIN; they compute nothing of their own. All texts are UTF-8 and have
// been checked to convert to UTF-16.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

// The twelve values handed to DialogManager::getPin, in that order.
struct PinDialogInput {
    std::string origin;
    std::string holderName;
    std::string personalCode;
    std::string validTo; // YYYYMMDDHHMMSSZ, UTC
    std::string pinName;
    int batchCount = 0;
    bool isAuth = false;
    bool isJwt = false;
    int triesLeft = 3;
    bool wrongPin = false;
    int minPinLength = 0;
    int maxPinLength = 0;
};

struct PinDialogModel {
    // Texts come from the text catalogue in the current language; `now` is
    // the current time (seconds since the epoch) for the expiry check.
    // Throws std::range_error "bad conversion" when a text is not valid UTF-8.
    PinDialogModel(const PinDialogInput &input, std::time_t now);

    std::string title;
    std::string origin;           // bold, height × originFontFactor
    double originFontFactor = 2.0;
    std::string warning;          // bold
    bool warningRed = false;
    std::string holderName;       // bold
    std::string personalCode;
    std::string validity;
    std::string errorLine;        // bold, always red
    std::string pinLabel;         // bold
    std::string okText;
    std::string cancelText;
    // For screen readers: the dialog's description holds the lines a sighted
    // user reads (the whole origin, however the line fits it, the warning,
    // holder, personal code, validity, error line); the PIN field's
    // description holds the error line, so that it is read whenever the
    // field gets the focus.
    std::string description;
    std::string pinFieldDescription;
    bool expired = false;
    bool pinFieldEnabled = true;  // false when the PIN is locked
    int minPinLength = 0;
    int maxPinLength = 0;

    // Whether OK may be pressed with a typed PIN of this many UTF-16 units.
    bool okEnabled(std::size_t pinUtf16Length) const;
};

struct ConsentDialogModel {
    // Throws std::range_error "bad conversion" when the origin is not valid UTF-8.
    explicit ConsentDialogModel(const std::string &origin);

    std::string title;
    std::string origin;           // bold, height × originFontFactor
    double originFontFactor = 2.0;
    std::string warning;          // the control's own font, not bold
    std::string confirmText;
    std::string cancelText;
    std::string description;      // for screen readers: the whole origin and the warning
};

// The pieces the models are made of, for their tests.
namespace dialogtext {

// `text` with the first occurrence of `marker` replaced; unchanged without one.
std::string replaceFirst(std::string text, const std::string &marker, const std::string &by);

// The origin as shown: the first "https://" removed, wherever it stands.
std::string shownOrigin(const std::string &origin);

// 2.0 up to 25 UTF-16 units, 1.8 for 26 to 30, 1.5 above.
double originFontFactor(const std::string &shown);

// YYYYMMDDHHMMSSZ → YYYY-MM-DD HH:MM:SSZ by inserting at 4, 7, 10, 13, 16.
// A separator goes in only where text follows it, so a short string yields
// the reformatted prefix and never an error.
std::string reformatValidTo(const std::string &validTo);

// Reads the reformatted expiry as a UTC time. False when it does not parse.
bool parseExpiry(const std::string &reformatted, std::time_t &expiry, int &day, int &month,
                 int &year);

// "DD.MM.YYYY" of the expiry's UTC date, or the reformatted text when the
// expiry does not parse.
std::string validityDate(const std::string &validTo);

// Expired when the expiry is not later than `now`; an expiry that does not
// parse counts as expired.
bool isExpired(const std::string &validTo, std::time_t now);

} // namespace dialogtext
