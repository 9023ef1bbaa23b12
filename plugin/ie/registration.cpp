// Self-registration: the registration scripts, the type library (registered
// twice over, the second failure reported as SELFREG_E_TYPELIB) and the
// scripting class's safety categories; and the way back, which removes all
// that it can and reports the first failure, and which finds nothing to do
// when nothing is registered. Per-user registration sends HKCR keys to
// HKCU\Software\Classes, leaves HKLM alone, uses the per-user type library
// functions where the system has them, and writes the categories itself
// (script 104): the component category manager writes only machine-wide,
// where a user may have no rights.
#include "module.h"

#include "quorvantapluginie.h"
#include "registrar.h"
#include "registrykey.h"

#include <comcat.h>
#include <objbase.h>
#include <olectl.h>

#include <cwchar>
#include <vector>

namespace {

// The public safety categories (objsafe.h declares them but no import
// library defines them).
constexpr CATID catidSafeForScripting = {0x7DD95801, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}};
constexpr CATID catidSafeForInitializing = {0x7DD95802, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}};
constexpr LCID englishUs = 0x0409;

std::wstring registryForm(const GUID &guid)
{
    wchar_t text[39];
    StringFromGUID2(guid, text, 39);
    return text;
}

// COM for the component category manager, whether or not the caller has it.
class ComApartment {
public:
    ComApartment() : hr(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComApartment() { if (SUCCEEDED(hr)) CoUninitialize(); }
    ComApartment(const ComApartment &) = delete;
    ComApartment &operator=(const ComApartment &) = delete;

private:
    HRESULT hr;
};

ComPtr<ICatRegister> categoryManager()
{
    ComPtr<ICatRegister> manager;
    throwIfFailed(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_ICatRegister, manager.putVoid()));
    return manager;
}

// The per-user type library functions exist from Windows Vista SP1 on and
// are missing from mingw's import library; without them the machine-wide
// ones serve.
template <class Function>
Function perUserFunction(const char *name)
{
    HMODULE oleaut = GetModuleHandleW(L"oleaut32.dll");
    return oleaut ? reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(oleaut, name))) : nullptr;
}

using RegisterTypeLibFunction = HRESULT(WINAPI *)(ITypeLib *, OLECHAR *, OLECHAR *);
using UnRegisterTypeLibFunction = HRESULT(WINAPI *)(REFGUID, WORD, WORD, LCID, SYSKIND);

std::vector<std::wstring> subkeyNames(HKEY key)
{
    std::vector<std::wstring> names;
    wchar_t name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = 256;
        if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, length);
    }
    return names;
}

bool keyExists(HKEY root, const std::wstring &path)
{
    RegistryKey key;
    return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

bool deletedOrGone(LSTATUS status)
{
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND || status == ERROR_BADKEY;
}

} // namespace

HRESULT CquorvantapluginieModule::applyScript(int id, bool registering) const
{
    ScriptContext context{modulePath(), registryForm(APPID_quorvantapluginie), perUser};
    return ::applyScript(loadRegistryScript(module, id), context, registering);
}

HRESULT CquorvantapluginieModule::registerServer()
{
    applyScript(101, true); // its browser keys may be closed to the installing user
    for (const ClassEntry &entry : classes) {
        HRESULT hr = applyScript(entry.registrationScript, true);
        if (FAILED(hr)) return hr;
    }
    HRESULT hr = registerTypeLibrary();
    if (FAILED(hr)) return hr;
    if (FAILED(registerTypeLibrary())) return SELFREG_E_TYPELIB;
    return perUser ? applyScript(104, true) : registerCategories();
}

// Every step runs, whatever failed before it, and the first failure is the
// answer, the browser integration's (script 101) included.
HRESULT CquorvantapluginieModule::unregisterServer()
{
    HRESULT first = S_OK;
    auto step = [&first](auto &&body) {
        const HRESULT hr = comBoundary(body);
        if (FAILED(hr) && SUCCEEDED(first)) first = hr;
    };
    step([&] { return applyScript(101, false); });
    for (const ClassEntry &entry : classes) step([&] { return applyScript(entry.registrationScript, false); });
    step([&] { return unregisterTypeLibrary(); });
    step([&] { return cleanTypeLibraryKeys(); });
    step([&] { return perUser ? applyScript(104, false) : unregisterCategories(); });
    return first;
}

HRESULT CquorvantapluginieModule::registerTypeLibrary()
{
    ComPtr<ITypeLib> library = loadTypeLibrary();
    std::wstring path = modulePath();
    auto registerLibrary = perUser ? perUserFunction<RegisterTypeLibFunction>("RegisterTypeLibForUser") : nullptr;
    if (!registerLibrary) registerLibrary = &RegisterTypeLib;
    return registerLibrary(library.get(), &path[0], nullptr);
}

// A type library that is not registered (for this architecture, where the
// unregistration looks) counts as unregistered, whatever the system answers.
HRESULT CquorvantapluginieModule::unregisterTypeLibrary()
{
    ComPtr<ITypeLib> library = loadTypeLibrary();
    TLIBATTR *attributes = nullptr;
    HRESULT hr = library->GetLibAttr(&attributes);
    if (FAILED(hr)) return hr;
    TLIBATTR copy = *attributes;
    library->ReleaseTLibAttr(attributes);
    auto unregisterLibrary =
        perUser ? perUserFunction<UnRegisterTypeLibFunction>("UnRegisterTypeLibForUser") : nullptr;
    if (!unregisterLibrary) unregisterLibrary = &UnRegisterTypeLib;
    hr = unregisterLibrary(copy.guid, copy.wMajorVerNum, copy.wMinorVerNum, copy.lcid, SYS_WIN64);
    if (FAILED(hr)) {
        wchar_t registration[64];
        swprintf(registration, 64, L"\\%x.%x\\%lx\\win64", unsigned(copy.wMajorVerNum), unsigned(copy.wMinorVerNum),
                 static_cast<unsigned long>(copy.lcid));
        const std::wstring path = L"TypeLib\\" + registryForm(copy.guid) + registration;
        bool registered = false;
        for (bool user : {false, perUser}) {
            RegistryLocation where = classesLocation(path, user);
            registered = registered || keyExists(where.root, where.path);
        }
        if (!registered) return S_OK;
    }
    return hr;
}

// Whatever the type library functions left under TypeLib\{LIBID}. A locale
// that also holds a 32-bit registration keeps it, and with it its version.
// Goes on past a key that it cannot delete.
HRESULT CquorvantapluginieModule::cleanTypeLibraryKeys() const
{
    RegistryLocation library = classesLocation(L"TypeLib\\" + registryForm(LIBID_quorvantapluginieLib), perUser);
    RegistryKey libraryKey;
    const LSTATUS opened = RegOpenKeyExW(library.root, library.path.c_str(), 0, KEY_READ | KEY_WRITE, libraryKey.put());
    if (opened != ERROR_SUCCESS) return deletedOrGone(opened) ? S_OK : SELFREG_E_TYPELIB;
    bool failed = false, keptVersion = false;
    for (const std::wstring &version : subkeyNames(libraryKey.get())) {
        RegistryKey versionKey;
        if (RegOpenKeyExW(libraryKey.get(), version.c_str(), 0, KEY_READ | KEY_WRITE, versionKey.put()) != ERROR_SUCCESS) {
            failed = keptVersion = true;
            continue;
        }
        bool keptLocale = false;
        for (const std::wstring &locale : subkeyNames(versionKey.get())) {
            if (_wcsicmp(locale.c_str(), L"HELPDIR") == 0 || _wcsicmp(locale.c_str(), L"FLAGS") == 0) continue;
            LSTATUS status;
            if (keyExists(versionKey.get(), locale + L"\\win32")) {
                keptLocale = true;
                status = RegDeleteTreeW(versionKey.get(), (locale + L"\\win64").c_str());
            } else {
                status = RegDeleteTreeW(versionKey.get(), locale.c_str());
            }
            if (!deletedOrGone(status)) failed = keptLocale = true;
        }
        if (keptLocale) {
            keptVersion = true;
        } else if (!deletedOrGone(RegDeleteTreeW(libraryKey.get(), version.c_str()))) {
            failed = keptVersion = true;
        }
    }
    if (!keptVersion && !deletedOrGone(RegDeleteTreeW(library.root, library.path.c_str()))) failed = true;
    return failed ? SELFREG_E_TYPELIB : S_OK;
}

HRESULT CquorvantapluginieModule::registerCategories() const
{
    ComApartment apartment;
    ComPtr<ICatRegister> manager = categoryManager();
    const struct { const CATID *catid; const wchar_t *description; } categories[] = {
        {&catidSafeForInitializing, L"Controls safely initializable from persistent data!"},
        {&catidSafeForScripting, L"Controls safely scriptable!"},
    };
    for (const auto &category : categories) {
        CATEGORYINFO info{};
        info.catid = *category.catid;
        info.lcid = englishUs;
        wcsncpy(info.szDescription, category.description, 127);
        throwIfFailed(manager->RegisterCategories(1, &info));
        CATID implemented = *category.catid;
        throwIfFailed(manager->RegisterClassImplCategories(CLSID_QuorvantaIEPluginBHO, 1, &implemented));
    }
    return S_OK;
}

// The class key went with script 102 already, taking the markings with it;
// the category manager may then fail (Wine answers E_FAIL), which counts as
// done as long as the class key is really gone.
HRESULT CquorvantapluginieModule::unregisterCategories() const
{
    ComApartment apartment;
    ComPtr<ICatRegister> manager = categoryManager();
    RegistryLocation classKey = classesLocation(L"CLSID\\" + registryForm(CLSID_QuorvantaIEPluginBHO), perUser);
    for (CATID catid : {catidSafeForInitializing, catidSafeForScripting}) {
        HRESULT hr = manager->UnRegisterClassImplCategories(CLSID_QuorvantaIEPluginBHO, 1, &catid);
        if (FAILED(hr) && keyExists(classKey.root, classKey.path)) return hr;
    }
    return S_OK;
}
