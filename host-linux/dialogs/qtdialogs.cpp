// Qt Widgets dialogs of the Linux host: controls, fonts, colours, tab order
// and the PIN field's rules, rendered from the views the host passes in.
#include "qtdialogs.h"

#include "textcolour.h"

#include <QAccessible>
#include <QApplication>
#include <QFontInfo>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QShowEvent>
#include <QTextLayout>
#include <QTimer>

#include <cmath>
#include <cstring>
#include <memory>
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

QLabel *label(QLabel *l, const char *name, const char *text, Qt::Alignment alignment, QRect rect)
{
    l->setObjectName(QString::fromLatin1(name));
    // Origins and names come from outside: never interpret them as rich text.
    l->setTextFormat(Qt::PlainText);
    l->setText(QString::fromUtf8(text));
    l->setAlignment(alignment);
    l->setGeometry(rect);
    l->setFocusPolicy(Qt::NoFocus);
    return l;
}

QLabel *label(QWidget *parent, const char *name, const char *text,
              Qt::Alignment alignment, QRect rect)
{
    return label(new QLabel(parent), name, text, alignment, rect);
}

// A plain-text label that wraps at word boundaries and, where one word is
// wider than the label, inside the word, so that no text runs out of the
// dialog; beyond three lines the rest is elided (a holder name from a
// certificate can be any length). Its text, and with it its accessible name,
// stays whole.
class WrappingLabel : public QLabel {
public:
    using QLabel::QLabel;

    int heightForWidth(int width) const override
    {
        return static_cast<int>(shownLines(width).size()) * QFontMetrics(font()).lineSpacing();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setPen(palette().color(foregroundRole()));
        const int lineHeight = QFontMetrics(font()).lineSpacing();
        int y = 0;
        for (const QString &line : shownLines(width())) {
            painter.drawText(QRect(0, y, width(), lineHeight), static_cast<int>(alignment()), line);
            y += lineHeight;
        }
    }

private:
    QStringList shownLines(int width) const
    {
        const int maxLines = 3;
        const QString all = text();
        QTextLayout layout(all, font());
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(option);
        QStringList lines;
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            if (lines.size() == maxLines - 1) {
                lines << QFontMetrics(font()).elidedText(all.mid(line.textStart()), Qt::ElideRight, width);
                break;
            }
            lines << all.mid(line.textStart(), line.textLength());
        }
        layout.endLayout();
        return lines;
    }
};

// Red, but dark enough to be read against the dialog's own background.
void setRed(QLabel *l)
{
    const QColor background = l->window()->palette().color(QPalette::Window);
    const Rgb red = readableRed({background.red(), background.green(), background.blue()});
    QPalette palette = l->palette();
    palette.setColor(QPalette::WindowText, QColor(red.r, red.g, red.b));
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

// The template gives the warning four lines and the other texts one, in the
// Windows dialog font; fonts on Linux are often wider, and a text or a holder
// name may be longer, so a label that needs more lines grows, with the dialog,
// and the controls below it move down, rather than cutting text off.
void makeRoomFor(QDialog *dialog, QLabel *label)
{
    label->setWordWrap(true);
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

// Qt's line edit puts the characters typed into a password field into its
// text change events, and its bridge hands them on to screen readers; the PIN
// must never leave the dialog that way. This handler, in front of the bridge,
// puts one '*' in place of each character, as the field shows them.
QAccessible::UpdateHandler nextUpdateHandler = nullptr;

void hidePasswordText(QAccessibleEvent *event)
{
    const QAccessible::Event type = event->type();
    const bool textChange = type == QAccessible::TextInserted || type == QAccessible::TextRemoved
                            || type == QAccessible::TextUpdated;
    QAccessibleInterface *iface = textChange ? event->accessibleInterface() : nullptr;
    std::unique_ptr<QAccessibleEvent> masked;
    if (iface && iface->state().passwordEdit) {
        auto stars = [](const QString &text) { return QString(text.size(), QLatin1Char('*')); };
        if (type == QAccessible::TextInserted) {
            const auto *e = static_cast<QAccessibleTextInsertEvent *>(event);
            masked.reset(new QAccessibleTextInsertEvent(iface, e->changePosition(), stars(e->textInserted())));
        } else if (type == QAccessible::TextRemoved) {
            const auto *e = static_cast<QAccessibleTextRemoveEvent *>(event);
            masked.reset(new QAccessibleTextRemoveEvent(iface, e->changePosition(), stars(e->textRemoved())));
        } else {
            const auto *e = static_cast<QAccessibleTextUpdateEvent *>(event);
            masked.reset(new QAccessibleTextUpdateEvent(iface, e->changePosition(), stars(e->textRemoved()),
                                                        stars(e->textInserted())));
        }
    }
    QAccessibleEvent *passed = masked ? masked.get() : event;
    if (nextUpdateHandler) return nextUpdateHandler(passed);
    // Without a handler Qt hands events to the platform's bridge.
    QAccessible::installUpdateHandler(nullptr);
    QAccessible::updateAccessibility(passed);
    QAccessible::installUpdateHandler(hidePasswordText);
}

void hidePasswordTextFromScreenReaders()
{
    const QAccessible::UpdateHandler previous = QAccessible::installUpdateHandler(hidePasswordText);
    if (previous != hidePasswordText) nextUpdateHandler = previous;
}

} // namespace

GuardedDialog::GuardedDialog(const QuietPeriod::Clock &clock, QWidget *parent)
    : QDialog(parent), quietPeriod(clock)
{
    // Keys go to the focused control, clicks to the button: watch them all.
    qApp->installEventFilter(this);
}

GuardedDialog::~GuardedDialog() { qApp->removeEventFilter(this); }

bool GuardedDialog::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type != QEvent::KeyPress && type != QEvent::KeyRelease && type != QEvent::InputMethod
        && type != QEvent::MouseButtonPress && type != QEvent::MouseButtonRelease
        && type != QEvent::MouseButtonDblClick)
        return false;
    auto *widget = qobject_cast<QWidget *>(watched);
    if (!widget || (widget != this && !isAncestorOf(widget))) return false;
    switch (type) {
    case QEvent::KeyPress:
        return !quietPeriod.keyPressed(static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape);
    case QEvent::KeyRelease:
        return static_cast<QKeyEvent *>(event)->key() != Qt::Key_Escape && quietPeriod.quiet();
    case QEvent::InputMethod:
        return quietPeriod.quiet();
    default: // a mouse button
        return widget == confirmButton && !quietPeriod.mayConfirm();
    }
}

void GuardedDialog::changeEvent(QEvent *event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::ActivationChange) updateFocus();
}

void GuardedDialog::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    bringToFront(this);
    updateFocus();
}

void GuardedDialog::hideEvent(QHideEvent *event)
{
    QDialog::hideEvent(event);
    updateFocus();
}

void GuardedDialog::updateFocus()
{
    const bool focused = isVisible() && isActiveWindow();
    if (focused == quietPeriod.focused()) return;
    quietPeriod.setFocused(focused);
    if (focused) focusGained();
}

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

PinDialog::PinDialog(const QuorvantaPinView &v, QWidget *parent, const QuietPeriod::Clock &clock)
    : GuardedDialog(clock, parent), view(v)
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
    hidePasswordTextFromScreenReaders();

    confirmButton = button(this, "okButton", view.okText, du.rect(96, 118, 92, 14));
    confirmButton->setDefault(true);
    confirmButton->setEnabled(false);
    QPushButton *cancelButton = button(this, "cancelButton", view.cancelText, du.rect(196, 118, 50, 14));

    QLabel *pinLabel = label(this, "pinLabel", view.pinLabel, Qt::AlignRight | Qt::AlignTop,
                             du.rect(9, 101, 82, 11));
    QLabel *origin = label(this, "originLabel", view.origin, Qt::AlignHCenter | Qt::AlignTop,
                           du.rect(8, 7, 238, 16));
    QLabel *warning = label(this, "warningLabel", view.warning, Qt::AlignHCenter | Qt::AlignTop,
                            du.rect(8, 26, 238, 32));
    warning->setWordWrap(true);
    QLabel *holder = label(new WrappingLabel(this), "holderNameLabel", view.holderName,
                           Qt::AlignLeft | Qt::AlignTop, du.rect(8, 61, 237, 8));
    errorLabel = label(this, "errorLabel", view.errorLine, Qt::AlignLeft | Qt::AlignTop,
                       du.rect(7, 90, 238, 8));
    QLabel *personalCode = label(this, "personalCodeLabel", view.personalCode,
                                 Qt::AlignLeft | Qt::AlignTop, du.rect(8, 71, 237, 8));
    QLabel *validity = label(this, "validityLabel", view.validity, Qt::AlignLeft | Qt::AlignTop,
                             du.rect(8, 80, 237, 8));

    setOriginLine(origin, view.origin, view.originFontFactor, view.fitOrigin);
    setBoldFont(warning, 1.0);
    setBoldFont(errorLabel, 1.0);
    setBoldFont(pinLabel, 1.0);
    setBoldFont(holder, 1.0);
    if (view.warningRed) setRed(warning);
    setRed(errorLabel);
    for (QLabel *l : {warning, holder, personalCode, validity, errorLabel}) makeRoomFor(this, l);

    // Screen readers name the field by its label and read the descriptions.
    pinLabel->setBuddy(pinField);
    setAccessibleDescription(QString::fromUtf8(view.description));
    pinField->setAccessibleDescription(QString::fromUtf8(view.pinFieldDescription));

    setTabOrder(pinField, confirmButton);
    setTabOrder(confirmButton, cancelButton);

    connect(pinField, &QLineEdit::textChanged, this, [this] { pinChanged(); });
    connect(confirmButton, &QPushButton::clicked, this, [this] { confirm(); });
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);

    if (pinField->isEnabled())
        pinField->setFocus();
    else
        cancelButton->setFocus();
}

PinDialog::~PinDialog() { wipePinField(); }

void PinDialog::focusGained()
{
    if (errorAnnounced || errorLabel->text().isEmpty()) return;
    errorAnnounced = true;
    // Once the focus has reached the PIN field, tell the screen reader that
    // the field's description (the error line) is new, so that it reads it
    // at once rather than when the user goes looking.
    QTimer::singleShot(0, this, [this] {
        QAccessibleEvent changed(pinField, QAccessible::DescriptionChanged);
        QAccessible::updateAccessibility(&changed);
    });
}

void PinDialog::pinChanged()
{
    // QString::size counts UTF-16 units.
    const std::size_t length = static_cast<std::size_t>(pinField->text().size());
    confirmButton->setEnabled(view.okEnabled && view.okEnabled(view.okEnabledContext, length));
}

void PinDialog::confirm()
{
    if (!confirmButton->isEnabled() || !mayConfirm()) return;
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

CertificateConsentDialog::CertificateConsentDialog(const QuorvantaConsentView &view,
                                                   QWidget *parent,
                                                   const QuietPeriod::Clock &clock)
    : GuardedDialog(clock, parent)
{
    const QFont font = dialogFont();
    setFont(font);
    const DialogUnits du(font);
    prepareWindow(this, du, view.title, 253, 85);

    confirmButton = button(this, "confirmButton", view.confirmText, du.rect(51, 64, 92, 14));
    confirmButton->setDefault(true);
    QPushButton *cancelButton = button(this, "cancelButton", view.cancelText, du.rect(151, 64, 50, 14));
    QLabel *origin = label(this, "originLabel", view.origin, Qt::AlignHCenter | Qt::AlignTop,
                           du.rect(8, 7, 238, 16));
    QLabel *warning = label(this, "warningLabel", view.warning, Qt::AlignHCenter | Qt::AlignTop,
                            du.rect(8, 26, 238, 32));
    warning->setWordWrap(true);
    setOriginLine(origin, view.origin, view.originFontFactor, view.fitOrigin);
    makeRoomFor(this, warning);
    setAccessibleDescription(QString::fromUtf8(view.description));

    setTabOrder(confirmButton, cancelButton);
    connect(confirmButton, &QPushButton::clicked, this, [this] {
        if (mayConfirm()) accept();
    });
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    confirmButton->setFocus();
}

} // namespace quorvanta
