// The module object, its class factories and the five exported functions.
// Each export that does real work runs inside comBoundary, so no exception
// leaves the DLL.
#include "module.h"

#include "quorvantacertificate.h"
#include "quorvantaiepluginbho.h"
#include "quorvantapluginie.h"

#include <cwchar>

namespace {

CquorvantapluginieModule theModule;

// A standard class factory, cached by the module for its whole life. The
// cache's own reference does not lock the module, but each reference that a
// client holds does, like LockServer: a client may keep the factory and call
// it later, so the module must not be unloaded under it.
class ClassFactory final : public IClassFactory {
public:
    ClassFactory(CquorvantapluginieModule::CreateFunction create, bool aggregatable)
        : create(create), aggregatable(aggregatable) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override
    {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
        *out = static_cast<IClassFactory *>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override
    {
        const ULONG references = ++count;
        if (references > 1) lockModule();
        return references;
    }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --count;
        if (left > 0) unlockModule();
        if (left == 0) delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID iid, void **out) override
    {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer && !aggregatable) return CLASS_E_NOAGGREGATION;
        return comBoundary([&] { return create(outer, iid, out); });
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        lock ? lockModule() : unlockModule();
        return S_OK;
    }

private:
    CquorvantapluginieModule::CreateFunction create;
    bool aggregatable;
    std::atomic<ULONG> count{0};
};

} // namespace

void lockModule() noexcept
{
    theModule.lock();
}

void unlockModule() noexcept
{
    theModule.unlock();
}

HRESULT moduleTypeInfo(REFIID iid, ITypeInfo **out)
{
    return theModule.typeInfo(iid, out);
}

CquorvantapluginieModule::CquorvantapluginieModule()
    : classes{
          {&CLSID_QuorvantaCertificate, 103, &CQuorvantaCertificate::create, true, {}},
          {&CLSID_QuorvantaIEPluginBHO, 102, &CQuorvantaIEPluginBHO::create, false, {}},
      }
{
}

void CquorvantapluginieModule::abandonReferences()
{
    for (ClassEntry &entry : classes) entry.factory.detach();
    typeLibrary.detach();
}

HRESULT CquorvantapluginieModule::getClassObject(REFCLSID clsid, REFIID iid, void **out)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!module) return E_UNEXPECTED;
    for (ClassEntry &entry : classes) {
        if (!IsEqualCLSID(clsid, *entry.clsid)) continue;
        ComPtr<IClassFactory> factory;
        {
            std::lock_guard<std::mutex> hold(guard);
            if (!entry.factory) {
                auto *created = new (std::nothrow) ClassFactory(entry.create, entry.aggregatable);
                if (!created) return E_OUTOFMEMORY;
                entry.factory = ComPtr<IClassFactory>::share(created);
            }
            factory = entry.factory;
        }
        return factory->QueryInterface(iid, out);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

ComPtr<ITypeLib> CquorvantapluginieModule::loadTypeLibrary()
{
    std::lock_guard<std::mutex> hold(guard);
    if (!typeLibrary) throwIfFailed(LoadTypeLibEx(modulePath().c_str(), REGKIND_NONE, typeLibrary.put()));
    return typeLibrary;
}

HRESULT CquorvantapluginieModule::typeInfo(REFIID iid, ITypeInfo **out)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    return comBoundary([&] { return loadTypeLibrary()->GetTypeInfoOfGuid(iid, out); });
}

std::wstring CquorvantapluginieModule::modulePath() const
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(module, &path[0], DWORD(path.size()));
        if (length == 0) throw HresultError(HRESULT_FROM_WIN32(GetLastError()));
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        theModule.initialise(instance);
    } else if (reason == DLL_PROCESS_DETACH && reserved) {
        theModule.abandonReferences();
    }
    return TRUE;
}

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void **out)
{
    return comBoundary([&] { return theModule.getClassObject(clsid, iid, out); });
}

HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return theModule.locked() ? S_FALSE : S_OK;
}

HRESULT STDAPICALLTYPE DllRegisterServer()
{
    return comBoundary([] { return theModule.registerServer(); });
}

HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    return comBoundary([] { return theModule.unregisterServer(); });
}

// "user" (in any letter case, and nothing more) registers for the current
// user only; the flag then stays on for the life of the module.
HRESULT STDAPICALLTYPE DllInstall(BOOL install, const wchar_t *commandLine)
{
    return comBoundary([&] {
        if (commandLine && _wcsicmp(commandLine, L"user") == 0) theModule.setPerUser();
        if (!install) return theModule.unregisterServer();
        HRESULT hr = comBoundary([] { return theModule.registerServer(); });
        if (FAILED(hr)) {
            comBoundary([] { return theModule.unregisterServer(); });
            return hr;
        }
        return S_OK;
    });
}

} // extern "C"
