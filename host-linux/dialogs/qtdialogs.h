// The Qt Widgets versions of the PIN dialog and the certificate consent
// dialog. They lay out the controls of dialog resources 101 and 103 at the
// same places (dialog units converted with the dialog font's metrics) and show
// what the host's dialog model computed.
#pragma once

#include "dialogabi.h"

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

class PinDialog : public QDialog {
public:
    PinDialog(const QuorvantaPinView &view, QWidget *parent = nullptr);
    ~PinDialog() override;

    void done(int result) override;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void pinChanged();
    void confirm();
    void wipePinField();

    const QuorvantaPinView &view;
    QLineEdit *pinField;
    QPushButton *okButton;
};

class CertificateConsentDialog : public QDialog {
public:
    CertificateConsentDialog(const QuorvantaConsentView &view, QWidget *parent = nullptr);

protected:
    void showEvent(QShowEvent *event) override;
};

} // namespace quorvanta
