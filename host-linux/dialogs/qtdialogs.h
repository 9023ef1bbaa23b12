// The Qt Widgets versions of the PIN dialog and the certificate consent
// dialog. They lay out the controls of dialog resources 101 and 103 at the
// same places (dialog units converted with the dialog font's metrics) and show
// what the host's dialog model computed.
#pragma once

#include "dialogabi.h"
#include "quietperiod.h"

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace quorvanta {

// Makes a bold copy of the label's font with its pixel height multiplied by
// `factor` (truncated) and sets it on the label.
void setBoldFont(QLabel *label, double factor);

// The origin line: `origin` as fitOrigin fits it into the label, in a bold
// font whose height starts at the dialog font's times `factor`. The label's
// accessible name is the whole origin.
void setOriginLine(QLabel *label, const char *origin, double factor, QuorvantaFitOrigin fitOrigin);

// Overwrites a string's characters in place; a QString obtained from a
// control shares the control's buffer, so this wipes that buffer as well.
void wipe(QString &text);

// What both dialogs share: they come to the front when shown, and they drop
// input during their quiet second (see QuietPeriod): keys but Escape, and
// clicks on the confirming button.
class GuardedDialog : public QDialog {
public:
    // `clock` is for tests; the dialogs use the steady clock.
    GuardedDialog(const QuietPeriod::Clock &clock, QWidget *parent);
    ~GuardedDialog() override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void changeEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    // Called each time the dialog gets the focus.
    virtual void focusGained() {}

    bool mayConfirm() const { return quietPeriod.mayConfirm(); }
    QPushButton *confirmButton = nullptr;

private:
    void updateFocus();

    QuietPeriod quietPeriod;
};

class PinDialog : public GuardedDialog {
public:
    PinDialog(const QuorvantaPinView &view, QWidget *parent = nullptr,
              const QuietPeriod::Clock &clock = {});
    ~PinDialog() override;

    void done(int result) override;

protected:
    void focusGained() override;

private:
    void pinChanged();
    void confirm();
    void wipePinField();

    const QuorvantaPinView &view;
    QLineEdit *pinField;
    QLabel *errorLabel;
    bool errorAnnounced = false;
};

class CertificateConsentDialog : public GuardedDialog {
public:
    CertificateConsentDialog(const QuorvantaConsentView &view, QWidget *parent = nullptr,
                             const QuietPeriod::Clock &clock = {});
};

} // namespace quorvanta
