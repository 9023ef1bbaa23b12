// The module object: one per process, built when the DLL is loaded. It knows
// the module's classes (with their registration scripts and cached class
// factories), counts the module's locks, holds the per-user registration flag
// and the type library, and runs the registration and unregistration
// sequences behind the exported functions.
#pragma once

#include "comsupport.h"

#include <windows.h>
#include <oaidl.h>

#include <atomic>
#include <mutex>
#include <string>

class CquorvantapluginieModule {
public:
    CquorvantapluginieModule();

    using CreateFunction = HRESULT (*)(IUnknown *outer, REFIID iid, void **out);

    struct ClassEntry {
        const CLSID *clsid;
        int registrationScript;
        CreateFunction create;
        bool aggregatable;
        ComPtr<IClassFactory> factory; // empty until first asked for
    };

    void initialise(HINSTANCE instance) { module = instance; }
    // At process exit the libraries behind the cached references may already
    // be gone: the references are dropped without being released.
    void abandonReferences();

    void lock() noexcept { ++lockCount; }
    void unlock() noexcept { --lockCount; }
    bool locked() const noexcept { return lockCount != 0; }

    void setPerUser() { perUser = true; }

    HRESULT getClassObject(REFCLSID clsid, REFIID iid, void **out);
    HRESULT registerServer();
    HRESULT unregisterServer();
    HRESULT typeInfo(REFIID iid, ITypeInfo **out);

private:
    std::wstring modulePath() const;
    HRESULT applyScript(int id, bool registering) const;
    HRESULT registerTypeLibrary();
    HRESULT unregisterTypeLibrary();
    HRESULT cleanTypeLibraryKeys() const;
    HRESULT registerCategories() const;
    HRESULT unregisterCategories() const;
    ComPtr<ITypeLib> loadTypeLibrary(); // throws HresultError

    HINSTANCE module = nullptr;
    ClassEntry classes[2];
    std::atomic<long> lockCount{0};
    bool perUser = false;
    std::mutex guard; // class factory and type library creation
    ComPtr<ITypeLib> typeLibrary;
};
