// The small COM toolkit the plugin is written with: owners for COM references
// and BSTRs, one place that turns C++ failures into HRESULTs at every COM
// boundary, and a base that counts references, keeps the module locked and
// answers QueryInterface from each class's table of interface identifiers.
// A class may be aggregated: its IUnknown then delegates to the outer object.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

// An owned COM reference.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() { reset(); }
    ComPtr(const ComPtr &other) : ptr(other.ptr) { if (ptr) ptr->AddRef(); }
    ComPtr(ComPtr &&other) noexcept : ptr(std::exchange(other.ptr, nullptr)) {}
    ComPtr &operator=(ComPtr other) noexcept { std::swap(ptr, other.ptr); return *this; }

    // A new reference to an interface the caller keeps its own reference to.
    static ComPtr share(T *raw) { ComPtr p; p.ptr = raw; if (raw) raw->AddRef(); return p; }

    T *get() const { return ptr; }
    T *operator->() const { return ptr; }
    explicit operator bool() const { return ptr != nullptr; }
    // For functions that hand out a reference: the old one is released first.
    T **put() { reset(); return &ptr; }
    void **putVoid() { return reinterpret_cast<void **>(put()); }
    T *detach() { return std::exchange(ptr, nullptr); }
    void reset() { if (ptr) std::exchange(ptr, nullptr)->Release(); }

private:
    T *ptr = nullptr;
};

// An owned BSTR.
class Bstr {
public:
    Bstr() = default;
    explicit Bstr(const std::wstring &text) : str(SysAllocStringLen(text.data(), UINT(text.size())))
    {
        if (!str) throw std::bad_alloc();
    }
    ~Bstr() { SysFreeString(str); }
    Bstr(const Bstr &) = delete;
    Bstr &operator=(const Bstr &) = delete;

    BSTR get() const { return str; }
    BSTR *put() { SysFreeString(str); str = nullptr; return &str; }
    BSTR detach() { return std::exchange(str, nullptr); }

private:
    BSTR str = nullptr;
};

// A failed Windows or COM call inside the plugin, carried to the COM boundary.
class HresultError : public std::runtime_error {
public:
    explicit HresultError(HRESULT hr) : std::runtime_error("COM call failed"), hr(hr) {}
    HRESULT result() const { return hr; }

private:
    HRESULT hr;
};

inline void throwIfFailed(HRESULT hr)
{
    if (FAILED(hr)) throw HresultError(hr);
}

inline HRESULT hresultFromStatus(LSTATUS status)
{
    return HRESULT_FROM_WIN32(static_cast<unsigned long>(status));
}

// Runs the body of an exported function or COM method; whatever it throws
// becomes an HRESULT here, so nothing crosses the boundary.
template <class Body>
HRESULT comBoundary(Body &&body) noexcept
{
    try {
        return body();
    } catch (const HresultError &e) {
        return e.result();
    } catch (const std::bad_alloc &) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// The module's lock count: every live object and every LockServer(TRUE).
void lockModule() noexcept;
void unlockModule() noexcept;

// One entry of a class's interface table.
template <class Derived>
struct InterfaceEntry {
    const IID *iid;
    IUnknown *(*cast)(Derived *);
};

template <class Derived, class Interface>
IUnknown *interfaceOf(Derived *object)
{
    return static_cast<Interface *>(object);
}

// Derived lists its interfaces in `static const InterfaceEntry<Derived>
// interfaceTable[]`, ending with a null IID; IUnknown is answered by the base.
template <class Derived, class... Interfaces>
class ComObject : public Interfaces... {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override
    {
        return outer ? outer->QueryInterface(iid, out) : inner.QueryInterface(iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return outer ? outer->AddRef() : inner.AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return outer ? outer->Release() : inner.Release(); }

    // Creates an object (inside `outerUnknown` when aggregated) and answers
    // the interface asked for; an aggregate may only ask for IUnknown.
    static HRESULT create(IUnknown *outerUnknown, REFIID iid, void **out)
    {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outerUnknown && !IsEqualIID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
        Derived *object = new (std::nothrow) Derived();
        if (!object) return E_OUTOFMEMORY;
        object->outer = outerUnknown;
        object->inner.AddRef();
        HRESULT hr = object->inner.QueryInterface(iid, out);
        object->inner.Release();
        return hr;
    }

protected:
    ComObject() { lockModule(); }
    virtual ~ComObject() { unlockModule(); }
    ComObject(const ComObject &) = delete;
    ComObject &operator=(const ComObject &) = delete;

private:
    // The object's own IUnknown, which an aggregate holds.
    class Inner : public IUnknown {
    public:
        explicit Inner(ComObject &self) : self(self) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override
        {
            if (!out) return E_POINTER;
            *out = nullptr;
            if (IsEqualIID(iid, IID_IUnknown)) {
                *out = static_cast<IUnknown *>(this);
                AddRef();
                return S_OK;
            }
            Derived *derived = static_cast<Derived *>(&self);
            for (const auto *entry = Derived::interfaceTable; entry->iid; ++entry) {
                if (IsEqualIID(iid, *entry->iid)) {
                    IUnknown *answer = entry->cast(derived);
                    answer->AddRef();
                    *out = answer;
                    return S_OK;
                }
            }
            return E_NOINTERFACE;
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return ++count; }
        ULONG STDMETHODCALLTYPE Release() override
        {
            ULONG left = --count;
            if (left == 0) delete &self;
            return left;
        }

    private:
        ComObject &self;
        std::atomic<ULONG> count{0};
    };

    IUnknown *outer = nullptr;
    Inner inner{*this};
};

// The type information of one of the plugin's interfaces, from the type
// library embedded in the module.
HRESULT moduleTypeInfo(REFIID iid, ITypeInfo **out);

// IDispatch of a dual interface, served from the type library.
template <class Interface, const IID &interfaceId>
class TypeInfoDispatch : public Interface {
public:
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *count) override
    {
        if (!count) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo **out) override
    {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        return moduleTypeInfo(interfaceId, out);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR *names, UINT count, LCID,
                                            DISPID *ids) override
    {
        if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        if (!names || !ids) return E_POINTER;
        ComPtr<ITypeInfo> info;
        HRESULT hr = moduleTypeInfo(interfaceId, info.put());
        return FAILED(hr) ? hr : DispGetIDsOfNames(info.get(), names, count, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID iid, LCID, WORD flags, DISPPARAMS *params,
                                     VARIANT *result, EXCEPINFO *exception, UINT *argError) override
    {
        if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        if (!params) return E_POINTER;
        ComPtr<ITypeInfo> info;
        HRESULT hr = moduleTypeInfo(interfaceId, info.put());
        if (FAILED(hr)) return hr;
        return DispInvoke(static_cast<Interface *>(this), info.get(), member, flags, params, result,
                          exception, argError);
    }
};
