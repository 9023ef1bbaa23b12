// The Win32 dialogs, driven from a second thread as a person would: find the
// dialog, read its controls, type into the PIN field (EN_CHANGE), press the
// buttons or keys, and check what DialogManager returns; the quiet second,
// the PIN field's name through MSAA and the red lines' contrast on screen.
// Also saves a picture of each dialog in each language (BMP; the runner
// script makes PNGs).
#include "dialogmanager.h"
#include "errors.h"
#include "resource.h"
#include "textcatalogue.h"
#include "textcolour.h"
#include "utf.h"
#include "win32dialogs.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <oleacc.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

// The dialogs' quiet second runs on a clock that moves only when a test
// moves it.
std::atomic<long long> fakeNow{0};

std::string utf8(const std::wstring &text)
{
    return utf16ToUtf8(std::u16string(text.begin(), text.end()));
}

std::string controlText(HWND dialog, int id)
{
    wchar_t buffer[1024] = {};
    GetDlgItemTextW(dialog, id, buffer, 1024);
    return utf8(buffer);
}

std::string windowText(HWND window)
{
    wchar_t buffer[256] = {};
    GetWindowTextW(window, buffer, 256);
    return utf8(buffer);
}

LOGFONTW fontOf(HWND window)
{
    LOGFONTW font{};
    HFONT handle = reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0));
    GetObjectW(handle, sizeof font, &font);
    return font;
}

bool isRed(COLORREF c) { return GetRValue(c) > 2 * std::max(GetGValue(c), GetBValue(c)) + 40; }

// Asks the dialog how it colours a static control, as painting would.
bool drawnRed(HWND dialog, int id)
{
    HDC dc = CreateCompatibleDC(nullptr);
    SetTextColor(dc, RGB(0, 0, 0));
    SendMessageW(dialog, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
    const bool red = isRed(GetTextColor(dc));
    const bool transparent = GetBkMode(dc) == TRANSPARENT;
    DeleteDC(dc);
    EXPECT_TRUE(transparent) << "control " << id;
    return red;
}

bool enabled(HWND dialog, int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }

// Waits until the dialog's thread has handled every message posted to it so
// far: posts a numbered marker behind them and waits until the dialog's
// message loop has passed it through the thread's message filters, the last
// of which is this one (installed by the test fixture).
std::atomic<LPARAM> markerSeen{0};
const UINT marker = WM_APP + 21;

LRESULT CALLBACK seeMarker(int code, WPARAM wParam, LPARAM lParam)
{
    const MSG *msg = reinterpret_cast<const MSG *>(lParam);
    if (code == MSGF_DIALOGBOX && msg->message == marker) markerSeen = msg->lParam;
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

void settle(HWND dialog)
{
    static LPARAM number = 0;
    PostMessageW(dialog, marker, 0, ++number);
    for (int i = 0; i < 3000 && markerSeen != number; ++i) Sleep(10);
    EXPECT_EQ(markerSeen, number) << "the dialog handles no messages";
}

// Waits until the dialog is on screen and active, as its quiet second needs.
void waitForFocus(HWND dialog)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    for (int i = 0; i < 3000; ++i) {
        GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info);
        if (IsWindowVisible(dialog) && info.hwndActive == dialog) return settle(dialog);
        Sleep(10);
    }
    ADD_FAILURE() << "the dialog never got the focus";
}

void passQuietSecond(HWND dialog)
{
    waitForFocus(dialog);
    fakeNow += 1000;
}

// The contrast of a control's red text against its background, from the
// screen: the most frequent colour is the background, the most frequent
// clearly red one the text. 0 while the control is not painted yet.
double redContrastOnScreen(HWND control)
{
    RECT r;
    GetWindowRect(control, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    std::map<COLORREF, int> counts;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) ++counts[GetPixel(screen, r.left + x, r.top + y)];
    ReleaseDC(nullptr, screen);
    COLORREF background = 0, red = 0;
    int most = 0, mostRed = 0;
    for (const auto &c : counts) {
        if (c.second > most) most = c.second, background = c.first;
        if (isRed(c.first) && c.second > mostRed) mostRed = c.second, red = c.first;
    }
    if (!mostRed) return 0;
    const Rgb text{GetRValue(red), GetGValue(red), GetBValue(red)};
    const Rgb around{GetRValue(background), GetGValue(background), GetBValue(background)};
    std::printf("red text (%d, %d, %d) on (%d, %d, %d): contrast %.2f:1\n", text.r, text.g, text.b,
                around.r, around.g, around.b, contrastRatio(text, around));
    return contrastRatio(text, around);
}

// Saves the dialog's window, as shown on the screen, as a 24-bit BMP.
void savePicture(HWND dialog, const std::string &path)
{
    RECT r;
    GetWindowRect(dialog, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
    HGDIOBJ old = SelectObject(memory, bitmap);
    // Copies what is on the screen: the dialog is on top of everything there.
    BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    SelectObject(memory, old);

    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = w;
    info.biHeight = h;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    const int stride = (w * 3 + 3) & ~3;
    std::vector<unsigned char> pixels(static_cast<std::size_t>(stride) * h);
    GetDIBits(memory, bitmap, 0, h, pixels.data(), reinterpret_cast<BITMAPINFO *>(&info), DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);

    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
    if (FILE *out = std::fopen(path.c_str(), "wb")) {
        std::fwrite(&file, sizeof file, 1, out);
        std::fwrite(&info, sizeof info, 1, out);
        std::fwrite(pixels.data(), 1, pixels.size(), out);
        std::fclose(out);
    }
}

// Runs `act` on a helper thread once the dialog of this thread is up and,
// unless `quiet`, past its quiet second.
class DialogDriver {
public:
    explicit DialogDriver(std::function<void(HWND)> act, bool quiet = false)
        : owner(GetCurrentThreadId()), helper([this, act, quiet] {
              HWND dialog = waitForDialog();
              if (!dialog) {
                  ADD_FAILURE() << "no dialog appeared";
                  return;
              }
              if (!quiet) passQuietSecond(dialog);
              act(dialog);
          })
    {
    }
    ~DialogDriver() { helper.join(); }

private:
    HWND waitForDialog()
    {
        for (int i = 0; i < 500; ++i) {
            HWND found = nullptr;
            EnumThreadWindows(owner, findDialog,
                reinterpret_cast<LPARAM>(&found));
            if (found) return found;
            Sleep(20);
        }
        return nullptr;
    }

    static BOOL CALLBACK findDialog(HWND window, LPARAM result)
    {
        wchar_t cls[16] = {};
        GetClassNameW(window, cls, 16);
        if (std::wstring(cls) == L"#32770" && IsWindowVisible(window)) {
            *reinterpret_cast<HWND *>(result) = window;
            return FALSE;
        }
        return TRUE;
    }

    DWORD owner;
    std::thread helper;
};

void press(HWND dialog, int id) { SendMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

void key(HWND window, WPARAM vk)
{
    PostMessageW(window, WM_KEYDOWN, vk, 0);
    PostMessageW(window, WM_KEYUP, vk, 0xC0000000);
}

// The name MSAA gives the control, as a screen reader asks for it.
std::string accessibleName(HWND control)
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IAccessible *object = nullptr;
    const HRESULT hr = AccessibleObjectFromWindow(control, OBJID_CLIENT, __uuidof(IAccessible),
                                                  reinterpret_cast<void **>(&object));
    if (FAILED(hr)) {
        char text[64];
        std::snprintf(text, sizeof text, "(no IAccessible: 0x%08lx)", static_cast<unsigned long>(hr));
        return text;
    }
    VARIANT self;
    VariantInit(&self);
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    BSTR name = nullptr;
    const std::string result = object->get_accName(self, &name) == S_OK && name ? utf8(name) : "";
    SysFreeString(name);
    object->Release();
    CoUninitialize();
    return result;
}

HWND focusOf(HWND dialog)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info);
    return info.hwndFocus;
}

class Win32DialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TextCatalogue::setLanguage("en");
        setQuietPeriodClock([] { return std::chrono::milliseconds(fakeNow.load()); });
        markerFilter = SetWindowsHookExW(WH_MSGFILTER, seeMarker, nullptr, GetCurrentThreadId());
    }
    void TearDown() override
    {
        UnhookWindowsHookEx(markerFilter);
        TextCatalogue::setLanguage("en");
    }
    HHOOK markerFilter = nullptr;

    static SecureString pin(bool isAuth, int triesLeft, bool wrongPin, int batchCount = 0)
    {
        return DialogManager::getPin("https://example.com", "ANNA BĒRZIŅA", "PNOLV-010190-12345",
                                     "20271231235959Z", isAuth ? "PIN1" : "PIN2", batchCount, isAuth,
                                     false, triesLeft, wrongPin, 4, 8);
    }
};

TEST_F(Win32DialogTest, PinDialogShowsTheModelAndFollowsTheLengthRule)
{
    SecureString result;
    {
        DialogDriver driver([](HWND d) {
            EXPECT_EQ(windowText(d), "Signature required");
            EXPECT_EQ(controlText(d, IDC_ORIGIN), "example.com");
            EXPECT_EQ(controlText(d, IDC_WARNING).rfind("The site requests your electronic signature to sign 5 files.", 0), 0u);
            EXPECT_EQ(controlText(d, IDC_HOLDER_NAME), "ANNA BĒRZIŅA");
            EXPECT_EQ(controlText(d, IDC_PERSONAL_CODE), "PNOLV-010190-12345");
            EXPECT_EQ(controlText(d, IDC_VALIDITY), "The certificate is valid until: 31.12.2027");
            EXPECT_EQ(controlText(d, IDC_ERROR), "Incorrect PIN2!  Tries left: 2");
            EXPECT_EQ(controlText(d, IDC_PIN_LABEL), "PIN2:");
            EXPECT_EQ(controlText(d, IDOK), "Confirm");
            EXPECT_EQ(controlText(d, IDCANCEL), "Cancel");

            const LONG base = fontOf(d).lfHeight;
            EXPECT_EQ(fontOf(GetDlgItem(d, IDC_ORIGIN)).lfHeight, static_cast<LONG>(base * 2.0));
            for (int id : {IDC_ORIGIN, IDC_WARNING, IDC_HOLDER_NAME, IDC_ERROR, IDC_PIN_LABEL})
                EXPECT_EQ(fontOf(GetDlgItem(d, id)).lfWeight, FW_BOLD) << id;
            for (int id : {IDC_WARNING, IDC_HOLDER_NAME, IDC_ERROR, IDC_PIN_LABEL})
                EXPECT_EQ(fontOf(GetDlgItem(d, id)).lfHeight, base) << id;
            EXPECT_NE(fontOf(GetDlgItem(d, IDC_PERSONAL_CODE)).lfWeight, FW_BOLD);

            EXPECT_TRUE(drawnRed(d, IDC_ERROR));
            EXPECT_FALSE(drawnRed(d, IDC_WARNING));
            EXPECT_FALSE(drawnRed(d, IDC_ORIGIN));
            EXPECT_EQ(focusOf(d), GetDlgItem(d, IDC_PIN_FIELD));
            EXPECT_TRUE(GetWindowLongW(GetDlgItem(d, IDC_PIN_FIELD), GWL_STYLE) & ES_PASSWORD);

            // Screen readers name the field after the static text just before
            // it in the window order; the field stays the first tab stop.
            HWND field = GetDlgItem(d, IDC_PIN_FIELD);
            EXPECT_EQ(GetWindow(field, GW_HWNDPREV), GetDlgItem(d, IDC_PIN_LABEL));
            EXPECT_EQ(GetNextDlgTabItem(d, nullptr, FALSE), field);
            EXPECT_EQ(GetNextDlgTabItem(d, GetDlgItem(d, IDCANCEL), FALSE), field);
            EXPECT_EQ(accessibleName(field), "PIN2:");

            const struct {
                const wchar_t *typed;
                bool ok;
            } lengths[] = {{L"", false}, {L"123", false}, {L"1234", true}, {L"12345678", true},
                           {L"123456789", false}, {L"0000", true}};
            EXPECT_FALSE(enabled(d, IDOK));
            for (const auto &l : lengths) {
                SetDlgItemTextW(d, IDC_PIN_FIELD, l.typed);
                EXPECT_EQ(enabled(d, IDOK), l.ok) << utf8(l.typed);
            }
            press(d, IDOK);
        });
        result = pin(false, 2, true, 5);
    }
    ASSERT_FALSE(result.isNull());
    EXPECT_EQ(std::string(result.c_str(), result.size()), "0000");
}

TEST_F(Win32DialogTest, DigitsOnlyAndEnterConfirms)
{
    SecureString result;
    {
        DialogDriver driver([](HWND d) {
            HWND field = GetDlgItem(d, IDC_PIN_FIELD);
            for (wchar_t c : std::wstring(L"1a2-3x4"))
                SendMessageW(field, WM_CHAR, c, 0);
            EXPECT_EQ(controlText(d, IDC_PIN_FIELD), "1234");
            EXPECT_TRUE(enabled(d, IDOK));
            key(field, VK_RETURN);
        });
        result = pin(false, 3, false);
    }
    ASSERT_FALSE(result.isNull());
    EXPECT_EQ(std::string(result.c_str(), result.size()), "1234");
}

TEST_F(Win32DialogTest, CancelEscapeAndCloseBoxCancel)
{
    const std::function<void(HWND)> ways[] = {
        [](HWND d) { SetDlgItemTextW(d, IDC_PIN_FIELD, L"1234"); press(d, IDCANCEL); },
        [](HWND d) { key(GetDlgItem(d, IDC_PIN_FIELD), VK_ESCAPE); },
        [](HWND d) { PostMessageW(d, WM_SYSCOMMAND, SC_CLOSE, 0); },
    };
    for (const auto &way : ways) {
        DialogDriver driver(way);
        EXPECT_THROW(pin(false, 3, false), UserCancelledException);
    }
}

TEST_F(Win32DialogTest, LockedPinCanOnlyBeCancelled)
{
    DialogDriver driver([](HWND d) {
        EXPECT_FALSE(enabled(d, IDC_PIN_FIELD));
        EXPECT_EQ(controlText(d, IDC_ERROR), "Tries left: 0");
        SetDlgItemTextW(d, IDC_PIN_FIELD, L"1234");
        EXPECT_FALSE(enabled(d, IDOK));
        // Enter with OK disabled does not end the dialog.
        SendMessageW(d, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        EXPECT_TRUE(IsWindow(d));
        press(d, IDCANCEL);
    });
    EXPECT_THROW(pin(false, 0, false), UserCancelledException);
}

TEST_F(Win32DialogTest, AuthenticationWarningIsRedEnoughToRead)
{
    DialogDriver driver([](HWND d) {
        EXPECT_EQ(windowText(d), "Authentication required");
        EXPECT_TRUE(drawnRed(d, IDC_WARNING));
        EXPECT_TRUE(drawnRed(d, IDC_ERROR));
        // On screen, once painted: 4.5:1 at least against what is drawn around.
        for (int id : {IDC_WARNING, IDC_ERROR}) {
            double contrast = 0;
            for (int i = 0; i < 300 && contrast == 0; ++i, Sleep(100))
                contrast = redContrastOnScreen(GetDlgItem(d, id));
            EXPECT_GE(contrast, 4.5) << id;
        }
        press(d, IDCANCEL);
    });
    EXPECT_THROW(pin(true, 2, true), UserCancelledException);
}

TEST_F(Win32DialogTest, QuietSecondDropsKeysAndConfirmingButNotCancel)
{
    bool confirmed = false;
    {
        DialogDriver driver(
            [](HWND d) {
                waitForFocus(d);
                HWND confirm = GetDlgItem(d, IDOK);
                key(confirm, VK_RETURN);
                settle(d);
                fakeNow += 999;
                press(d, IDOK); // a click
                key(confirm, VK_SPACE);
                settle(d);
                fakeNow += 999; // a second after Enter, but not after Space
                key(confirm, VK_RETURN);
                settle(d);
                EXPECT_TRUE(IsWindowVisible(d));
                fakeNow += 1000;
                key(confirm, VK_RETURN);
            },
            true);
        confirmed = DialogManager::getCertificateConsent("https://example.com");
    }
    EXPECT_TRUE(confirmed);

    SecureString typed;
    {
        DialogDriver driver(
            [](HWND d) {
                waitForFocus(d);
                HWND field = GetDlgItem(d, IDC_PIN_FIELD);
                for (wchar_t c : std::wstring(L"1234")) PostMessageW(field, WM_CHAR, c, 0);
                settle(d);
                EXPECT_EQ(controlText(d, IDC_PIN_FIELD), "");
                fakeNow += 1000;
                for (wchar_t c : std::wstring(L"2468")) PostMessageW(field, WM_CHAR, c, 0);
                key(field, VK_RETURN);
            },
            true);
        typed = pin(false, 3, false);
    }
    ASSERT_FALSE(typed.isNull());
    EXPECT_EQ(std::string(typed.c_str(), typed.size()), "2468");

    for (const auto &cancel : std::vector<std::function<void(HWND)>>{
             [](HWND d) { key(GetDlgItem(d, IDC_PIN_FIELD), VK_ESCAPE); },
             [](HWND d) { press(d, IDCANCEL); }}) {
        DialogDriver driver(cancel, true);
        EXPECT_THROW(pin(false, 3, false), UserCancelledException);
    }
}

TEST_F(Win32DialogTest, ConsentInRussianEnterConfirms)
{
    TextCatalogue::setLanguage("ru");
    const std::string host(31, 'x');
    bool confirmed = false;
    {
        DialogDriver driver([&](HWND d) {
            EXPECT_EQ(windowText(d), "Требуется сертификаты");
            EXPECT_EQ(controlText(d, IDOK), "Подтверждать");
            EXPECT_EQ(controlText(d, IDCANCEL), "Отменить");
            EXPECT_EQ(controlText(d, IDC_ORIGIN), host);
            const LOGFONTW origin = fontOf(GetDlgItem(d, IDC_ORIGIN));
            const LOGFONTW warning = fontOf(GetDlgItem(d, IDC_WARNING));
            EXPECT_EQ(origin.lfWeight, FW_BOLD);
            EXPECT_NE(warning.lfWeight, FW_BOLD);
            EXPECT_EQ(origin.lfHeight, static_cast<LONG>(fontOf(d).lfHeight * 1.5));
            EXPECT_FALSE(drawnRed(d, IDC_WARNING));
            EXPECT_FALSE(drawnRed(d, IDC_ORIGIN));
            EXPECT_EQ(focusOf(d), GetDlgItem(d, IDOK));
            key(GetDlgItem(d, IDOK), VK_RETURN);
        });
        confirmed = DialogManager::getCertificateConsent("https://" + host);
    }
    EXPECT_TRUE(confirmed);
    {
        DialogDriver driver([](HWND d) { press(d, IDCANCEL); });
        EXPECT_FALSE(DialogManager::getCertificateConsent("https://example.com"));
    }
}

// Pictures of the dialogs in each language and with origins too long for
// their line. For a row with a text, read-dialogs.sh reads the picture back
// with OCR and the text must be on screen; the first such row is a short,
// known text.
TEST_F(Win32DialogTest, PicturesOfTheDialogsReadBack)
{
    const char *attack1 =
        "https://www.yourbank.lv.secure-login-session-verification-0001.attacker.example";
    const char *attack2 = "https://www.yourbank.lv.loginsessionverificationpage0001.attacker.example";
    const char *wraps =
        "https://www.yourbank.lv.a-very-long-name-that-a-bank-would-never-register-0000000001.co.uk";
    const struct {
        const char *lang, *name;
        bool pin;
        const char *origin, *expect;
    } pictures[] = {
        {"en", "consent-en", false, "https://www.example.com", "www.example.com"},
        {"lv", "consent-lv", false, "https://www.example.com", nullptr},
        {"ru", "consent-ru", false, "https://www.example.com", nullptr},
        {"lv", "pin-lv", true, "https://www.example.com", nullptr},
        {"en", "pin-en", true, "https://www.example.com", nullptr},
        {"ru", "pin-ru", true, "https://www.example.com", nullptr},
        {"en", "long-consent-1", false, attack1, "attacker.example"},
        {"en", "long-consent-2", false, attack2, "attacker.example"},
        {"en", "long-pin-1", true, attack1, "attacker.example"},
        {"lv", "long-pin-2", true, attack2, "attacker.example"},
        {"en", "long-pin-wraps", true, wraps, "never-register\nco.uk"},
    };
    for (const auto &p : pictures) {
        TextCatalogue::setLanguage(p.lang);
        DialogDriver driver([&p](HWND d) {
            // The window text, which screen readers read, is the whole origin.
            EXPECT_EQ(controlText(d, IDC_ORIGIN), std::string(p.origin).substr(8));
            if (p.pin) SetDlgItemTextW(d, IDC_PIN_FIELD, L"1234");
            Sleep(200);
            savePicture(d, std::string(p.name) + ".bmp");
            press(d, IDCANCEL);
        });
        if (p.pin)
            EXPECT_THROW(DialogManager::getPin(p.origin, "ANNA BĒRZIŅA", "PNOLV-010190-12345",
                                               "20271231235959Z", "PIN2", 5, false, false, 2, true,
                                               4, 8),
                         UserCancelledException);
        else
            EXPECT_FALSE(DialogManager::getCertificateConsent(p.origin));
        if (p.expect) {
            if (FILE *expect = std::fopen((std::string(p.name) + ".expect").c_str(), "w")) {
                std::fprintf(expect, "%s\n", p.expect);
                std::fclose(expect);
            }
        }
    }
}

} // namespace
