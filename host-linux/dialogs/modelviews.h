// Fills the C views of the Qt dialog library from the portable dialog models.
// The views point into the models, which must outlive them.
#pragma once

#include "dialogabi.h"
#include "dialogmodel.h"
#include "originline.h"

#include <cstring>

// The origin line's fitting rule, for the dialog library; nothing thrown
// crosses into it.
inline int fitOrigin(const char *origin, int width, int pixelHeight, int minPixelHeight,
                     QuorvantaTextWidth textWidth, void *context, char *text, size_t capacity)
{
    try {
        const originline::Fit fit =
            originline::fit(origin, width, pixelHeight, minPixelHeight,
                            [&](const std::string &t, int h) { return textWidth(context, t.c_str(), h); });
        if (fit.text.size() >= capacity) return 0;
        std::memcpy(text, fit.text.c_str(), fit.text.size() + 1);
        return fit.pixelHeight;
    } catch (...) {
        return 0;
    }
}

inline QuorvantaPinView pinView(const PinDialogModel &m)
{
    QuorvantaPinView v{};
    v.title = m.title.c_str();
    v.origin = m.origin.c_str();
    v.originFontFactor = m.originFontFactor;
    v.fitOrigin = fitOrigin;
    v.warning = m.warning.c_str();
    v.warningRed = m.warningRed;
    v.holderName = m.holderName.c_str();
    v.personalCode = m.personalCode.c_str();
    v.validity = m.validity.c_str();
    v.errorLine = m.errorLine.c_str();
    v.pinLabel = m.pinLabel.c_str();
    v.okText = m.okText.c_str();
    v.cancelText = m.cancelText.c_str();
    v.description = m.description.c_str();
    v.pinFieldDescription = m.pinFieldDescription.c_str();
    v.pinFieldEnabled = m.pinFieldEnabled;
    v.okEnabled = [](void *context, size_t length) -> int {
        return static_cast<const PinDialogModel *>(context)->okEnabled(length);
    };
    v.okEnabledContext = const_cast<PinDialogModel *>(&m);
    return v;
}

inline QuorvantaConsentView consentView(const ConsentDialogModel &m)
{
    QuorvantaConsentView v{};
    v.title = m.title.c_str();
    v.origin = m.origin.c_str();
    v.originFontFactor = m.originFontFactor;
    v.fitOrigin = fitOrigin;
    v.warning = m.warning.c_str();
    v.confirmText = m.confirmText.c_str();
    v.cancelText = m.cancelText.c_str();
    v.description = m.description.c_str();
    return v;
}
