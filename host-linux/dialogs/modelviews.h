// Fills the C views of the Qt dialog library from the portable dialog models.
// The views point into the models, which must outlive them.
#pragma once

#include "dialogabi.h"
#include "dialogmodel.h"

inline QuorvantaPinView pinView(const PinDialogModel &m)
{
    QuorvantaPinView v{};
    v.title = m.title.c_str();
    v.origin = m.origin.c_str();
    v.originFontFactor = m.originFontFactor;
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
    v.warning = m.warning.c_str();
    v.confirmText = m.confirmText.c_str();
    v.cancelText = m.cancelText.c_str();
    v.description = m.description.c_str();
    return v;
}
