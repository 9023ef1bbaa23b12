// Qt Widgets dialogs of the Linux host: controls, fonts, colours, tab order
// and the PIN field's rules, rendered from the views the host passes in.
#include "qtdialogs.h"

#include <QFontInfo>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QShowEvent>

#include <cmath>
#include <cstring>
#include <vector>

namespace quorvanta {

namespace {

// The dialog resources use "MS Shell Dlg" at 8 points; fontconfig picks the
// system's sans-serif face for it.
QFont dialogFont()
{
    QFont font(QStringLiteral("MS Shell Dlg"), 8);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

// Converts dialog units to pixels the way Windows does: a horizontal unit is a
// quarter of the font's average character width, a vertical one an eighth of
// its height.
class DialogUnits {
public:
    explicit DialogUnits(const QFont &font)
    {
        const QFontMetrics metrics(font);
        const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
        baseX = (metrics.horizontalAdvance(letters) / 26 + 1) / 2;
        baseY = metrics.height();
    }
    QRect rect(int x, int y, int w, int h) const
    {
        return QRect(x * baseX / 4, y * baseY / 8, w * baseX / 4, h * baseY / 8);
    }

private:
    int baseX = 6;
    int baseY = 13;
};

QLabel *label(QWidget *parent, const char *name, const char *text,
              Qt::Alignment alignment, QRect rect)
{
    auto *l = new QLabel(parent);
    l->setObjectName(QString::fromLatin1(name));
    // Origins and names come from outside: never interpret them as rich text.
    l->setTextFormat(Qt::PlainText);
    l->setText(QString::fromUtf8(text));
    l->setAlignment(alignment);
    l->setGeometry(rect);
    l->setFocusPolicy(Qt::NoFocus);
    return l;
}

void setRed(QLabel *l)
{
    QPalette palette = l->palette();
    palette.setColor(QPalette::WindowText, QColor(255, 0, 0));
    l->setPalette(palette);
}

QPushButton *button(QWidget *parent, const char *name, const char *text, QRect rect)
{
    auto *b = new QPushButton(QString::fromUtf8(text), parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setGeometry(rect);
    // As in Windows dialogs, a focused push button takes Enter for itself.
    b->setAutoDefault(true);
    return b;
}

void prepareWindow(QDialog *dialog, const DialogUnits &du, const char *title, int w, int h)
{
    dialog->setWindowTitle(QString::fromUtf8(title));
    dialog->setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                           | Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
    dialog->setModal(true);
    dialog->setFixedSize(du.rect(0, 0, w, h).size());
}

// The warning has room for four lines of the Windows dialog font; fonts on
// Linux are often wider, so when the text needs more lines the label and the
// dialog grow and the controls below move down, rather than cutting text off.
void makeRoomFor(QDialog *dialog, QLabel *label)
{
    const int needed = label->heightForWidth(label->width());
    const int extra = needed - label->height();
    if (extra <= 0) return;
    const int bottom = label->geometry().bottom();
    label->resize(label->width(), needed);
    for (QWidget *widget : dialog->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
        if (widget != label && widget->geometry().top() > bottom) widget->move(widget->x(), widget->y() + extra);
    dialog->setFixedSize(dialog->width(), dialog->height() + extra);
}

// The browser is in front when a request arrives; the dialog must come over it.
void bringToFront(QDialog *dialog)
{
    dialog->raise();
    dialog->activateWindow();
}

} // namespace

void setBoldFont(QLabel *l, double factor)
{
    QFont font = l->font();
    const int height = QFontInfo(font).pixelSize();
    font.setWeight(QFont::Bold);
    font.setPixelSize(static_cast<int>(height * factor));
    l->setFont(font);
}

void setOriginLine(QLabel *l, const char *origin, double factor, QuorvantaFitOrigin fitOrigin)
{
    // Screen readers get the whole origin, whatever the line shows.
    l->setAccessibleName(QString::fromUtf8(origin));
    QFont font = l->font();
    const int base = QFontInfo(font).pixelSize();
    font.setWeight(QFont::Bold);
    int height = static_cast<int>(base * factor);
    if (fitOrigin) {
        const auto textWidth = [](void *context, const char *text, int pixelHeight) {
            QFont measured = *static_cast<const QFont *>(context);
            measured.setPixelSize(pixelHeight);
            return static_cast<int>(
                std::ceil(QFontMetricsF(measured).horizontalAdvance(QString::fromUtf8(text))));
        };
        std::vector<char> text(std::strlen(origin) + 8);
        const int fitted = fitOrigin(origin, l->contentsRect().width(), height, base, textWidth,
                                     &font, text.data(), text.size());
        if (fitted > 0) {
            height = fitted;
            l->setText(QString::fromUtf8(text.data()));
        }
    }
    font.setPixelSize(height);
    l->setFont(font);
}

void wipe(QString &text)
{
    if (text.isEmpty()) return;
    volatile ushort *p = reinterpret_cast<volatile ushort *>(const_cast<QChar *>(text.constData()));
    for (qsizetype i = 0; i < text.size(); ++i) p[i] = 0;
    text = QString();
}

PinDialog::PinDialog(const QuorvantaPinView &v, QWidget *parent) : QDialog(parent), view(v)
{
    const QFont font = dialogFont();
    setFont(font);
    const DialogUnits du(font);
    prepareWindow(this, du, view.title, 253, 139);

    pinField = new QLineEdit(this);
    pinField->setObjectName(QStringLiteral("pinField"));
    pinField->setGeometry(du.rect(97, 100, 149, 12));
    pinField->setEchoMode(QLineEdit::Password);
    // Digits only, of any length: an integer validator would cap the length.
    pinField->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9]*")), pinField));
    pinField->setEnabled(view.pinFieldEnabled != 0);

    okButton = button(this, "okButton", view.okText, du.rect(96, 118, 92, 14));
    okButton->setDefault(true);
    okButton->setEnabled(false);
    QPushButton *cancelButton = button(this, "cancelButton", view.cancelText, du.rect(196, 118, 50, 14));

    QLabel *pinLabel = label(this, "pinLabel", view.pinLabel, Qt::AlignRight | Qt::AlignTop,
                             du.rect(9, 101, 82, 11));
    QLabel *origin = label(this, "originLabel", view.origin, Qt::AlignHCenter | Qt::AlignTop,
                           du.rect(8, 7, 238, 16));
    QLabel *warning = label(this, "warningLabel", view.warning, Qt::AlignHCenter | Qt::AlignTop,
                            du.rect(8, 26, 238, 32));
    warning->setWordWrap(true);
    QLabel *holder = label(this, "holderNameLabel", view.holderName, Qt::AlignLeft | Qt::AlignTop,
                           du.rect(8, 61, 237, 8));
    QLabel *error = label(this, "errorLabel", view.errorLine, Qt::AlignLeft | Qt::AlignTop,
                          du.rect(7, 90, 238, 8));
    label(this, "personalCodeLabel", view.personalCode, Qt::AlignLeft | Qt::AlignTop,
          du.rect(8, 71, 237, 8));
    label(this, "validityLabel", view.validity, Qt::AlignLeft | Qt::AlignTop,
          du.rect(8, 80, 237, 8));

    setOriginLine(origin, view.origin, view.originFontFactor, view.fitOrigin);
    setBoldFont(warning, 1.0);
    setBoldFont(error, 1.0);
    setBoldFont(pinLabel, 1.0);
    setBoldFont(holder, 1.0);
    if (view.warningRed) setRed(warning);
    setRed(error);
    makeRoomFor(this, warning);

    setTabOrder(pinField, okButton);
    setTabOrder(okButton, cancelButton);

    connect(pinField, &QLineEdit::textChanged, this, [this] { pinChanged(); });
    connect(okButton, &QPushButton::clicked, this, [this] { confirm(); });
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);

    if (pinField->isEnabled())
        pinField->setFocus();
    else
        cancelButton->setFocus();
}

PinDialog::~PinDialog() { wipePinField(); }

void PinDialog::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    bringToFront(this);
}

void PinDialog::pinChanged()
{
    // QString::size counts UTF-16 units.
    const std::size_t length = static_cast<std::size_t>(pinField->text().size());
    okButton->setEnabled(view.okEnabled && view.okEnabled(view.okEnabledContext, length));
}

void PinDialog::confirm()
{
    if (!okButton->isEnabled()) return;
    QString text = pinField->text();
    QByteArray utf8 = text.toUtf8();
    if (view.acceptPin) view.acceptPin(view.acceptPinContext, utf8.constData(), utf8.size());
    volatile char *p = utf8.data();
    for (qsizetype i = 0; i < utf8.size(); ++i) p[i] = 0;
    wipe(text);
    accept();
}

void PinDialog::done(int result)
{
    wipePinField();
    QDialog::done(result);
}

void PinDialog::wipePinField()
{
    QString text = pinField->text();
    wipe(text);
    pinField->clear();
}

CertificateConsentDialog::CertificateConsentDialog(const QuorvantaConsentView &view, QWidget *parent)
    : QDialog(parent)
{
    const QFont font = dialogFont();
    setFont(font);
    const DialogUnits du(font);
    prepareWindow(this, du, view.title, 253, 85);

    QPushButton *confirmButton = button(this, "confirmButton", view.confirmText, du.rect(51, 64, 92, 14));
    confirmButton->setDefault(true);
    QPushButton *cancelButton = button(this, "cancelButton", view.cancelText, du.rect(151, 64, 50, 14));
    QLabel *origin = label(this, "originLabel", view.origin, Qt::AlignHCenter | Qt::AlignTop,
                           du.rect(8, 7, 238, 16));
    QLabel *warning = label(this, "warningLabel", view.warning, Qt::AlignHCenter | Qt::AlignTop,
                            du.rect(8, 26, 238, 32));
    warning->setWordWrap(true);
    setOriginLine(origin, view.origin, view.originFontFactor, view.fitOrigin);
    makeRoomFor(this, warning);

    setTabOrder(confirmButton, cancelButton);
    connect(confirmButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    confirmButton->setFocus();
}

void CertificateConsentDialog::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    bringToFront(this);
}

} // namespace quorvanta
