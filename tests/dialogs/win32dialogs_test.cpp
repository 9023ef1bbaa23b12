// The Win32 dialogs, driven from a second thread as a person would: find the
// dialog, read its controls, type into the PIN field (EN_CHANGE), press the
// buttons or keys, and check what DialogManager returns. Also saves a picture
// of each dialog in each language (BMP; the runner script makes PNGs).
#include "dialogmanager.h"
#include "errors.h"
#include "resource.h"
#include "textcatalogue.h"
#include "utf.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

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

// Asks the dialog how it colours a static control, as painting would.
bool drawnRed(HWND dialog, int id)
{
    HDC dc = CreateCompatibleDC(nullptr);
    SetTextColor(dc, RGB(0, 0, 0));
    SendMessageW(dialog, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
    const bool red = GetTextColor(dc) == RGB(255, 0, 0);
    const bool transparent = GetBkMode(dc) == TRANSPARENT;
    DeleteDC(dc);
    EXPECT_TRUE(transparent) << "control " << id;
    return red;
}

bool enabled(HWND dialog, int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }

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

// Runs `act` on a helper thread once the dialog of this thread is up.
class DialogDriver {
public:
    explicit DialogDriver(std::function<void(HWND)> act)
        : owner(GetCurrentThreadId()), helper([this, act] {
              HWND dialog = waitForDialog();
              if (!dialog) {
                  ADD_FAILURE() << "no dialog appeared";
                  return;
              }
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

HWND focusOf(HWND dialog)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info);
    return info.hwndFocus;
}

class Win32DialogTest : public ::testing::Test {
protected:
    void SetUp() override { TextCatalogue::setLanguage("en"); }
    void TearDown() override { TextCatalogue::setLanguage("en"); }

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

TEST_F(Win32DialogTest, AuthenticationWarningIsRed)
{
    DialogDriver driver([](HWND d) {
        EXPECT_EQ(windowText(d), "Authentication required");
        EXPECT_TRUE(drawnRed(d, IDC_WARNING));
        EXPECT_TRUE(drawnRed(d, IDC_ERROR));
        press(d, IDCANCEL);
    });
    EXPECT_THROW(pin(true, 3, false), UserCancelledException);
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
