// Keeps input that was not meant for a dialog from answering it: a key held
// down or typed for the page before the dialog came up, or a click aimed at
// whatever was under the pointer. Until the dialog has had the focus, on
// screen, for one whole second in which no key was pressed, keys other than
// Escape and clicks on the confirming button are to be dropped; every dropped
// key starts that second again, and so does getting the focus back after
// losing it. Escape, Cancel and closing always work.
//
// Header only, so that the Qt dialog library, which links no part of the
// host, uses the same rule. The clock is a parameter so that the rule is
// tested without waiting.
#pragma once

#include <chrono>
#include <functional>
#include <utility>

class QuietPeriod {
public:
    using Clock = std::function<std::chrono::milliseconds()>;

    static std::chrono::milliseconds steadyClock()
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
    }

    explicit QuietPeriod(Clock now = steadyClock,
                         std::chrono::milliseconds length = std::chrono::seconds(1))
        : clock(now ? std::move(now) : Clock(steadyClock)), length(length)
    {
    }

    // The dialog gained or lost the focus (being on screen is part of it).
    void setFocused(bool nowFocused)
    {
        if (nowFocused && !hasFocus) since = clock();
        hasFocus = nowFocused;
    }

    bool focused() const { return hasFocus; }

    // Still inside the quiet second: input other than Escape is dropped.
    bool quiet() const { return !hasFocus || clock() - since < length; }

    // Whether a key press may act; a dropped one starts the second again.
    bool keyPressed(bool escape)
    {
        if (escape || !quiet()) return true;
        if (hasFocus) since = clock();
        return false;
    }

    // Whether the confirming button may act on a click.
    bool mayConfirm() const { return !quiet(); }

private:
    Clock clock;
    std::chrono::milliseconds length;
    bool hasFocus = false;
    std::chrono::milliseconds since{0};
};
