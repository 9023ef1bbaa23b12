// The Windows host's dialogs: plain Win32 dialogs built from resources 101
// (PIN entry) and 103 (certificate consent), owned by the foreground window.
// The dialog model computes every text and rule; the dialog procedures put
// the texts into the controls, apply the fonts and colours and read the PIN.
// Both dialogs drop input during their quiet second (see QuietPeriod).
// Nothing thrown crosses a dialog procedure or the message filter.
#include "dialogmanager.h"

#include "dialogmodel.h"
#include "errors.h"
#include "log.h"
#include "originline.h"
#include "quietperiod.h"
#include "resource.h"
#include "textcolour.h"
#include "utf.h"
#include "win32dialogs.h"

#include <windows.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Owns a font made for one control; released when the dialog's state ends,
// after the dialog window is gone.
class Font {
public:
    Font() = default;
    Font(const Font &) = delete;
    Font &operator=(const Font &) = delete;
    ~Font() { reset(nullptr); }
    void reset(HFONT font)
    {
        if (handle) DeleteObject(handle);
        handle = font;
    }
    HFONT get() const { return handle; }

private:
    HFONT handle = nullptr;
};

std::wstring wide(const std::string &utf8)
{
    const std::u16string text = utf8ToUtf16(utf8);
    return std::wstring(text.begin(), text.end());
}

void setText(HWND dialog, int id, const std::string &utf8)
{
    SetDlgItemTextW(dialog, id, wide(utf8).c_str());
}

// A copy of the control's font, bold or not, with its height multiplied by
// `factor` and truncated toward zero, set on the control with a redraw.
void setFont(HWND dialog, int id, Font &owner, bool bold, double factor)
{
    HWND control = GetDlgItem(dialog, id);
    HFONT current = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
    LOGFONTW description{};
    if (!current || !GetObjectW(current, sizeof description, &description)) return;
    if (bold) description.lfWeight = FW_BOLD;
    description.lfHeight = static_cast<LONG>(description.lfHeight * factor);
    owner.reset(CreateFontIndirectW(&description));
    if (owner.get()) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(owner.get()), TRUE);
}

// Default colours and brush, with a transparent text background and, for the
// given controls, red text dark enough to be read on the brush's colour, the
// background the dialog draws.
INT_PTR colourStatic(HWND dialog, WPARAM wParam, LPARAM lParam, bool red)
{
    const INT_PTR brush = static_cast<INT_PTR>(DefWindowProcW(dialog, WM_CTLCOLORSTATIC, wParam, lParam));
    HDC dc = reinterpret_cast<HDC>(wParam);
    SetBkMode(dc, TRANSPARENT);
    if (red) {
        LOGBRUSH background{};
        if (!GetObjectW(reinterpret_cast<HBRUSH>(brush), sizeof background, &background))
            background.lbColor = GetSysColor(COLOR_3DFACE);
        const COLORREF c = background.lbColor;
        const Rgb text = readableRed({GetRValue(c), GetGValue(c), GetBValue(c)});
        SetTextColor(dc, RGB(text.r, text.g, text.b));
    }
    return brush;
}

// The clock of the quiet second; empty: the steady clock.
QuietPeriod::Clock &quietClock()
{
    static QuietPeriod::Clock clock;
    return clock;
}

// The quiet second of one dialog. Its keys go to the focused control and are
// handled by the dialog manager (Enter, Tab) before the dialog procedure sees
// anything, so a message filter of the thread drops them on the way in.
struct InputGuard {
    QuietPeriod quiet{quietClock()};
    HWND dialog = nullptr;
    bool active = false;

    // Dialog procedure side: focus, visibility and the confirming command.
    // True when the message is dropped.
    bool dialogMessage(UINT message, WPARAM wParam)
    {
        if (message == WM_ACTIVATE) active = LOWORD(wParam) != WA_INACTIVE;
        if (message == WM_ACTIVATE || message == WM_WINDOWPOSCHANGED || message == WM_SHOWWINDOW)
            quiet.setFocused(active && IsWindowVisible(dialog));
        return message == WM_COMMAND && LOWORD(wParam) == IDOK && !quiet.mayConfirm();
    }

    // Message filter side: keys to the dialog and clicks on its OK button.
    bool drops(const MSG &msg)
    {
        if (!dialog || (msg.hwnd != dialog && !IsChild(dialog, msg.hwnd))) return false;
        switch (msg.message) {
        case WM_KEYDOWN:
        case WM_SYSKEYDOWN:
            return !quiet.keyPressed(msg.wParam == VK_ESCAPE);
        case WM_KEYUP:
        case WM_SYSKEYUP:
        case WM_CHAR:
        case WM_SYSCHAR:
            return msg.wParam != VK_ESCAPE && quiet.quiet();
        case WM_LBUTTONDOWN:
        case WM_LBUTTONUP:
        case WM_LBUTTONDBLCLK:
            return msg.hwnd == GetDlgItem(dialog, IDOK) && !quiet.mayConfirm();
        default:
            return false;
        }
    }
};

// The guard of the dialog this thread shows; set while it runs.
thread_local InputGuard *runningGuard = nullptr;

LRESULT CALLBACK quietFilter(int code, WPARAM wParam, LPARAM lParam)
{
    try {
        if (code == MSGF_DIALOGBOX && runningGuard
            && runningGuard->drops(*reinterpret_cast<const MSG *>(lParam)))
            return TRUE;
    } catch (...) {
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Installs the thread's message filter while a dialog runs.
class QuietFilter {
public:
    explicit QuietFilter(InputGuard &guard)
        : previous(runningGuard),
          hook(SetWindowsHookExW(WH_MSGFILTER, quietFilter, nullptr, GetCurrentThreadId()))
    {
        runningGuard = &guard;
    }
    QuietFilter(const QuietFilter &) = delete;
    QuietFilter &operator=(const QuietFilter &) = delete;
    ~QuietFilter()
    {
        if (hook) UnhookWindowsHookEx(hook);
        runningGuard = previous;
    }
    bool installed() const { return hook != nullptr; }

private:
    InputGuard *previous;
    HHOOK hook;
};

// A window's device context, released with it.
class WindowDC {
public:
    explicit WindowDC(HWND w) : window(w), dc(GetDC(w)) {}
    WindowDC(const WindowDC &) = delete;
    WindowDC &operator=(const WindowDC &) = delete;
    ~WindowDC()
    {
        if (dc) ReleaseDC(window, dc);
    }
    HDC get() const { return dc; }

private:
    HWND window;
    HDC dc;
};

// The origin line is drawn by the dialog (owner-drawn static): its window
// text, which screen readers read, stays the whole origin, while the line
// shows that text fitted to its width (originline.h), and an "&" in it is
// never taken for a mnemonic.
struct OriginLine {
    Font font;
    std::wstring shown;
};

void showOrigin(HWND dialog, OriginLine &line, const std::string &origin, double factor)
{
    HWND control = GetDlgItem(dialog, IDC_ORIGIN);
    line.shown = wide(origin);
    SetWindowTextW(control, line.shown.c_str());
    SetWindowLongPtrW(control, GWL_STYLE,
                      (GetWindowLongPtrW(control, GWL_STYLE) & ~SS_TYPEMASK) | SS_OWNERDRAW);
    HFONT current = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
    LOGFONTW description{};
    if (!current || !GetObjectW(current, sizeof description, &description)) return;
    description.lfWeight = FW_BOLD;
    // The height keeps its sign: negative heights are character heights.
    const int sign = description.lfHeight < 0 ? -1 : 1;
    const int base = std::abs(static_cast<int>(description.lfHeight));
    RECT client{};
    GetClientRect(control, &client);
    const WindowDC dc(control);
    const auto textWidth = [&](const std::string &text, int height) {
        const std::wstring w = wide(text);
        LOGFONTW measured = description;
        measured.lfHeight = sign * height;
        Font font;
        font.reset(CreateFontIndirectW(&measured));
        // Unmeasurable counts as too wide, so that the end stays on screen.
        if (!font.get() || !dc.get()) return INT_MAX;
        SIZE size{};
        HGDIOBJ old = SelectObject(dc.get(), font.get());
        const BOOL ok = GetTextExtentPoint32W(dc.get(), w.c_str(), static_cast<int>(w.size()), &size);
        SelectObject(dc.get(), old);
        return ok ? static_cast<int>(size.cx) : INT_MAX;
    };
    const originline::Fit fit = originline::fit(origin, client.right - client.left,
                                                static_cast<int>(base * factor), base, textWidth);
    line.shown = wide(fit.text);
    description.lfHeight = sign * fit.pixelHeight;
    line.font.reset(CreateFontIndirectW(&description));
    if (line.font.get())
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(line.font.get()), TRUE);
}

INT_PTR drawOrigin(HWND dialog, const DRAWITEMSTRUCT &item, const OriginLine &line)
{
    if (item.CtlID != IDC_ORIGIN) return FALSE;
    HBRUSH brush = reinterpret_cast<HBRUSH>(colourStatic(
        dialog, reinterpret_cast<WPARAM>(item.hDC), reinterpret_cast<LPARAM>(item.hwndItem), false));
    FillRect(item.hDC, &item.rcItem, brush);
    HGDIOBJ old = line.font.get() ? SelectObject(item.hDC, line.font.get()) : nullptr;
    RECT area = item.rcItem;
    DrawTextW(item.hDC, line.shown.c_str(), static_cast<int>(line.shown.size()), &area,
              DT_CENTER | DT_NOPREFIX);
    if (old) SelectObject(item.hDC, old);
    return TRUE;
}

struct PinDialogState {
    const PinDialogModel &model;
    InputGuard guard;
    SecureString pin;
    bool conversionFailed = false;
    OriginLine origin;
    Font warning, error, pinLabel, holderName;
};

// Reads the PIN field as UTF-16 and converts it to the ANSI code page into
// the result; every intermediate buffer is wiped.
bool readPin(HWND dialog, PinDialogState &state)
{
    HWND field = GetDlgItem(dialog, IDC_PIN_FIELD);
    const int length = GetWindowTextLengthW(field);
    std::vector<wchar_t> typed(static_cast<std::size_t>(length) + 1);
    const int got = GetWindowTextW(field, typed.data(), length + 1);
    bool ok = true;
    if (got > 0) {
        const int size = WideCharToMultiByte(CP_ACP, 0, typed.data(), got, nullptr, 0, nullptr, nullptr);
        std::vector<char> ansi(static_cast<std::size_t>(size > 0 ? size : 1));
        ok = size > 0
             && WideCharToMultiByte(CP_ACP, 0, typed.data(), got, ansi.data(), size, nullptr, nullptr) == size;
        if (ok) state.pin = SecureString(ansi.data(), static_cast<std::size_t>(size));
        SecureZeroMemory(ansi.data(), ansi.size());
    } else {
        state.pin = SecureString("", 0);
    }
    SecureZeroMemory(typed.data(), typed.size() * sizeof(wchar_t));
    SetWindowTextW(field, L"");
    return ok;
}

void initPinDialog(HWND dialog, PinDialogState &state)
{
    const PinDialogModel &m = state.model;
    SetWindowTextW(dialog, wide(m.title).c_str());
    showOrigin(dialog, state.origin, m.origin, m.originFontFactor);
    setText(dialog, IDC_WARNING, m.warning);
    setFont(dialog, IDC_WARNING, state.warning, true, 1.0);
    setText(dialog, IDC_HOLDER_NAME, m.holderName);
    setFont(dialog, IDC_HOLDER_NAME, state.holderName, true, 1.0);
    setText(dialog, IDC_PERSONAL_CODE, m.personalCode);
    setText(dialog, IDC_VALIDITY, m.validity);
    setText(dialog, IDC_ERROR, m.errorLine);
    setFont(dialog, IDC_ERROR, state.error, true, 1.0);
    if (!m.pinFieldEnabled) EnableWindow(GetDlgItem(dialog, IDC_PIN_FIELD), FALSE);
    setText(dialog, IDC_PIN_LABEL, m.pinLabel);
    setFont(dialog, IDC_PIN_LABEL, state.pinLabel, true, 1.0);
    setText(dialog, IDOK, m.okText);
    setText(dialog, IDCANCEL, m.cancelText);
    SetForegroundWindow(dialog);
}

INT_PTR CALLBACK pinDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *state = reinterpret_cast<PinDialogState *>(GetWindowLongPtrW(dialog, DWLP_USER));
    try {
        if (state && state->guard.dialogMessage(message, wParam)) return TRUE;
        switch (message) {
        case WM_INITDIALOG:
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            reinterpret_cast<PinDialogState *>(lParam)->guard.dialog = dialog;
            initPinDialog(dialog, *reinterpret_cast<PinDialogState *>(lParam));
            return TRUE; // focus on the first tab stop: the PIN field, or Cancel
        case WM_DRAWITEM:
            if (!state) return FALSE;
            return drawOrigin(dialog, *reinterpret_cast<const DRAWITEMSTRUCT *>(lParam), state->origin);
        case WM_CTLCOLORSTATIC: {
            if (!state) return FALSE;
            const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
            return colourStatic(dialog, wParam, lParam,
                                id == IDC_ERROR || (id == IDC_WARNING && state->model.warningRed));
        }
        case WM_COMMAND:
            if (!state) return FALSE;
            if (LOWORD(wParam) == IDC_PIN_FIELD && HIWORD(wParam) == EN_CHANGE) {
                const int length = GetWindowTextLengthW(GetDlgItem(dialog, IDC_PIN_FIELD));
                EnableWindow(GetDlgItem(dialog, IDOK),
                             state->model.okEnabled(static_cast<std::size_t>(length)));
                return TRUE;
            }
            if (LOWORD(wParam) == IDOK) {
                // Enter reaches here even while OK is disabled.
                if (!IsWindowEnabled(GetDlgItem(dialog, IDOK))) return TRUE;
                state->conversionFailed = !readPin(dialog, *state);
                EndDialog(dialog, state->conversionFailed ? IDABORT : IDOK);
                return TRUE;
            }
            if (LOWORD(wParam) == IDCANCEL) {
                SetDlgItemTextW(dialog, IDC_PIN_FIELD, L"");
                EndDialog(dialog, IDCANCEL);
                return TRUE;
            }
            return FALSE;
        }
    } catch (...) {
        EndDialog(dialog, -1);
        return TRUE;
    }
    return FALSE;
}

struct ConsentDialogState {
    const ConsentDialogModel &model;
    InputGuard guard;
    OriginLine origin;
    Font warning;
};

INT_PTR CALLBACK consentDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *running = reinterpret_cast<ConsentDialogState *>(GetWindowLongPtrW(dialog, DWLP_USER));
    try {
        if (running && running->guard.dialogMessage(message, wParam)) return TRUE;
        switch (message) {
        case WM_INITDIALOG: {
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            auto &state = *reinterpret_cast<ConsentDialogState *>(lParam);
            state.guard.dialog = dialog;
            SetWindowTextW(dialog, wide(state.model.title).c_str());
            showOrigin(dialog, state.origin, state.model.origin, state.model.originFontFactor);
            setText(dialog, IDC_WARNING, state.model.warning);
            setFont(dialog, IDC_WARNING, state.warning, false, 1.0);
            setText(dialog, IDOK, state.model.confirmText);
            setText(dialog, IDCANCEL, state.model.cancelText);
            SetForegroundWindow(dialog);
            return TRUE; // focus on the first tab stop: Confirm
        }
        case WM_DRAWITEM:
            if (!running) return FALSE;
            return drawOrigin(dialog, *reinterpret_cast<const DRAWITEMSTRUCT *>(lParam), running->origin);
        case WM_CTLCOLORSTATIC:
            return colourStatic(dialog, wParam, lParam, false);
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                EndDialog(dialog, LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        }
    } catch (...) {
        EndDialog(dialog, -1);
        return TRUE;
    }
    return FALSE;
}

// The dialog framework's start-up check before every dialog: the program's
// module and its dialog resources must be there.
HINSTANCE initializeMFC()
{
    HINSTANCE module = GetModuleHandleW(nullptr);
    if (!module) {
        writeLog("initializeMFC", __FILE__, __LINE__, "MFC initialization failed. Module handle is null");
        throw TechnicalException("MFC initialization failed. Module handle is null");
    }
    for (int id : {IDD_PIN_DIALOG, IDD_CERT_CONSENT_DIALOG}) {
        if (!FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5) /* RT_DIALOG */)) {
            writeLog("initializeMFC", __FILE__, __LINE__, "MFC initialization failed");
            throw TechnicalException("MFC initialization failed");
        }
    }
    return module;
}

[[noreturn]] void dialogFailed()
{
    writeLog("initializeMFC", __FILE__, __LINE__, "MFC initialization failed");
    throw TechnicalException("MFC initialization failed");
}

} // namespace

void setQuietPeriodClock(QuietPeriod::Clock clock) { quietClock() = std::move(clock); }

SecureString DialogManager::getPin(const std::string &origin, const std::string &holderName,
                                   const std::string &personalCode, const std::string &validTo,
                                   const std::string &pinName, int batchCount, bool isAuth,
                                   bool isJwt, int triesLeft, bool wrongPin, int minPinLength,
                                   int maxPinLength)
{
    QLOG("Showing pin entry dialog");
    HINSTANCE module = initializeMFC();
    HWND owner = GetForegroundWindow();
    QLOG("Parent window handle %i", static_cast<int>(reinterpret_cast<INT_PTR>(owner)));

    const PinDialogModel model({origin, holderName, personalCode, validTo, pinName, batchCount,
                                isAuth, isJwt, triesLeft, wrongPin, minPinLength, maxPinLength},
                               std::time(nullptr));
    PinDialogState state{model, {}, SecureString(), false, {}, {}, {}, {}, {}};
    const QuietFilter filter(state.guard);
    if (!filter.installed()) dialogFailed();
    const INT_PTR result = DialogBoxParamW(module, MAKEINTRESOURCEW(IDD_PIN_DIALOG), owner,
                                           pinDialogProc, reinterpret_cast<LPARAM>(&state));
    if (result == -1) dialogFailed();
    if (result == IDABORT) throw std::runtime_error("PIN conversion to the ANSI code page failed");
    if (result != IDOK || state.pin.isNull()) {
        QLOG("User cancelled");
        throw UserCancelledException();
    }
    return std::move(state.pin);
}

bool DialogManager::getCertificateConsent(const std::string &origin)
{
    QLOG("Showing cert consent dialog");
    HINSTANCE module = initializeMFC();
    HWND owner = GetForegroundWindow();
    QLOG("Parent window handle %i", static_cast<int>(reinterpret_cast<INT_PTR>(owner)));

    const ConsentDialogModel model(origin);
    ConsentDialogState state{model, {}, {}, {}};
    const QuietFilter filter(state.guard);
    if (!filter.installed()) dialogFailed();
    const INT_PTR result = DialogBoxParamW(module, MAKEINTRESOURCEW(IDD_CERT_CONSENT_DIALOG), owner,
                                           consentDialogProc, reinterpret_cast<LPARAM>(&state));
    if (result == -1) dialogFailed();
    return result == IDOK;
}
