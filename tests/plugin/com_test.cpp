// The plugin's COM surface as Internet Explorer and its script engine use it:
// the exports and class factories, the type library read back at run time,
// and page script through late-bound IDispatch (GetIDsOfNames, then Invoke)
// with a fake browser as the site. The plugin is registered for the run, so
// failure reports carry its ProgID as their source.
#include "comsupport.h"
#include "fakebrowser.h"
#include "imports.h"
#include "latebinding.h"
#include "quorvantapluginie.h"

#include <gtest/gtest.h>

#include <ocidl.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string pluginPath;
HMODULE plugin;

template <class Function>
Function pluginExport(const char *name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(plugin, name)));
}
using GetClassObjectFunction = HRESULT(WINAPI *)(REFCLSID, REFIID, void **);
using PlainFunction = HRESULT(WINAPI *)();

class PluginEnvironment : public testing::Environment {
public:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        std::string path = pluginPath[0] == '/' ? "Z:" + pluginPath : pluginPath;
        for (char &c : path) if (c == '/') c = '\\';
        plugin = LoadLibraryA(path.c_str());
        ASSERT_NE(plugin, nullptr) << path;
        ASSERT_EQ(pluginExport<PlainFunction>("DllRegisterServer")(), S_OK);
    }
    void TearDown() override
    {
        EXPECT_EQ(pluginExport<PlainFunction>("DllUnregisterServer")(), S_OK);
        CoUninitialize();
    }
};

ComPtr<IClassFactory> factory(REFCLSID clsid)
{
    ComPtr<IClassFactory> answer;
    EXPECT_EQ(pluginExport<GetClassObjectFunction>("DllGetClassObject")(clsid, IID_IClassFactory, answer.putVoid()),
              S_OK);
    return answer;
}

template <class Interface>
ComPtr<Interface> create(REFCLSID clsid, REFIID iid)
{
    ComPtr<Interface> object;
    EXPECT_EQ(factory(clsid)->CreateInstance(nullptr, iid, object.putVoid()), S_OK);
    return object;
}

ComPtr<IDispatch> createPlugin(IUnknown *site)
{
    auto object = create<IDispatch>(CLSID_QuorvantaIEPluginBHO, IID_IDispatch);
    if (site) {
        ComPtr<IObjectWithSite> withSite;
        object->QueryInterface(IID_IObjectWithSite, withSite.putVoid());
        EXPECT_EQ(withSite->SetSite(site), S_OK);
    }
    return object;
}

ComPtr<IUnknown> fakeSite(FakeSiteKind kind, const wchar_t *url = nullptr)
{
    ComPtr<IUnknown> site;
    *site.put() = fakeSiteCreate(kind, url);
    return site;
}

// An outer object for aggregation that only counts its references.
struct Outer : IUnknown {
    ULONG refs = 1;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void **out) override { *out = nullptr; return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
};

std::wstring property(IDispatch *object, const wchar_t *name)
{
    Answer answer = call(object, name, DISPATCH_PROPERTYGET);
    EXPECT_EQ(answer.hr, S_OK) << name;
    return answer.text;
}

// Large allocations of the plugin fail (its import of malloc answers null for
// them while `largeAllocationsFail` is set), so each such C++ allocation in it
// throws; small ones, which the runtime's own locks need, still work.
bool largeAllocationsFail;
void *(__cdecl *systemMalloc)(size_t);
void *__cdecl pluginMalloc(size_t size)
{
    return largeAllocationsFail && size >= 4096 ? nullptr : systemMalloc(size);
}

// Nothing leaves a method as an exception, not even from the log's first use,
// which works its path out from TEMP: here a long one, for which memory runs
// out. It must run first, before any call in the process logs.
TEST(Exports, NothingEscapesWhenMemoryRunsOut)
{
    auto object = create<IQuorvantaIEPluginBHO>(CLSID_QuorvantaIEPluginBHO, IID_IQuorvantaIEPluginBHO);
    ComPtr<IObjectWithSite> withSite;
    object->QueryInterface(IID_IObjectWithSite, withSite.putVoid());
    struct Shortage {
        const std::string temp = getenv("TEMP");
        Shortage()
        {
            _putenv(("TEMP=" + temp + "\\" + std::string(5000, 'x')).c_str()); // in the CRT the plugin reads
            systemMalloc = reinterpret_cast<void *(__cdecl *)(size_t)>(
                replaceImport(plugin, "msvcrt.dll", "malloc", reinterpret_cast<void *>(&pluginMalloc)));
            largeAllocationsFail = true;
        }
        ~Shortage()
        {
            largeAllocationsFail = false;
            replaceImport(plugin, "msvcrt.dll", "malloc", reinterpret_cast<void *>(systemMalloc));
            _putenv(("TEMP=" + temp).c_str());
        }
    };
    ComPtr<IUnknown> held;
    Bstr version;
    Shortage shortage;
    ASSERT_TRUE(systemMalloc);
    EXPECT_EQ(withSite->GetSite(IID_IUnknown, held.putVoid()), E_FAIL);
    EXPECT_EQ(object->get_version(version.put()), S_OK);
}

TEST(Exports, DllGetClassObjectAnswersKnownClassesOnly)
{
    auto getClassObject = pluginExport<GetClassObjectFunction>("DllGetClassObject");
    const struct { const CLSID &clsid; const IID &iid; HRESULT expected; } cases[] = {
        {CLSID_QuorvantaIEPluginBHO, IID_IClassFactory, S_OK},
        {CLSID_QuorvantaCertificate, IID_IUnknown, S_OK},
        {IID_IQuorvantaIEPluginBHO, IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
        {CLSID_QuorvantaIEPluginBHO, IID_IQuorvantaIEPluginBHO, E_NOINTERFACE},
    };
    for (const auto &c : cases) {
        void *out = &out;
        EXPECT_EQ(getClassObject(c.clsid, c.iid, &out), c.expected);
        EXPECT_EQ(out != nullptr, c.expected == S_OK);
        if (out) static_cast<IUnknown *>(out)->Release();
    }
    EXPECT_EQ(getClassObject(CLSID_QuorvantaIEPluginBHO, IID_IClassFactory, nullptr), E_POINTER);
}

TEST(Exports, OnlyTheCertificateClassCanBeAggregated)
{
    Outer outer;
    ComPtr<IUnknown> inner;
    EXPECT_EQ(factory(CLSID_QuorvantaIEPluginBHO)->CreateInstance(&outer, IID_IUnknown, inner.putVoid()),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(factory(CLSID_QuorvantaCertificate)->CreateInstance(&outer, IID_IDispatch, inner.putVoid()),
              CLASS_E_NOAGGREGATION);
    ASSERT_EQ(factory(CLSID_QuorvantaCertificate)->CreateInstance(&outer, IID_IUnknown, inner.putVoid()), S_OK);
    ComPtr<IQuorvantaCertificate> certificate;
    ASSERT_EQ(inner->QueryInterface(IID_IQuorvantaCertificate, certificate.putVoid()), S_OK);
    EXPECT_EQ(outer.refs, 2u) << "the aggregated object's references belong to the outer object";
    ComPtr<IUnknown> outerUnknown;
    EXPECT_EQ(certificate->QueryInterface(IID_IUnknown, outerUnknown.putVoid()), E_NOINTERFACE)
        << "QueryInterface goes to the outer object";
    certificate.reset();
    EXPECT_EQ(outer.refs, 1u);
}

TEST(Exports, DllCanUnloadNowWhileObjectsOrLocksLive)
{
    auto canUnloadNow = pluginExport<PlainFunction>("DllCanUnloadNow");
    EXPECT_EQ(canUnloadNow(), S_OK);
    auto certificates = factory(CLSID_QuorvantaCertificate);
    EXPECT_EQ(canUnloadNow(), S_FALSE) << "a client holds a class factory";
    auto certificate = create<IDispatch>(CLSID_QuorvantaCertificate, IID_IDispatch);
    certificates.reset();
    EXPECT_EQ(canUnloadNow(), S_FALSE) << "a client holds an object";
    certificate.reset();
    EXPECT_EQ(canUnloadNow(), S_OK) << "the module's own cache of factories does not lock it";
    factory(CLSID_QuorvantaCertificate)->LockServer(TRUE);
    EXPECT_EQ(canUnloadNow(), S_FALSE) << "a lock";
    factory(CLSID_QuorvantaCertificate)->LockServer(FALSE);
    EXPECT_EQ(canUnloadNow(), S_OK);
}

TEST(Objects, QueryInterfaceAnswersEachClassesInterfaces)
{
    const struct { const CLSID &clsid; const IID &iid; HRESULT expected; } cases[] = {
        {CLSID_QuorvantaIEPluginBHO, IID_IQuorvantaIEPluginBHO, S_OK},
        {CLSID_QuorvantaIEPluginBHO, IID_IDispatch, S_OK},
        {CLSID_QuorvantaIEPluginBHO, IID_IObjectWithSite, S_OK},
        {CLSID_QuorvantaIEPluginBHO, IID_IQuorvantaCertificate, E_NOINTERFACE},
        {CLSID_QuorvantaCertificate, IID_IQuorvantaCertificate, S_OK},
        {CLSID_QuorvantaCertificate, IID_IDispatch, S_OK},
        {CLSID_QuorvantaCertificate, IID_IObjectWithSite, E_NOINTERFACE},
    };
    for (const auto &c : cases) {
        auto object = create<IUnknown>(c.clsid, IID_IUnknown);
        ComPtr<IUnknown> answer;
        EXPECT_EQ(object->QueryInterface(c.iid, answer.putVoid()), c.expected);
        EXPECT_EQ(object->QueryInterface(c.iid, nullptr), E_POINTER);
    }
}

// The members of both interfaces as the type library describes them: name
// and parameter names, dispatch identifier, kind, help string, and whether
// the last parameter is the [out, retval] result.
struct Member {
    DISPID id;
    INVOKEKIND kind;
    std::vector<std::wstring> names;
    const wchar_t *help;
    bool retval;
};

const std::vector<Member> pluginMembers = {
    {1, INVOKE_PROPERTYGET, {L"version", L"result"}, L"property version", true},
    {2, INVOKE_PROPERTYGET, {L"errorMessage", L"result"}, L"property errorMessage", true},
    {3, INVOKE_PROPERTYGET, {L"errorCode", L"result"}, L"property errorCode", true},
    {4, INVOKE_PROPERTYGET, {L"pluginLanguage", L"result"}, L"property language", true},
    {4, INVOKE_PROPERTYPUT, {L"pluginLanguage"}, L"property language", false},
    {5, INVOKE_FUNC, {L"getCertificate", L"_certificate"}, L"method getCertificate()", true},
    {6, INVOKE_FUNC, {L"getCertificateWithOperation", L"operation", L"_certificate"},
     L"method getCertificateWithOperation()", true},
    {7, INVOKE_FUNC, {L"sign", L"id", L"hash", L"language", L"signature"}, L"method sign()", true},
    {8, INVOKE_FUNC, {L"signWithOperation", L"id", L"hash", L"language", L"operation", L"signature"},
     L"method signWithOperation()", true},
};
const std::vector<Member> certificateMembers = {
    {1, INVOKE_PROPERTYGET, {L"id", L"id"}, L"property certificate id", true},
    {2, INVOKE_PROPERTYGET, {L"certificateAsHex", L"certificate"}, L"property certificate certificateAsHex", true},
    {3, INVOKE_PROPERTYGET, {L"cert", L"certificate"}, L"property certificate cert (certificateAsHex)", true},
    {4, INVOKE_FUNC, {L"select_certificate", L"auth"}, L"property select_certificate()", false},
};

std::wstring documentation(ITypeInfo *info, MEMBERID id)
{
    Bstr name, help;
    info->GetDocumentation(id, name.put(), help.put(), nullptr, nullptr);
    return help.get() ? help.get() : L"";
}

void expectInterface(const CLSID &clsid, const wchar_t *coclassHelp, const wchar_t *interfaceHelp,
                     const std::vector<Member> &members)
{
    auto object = create<IDispatch>(clsid, IID_IDispatch);
    ComPtr<ITypeInfo> dispatch, vtable;
    ASSERT_EQ(object->GetTypeInfo(0, 0, dispatch.put()), S_OK);
    HREFTYPE ref = 0;
    ASSERT_EQ(dispatch->GetRefTypeOfImplType(-1, &ref), S_OK) << "a dual interface";
    ASSERT_EQ(dispatch->GetRefTypeInfo(ref, vtable.put()), S_OK);
    EXPECT_EQ(documentation(vtable.get(), MEMBERID_NIL), interfaceHelp);

    TYPEATTR *attributes = nullptr;
    vtable->GetTypeAttr(&attributes);
    EXPECT_EQ(size_t(attributes->cFuncs), members.size());
    EXPECT_EQ(attributes->wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FOLEAUTOMATION),
              TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FOLEAUTOMATION);
    vtable->ReleaseTypeAttr(attributes);

    for (UINT index = 0; index < members.size(); ++index) {
        const Member &member = members[index];
        FUNCDESC *function = nullptr;
        ASSERT_EQ(vtable->GetFuncDesc(index, &function), S_OK);
        EXPECT_EQ(function->memid, member.id) << member.names[0];
        EXPECT_EQ(function->invkind, member.kind) << member.names[0];
        EXPECT_EQ(function->elemdescFunc.tdesc.vt, VT_HRESULT);
        EXPECT_EQ(size_t(function->oVft), (7 + index) * sizeof(void *)) << "after IDispatch's seven slots";
        BSTR names[8] = {};
        UINT count = 0;
        vtable->GetNames(function->memid, names, 8, &count);
        std::vector<std::wstring> found(names, names + count);
        for (UINT i = 0; i < count; ++i) SysFreeString(names[i]);
        if (member.kind == INVOKE_PROPERTYPUT) found.resize(1); // the put's value is unnamed
        else EXPECT_EQ(function->cParams + 1, SHORT(member.names.size())) << member.names[0];
        EXPECT_EQ(found, member.names);
        EXPECT_EQ(documentation(vtable.get(), function->memid), member.help);
        for (SHORT p = 0; p < function->cParams; ++p) {
            bool isResult = member.retval && p == function->cParams - 1;
            EXPECT_EQ(int(function->lprgelemdescParam[p].paramdesc.wParamFlags),
                      isResult ? PARAMFLAG_FOUT | PARAMFLAG_FRETVAL : PARAMFLAG_FIN)
                << member.names[0] << " parameter " << p;
        }
        vtable->ReleaseFuncDesc(function);
    }

    ComPtr<ITypeLib> library;
    UINT index = 0;
    ASSERT_EQ(vtable->GetContainingTypeLib(library.put(), &index), S_OK);
    Bstr name, help;
    library->GetDocumentation(-1, name.put(), help.put(), nullptr, nullptr);
    EXPECT_STREQ(name.get(), L"quorvantapluginieLib");
    EXPECT_STREQ(help.get(), L"quorvantapluginie 1.0 Type Library");
    TLIBATTR *lib = nullptr;
    library->GetLibAttr(&lib);
    EXPECT_TRUE(IsEqualGUID(lib->guid, LIBID_quorvantapluginieLib) && lib->wMajorVerNum == 1 &&
                lib->wMinorVerNum == 0 && lib->syskind == SYS_WIN64);
    library->ReleaseTLibAttr(lib);
    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(library->GetTypeInfoOfGuid(clsid, coclass.put()), S_OK);
    EXPECT_EQ(documentation(coclass.get(), MEMBERID_NIL), coclassHelp);
    coclass->GetTypeAttr(&attributes);
    EXPECT_TRUE(attributes->wTypeFlags & TYPEFLAG_FCANCREATE);
    coclass->ReleaseTypeAttr(attributes);
}

TEST(TypeLibrary, ScriptingInterface)
{
    expectInterface(CLSID_QuorvantaIEPluginBHO, L"QuorvantaIEPluginBHO Class", L"IQuorvantaIEPluginBHO Interface",
                    pluginMembers);
}

TEST(TypeLibrary, CertificateInterface)
{
    expectInterface(CLSID_QuorvantaCertificate, L"QuorvantaCertificate Class", L"IQuorvantaCertificate Interface",
                    certificateMembers);
}

// Every certificate and signing call on every kind of page: refused with 19
// "Site not allowed" unless the address begins with "https://". There, with
// no display the selection dialog returns no certificate ("User cancelled"),
// and no certificate has the id "0123" ("Cert not found"). Either way page
// script sees an exception with the message.
TEST(PageScript, CertificateAndSigningCallsByPage)
{
    const struct { const char *page; FakeSiteKind kind; const wchar_t *url; bool allowed; } pages[] = {
        {"https", FAKE_SITE_BROWSER, L"https://quorvanta.lv/sign", true},
        {"http", FAKE_SITE_BROWSER, L"http://quorvanta.lv/sign", false},
        {"upper-case HTTPS", FAKE_SITE_BROWSER, L"HTTPS://quorvanta.lv/sign", false},
        {"https later in the address", FAKE_SITE_BROWSER, L"http://x/?https://quorvanta.lv", false},
        {"no address", FAKE_SITE_BROWSER, nullptr, false},
        {"no browser service", FAKE_SITE_NO_BROWSER, nullptr, false},
        {"no site", FAKE_SITE_NO_PROVIDER, nullptr, false},
    };
    const wchar_t *hash = L"00112233445566778899aabbccddeeff00112233";
    for (const auto &page : pages) {
        auto site = page.kind == FAKE_SITE_NO_PROVIDER ? ComPtr<IUnknown>() : fakeSite(page.kind, page.url);
        auto object = createPlugin(site.get());
        EXPECT_EQ(property(object.get(), L"errorCode"), L"0");

        const struct { const wchar_t *name; std::vector<VARIANT> args; const wchar_t *code, *message; } calls[] = {
            {L"getCertificate", {}, L"1", L"User cancelled"},
            {L"getCertificateWithOperation", {text(L"auth")}, L"1", L"User cancelled"},
            {L"getCertificateWithOperation", {text(L"")}, L"1", L"User cancelled"},
            {L"sign", {text(L"0123"), text(hash), text(L"lv")}, L"2", L"Cert not found"},
            {L"signWithOperation", {text(L"0123"), text(hash), text(L"lv"), text(L"auth")}, L"2", L"Cert not found"},
        };
        for (const auto &c : calls) {
            Answer answer = call(object.get(), c.name, DISPATCH_METHOD, c.args);
            std::wstring message = page.allowed ? c.message : L"Site not allowed";
            EXPECT_EQ(answer.hr, DISP_E_EXCEPTION) << page.page;
            EXPECT_EQ(answer.description, message) << page.page;
            EXPECT_EQ(answer.source, L"quorvantapluginie.QuorvantaIEPluginBHO.1");
            EXPECT_EQ(property(object.get(), L"errorCode"), page.allowed ? c.code : L"19") << page.page;
            EXPECT_EQ(property(object.get(), L"errorMessage"), message) << page.page;
        }
        EXPECT_EQ(property(object.get(), L"version"), L"2.3.9 64bit") << page.page;
    }
}

TEST(PageScript, SiteHandling)
{
    auto object = create<IObjectWithSite>(CLSID_QuorvantaIEPluginBHO, IID_IObjectWithSite);
    ComPtr<IUnknown> held;
    EXPECT_EQ(object->GetSite(IID_IUnknown, held.putVoid()), E_FAIL);
    EXPECT_EQ(object->GetSite(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(object->SetSite(fakeSite(FAKE_SITE_NO_PROVIDER).get()), E_NOINTERFACE);

    auto site = fakeSite(FAKE_SITE_BROWSER, L"https://quorvanta.lv/");
    EXPECT_EQ(object->SetSite(site.get()), S_OK);
    EXPECT_EQ(object->GetSite(IID_IUnknown, held.putVoid()), S_OK);
    EXPECT_EQ(held.get(), site.get());
    // A cleared site keeps the browser it gave.
    EXPECT_EQ(object->SetSite(nullptr), E_FAIL);
    ComPtr<IDispatch> script;
    object->QueryInterface(IID_IDispatch, script.putVoid());
    EXPECT_EQ(call(script.get(), L"getCertificate", DISPATCH_METHOD).description, L"User cancelled");
}

TEST(PageScript, PluginLanguageIsStoredText)
{
    auto object = createPlugin(nullptr);
    EXPECT_EQ(property(object.get(), L"pluginLanguage"), L"");
    EXPECT_EQ(call(object.get(), L"pluginLanguage", DISPATCH_PROPERTYPUT, {text(L"lv")}).hr, S_OK);
    EXPECT_EQ(property(object.get(), L"pluginLanguage"), L"lv");
    EXPECT_EQ(call(object.get(), L"pluginLanguage", DISPATCH_PROPERTYPUT, {text(nullptr)}).hr, S_OK);
    EXPECT_EQ(property(object.get(), L"pluginLanguage"), L"");
    EXPECT_EQ(property(object.get(), L"errorCode"), L"0");
    EXPECT_EQ(property(object.get(), L"errorMessage"), L"");
}

TEST(PageScript, CertificateObjectStaysEmptyAfterACancelledSelection)
{
    auto certificate = create<IDispatch>(CLSID_QuorvantaCertificate, IID_IDispatch);
    for (const wchar_t *name : {L"id", L"certificateAsHex", L"cert"}) EXPECT_EQ(property(certificate.get(), name), L"");
    VARIANT auth;
    V_VT(&auth) = VT_I4;
    V_I4(&auth) = 1;
    Answer answer = call(certificate.get(), L"select_certificate", DISPATCH_METHOD, {auth});
    EXPECT_EQ(answer.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(answer.description, L"User cancelled");
    for (const wchar_t *name : {L"id", L"certificateAsHex", L"cert"}) EXPECT_EQ(property(certificate.get(), name), L"");
}

// Calls that the script engine cannot make get clear errors, and leave no
// earlier failure behind in errorCode and errorMessage.
TEST(PageScript, BadCallsGetClearErrors)
{
    auto object = createPlugin(fakeSite(FAKE_SITE_BROWSER, L"https://quorvanta.lv/").get());
    EXPECT_EQ(call(object.get(), L"noSuchMember", DISPATCH_METHOD).hr, DISP_E_UNKNOWNNAME);
    VARIANT unknown, null;
    V_VT(&unknown) = VT_UNKNOWN;
    V_UNKNOWN(&unknown) = nullptr;
    V_VT(&null) = VT_NULL;
    const struct { const wchar_t *name; WORD flags; std::vector<VARIANT> args; HRESULT hr; } calls[] = {
        {L"sign", DISPATCH_METHOD, {text(L"only one")}, DISP_E_BADPARAMCOUNT},
        {L"getCertificateWithOperation", DISPATCH_METHOD, {unknown}, DISP_E_TYPEMISMATCH},
        {L"signWithOperation", DISPATCH_METHOD, {null, text(L"00"), text(L"en"), text(L"sign")}, DISP_E_TYPEMISMATCH},
        {L"getCertificateWithOperation", DISPATCH_METHOD, {}, DISP_E_BADPARAMCOUNT},
        {L"pluginLanguage", DISPATCH_PROPERTYPUT, {null}, DISP_E_TYPEMISMATCH},
    };
    for (const auto &c : calls) {
        EXPECT_EQ(call(object.get(), L"getCertificate", DISPATCH_METHOD).description, L"User cancelled");
        EXPECT_EQ(call(object.get(), c.name, c.flags, c.args).hr, c.hr) << c.name;
        EXPECT_EQ(property(object.get(), L"errorCode"), L"0") << c.name;
        EXPECT_EQ(property(object.get(), L"errorMessage"), L"") << c.name;
    }
    EXPECT_EQ(object->Invoke(1, IID_IDispatch, 0, DISPATCH_PROPERTYGET, nullptr, nullptr, nullptr, nullptr),
              DISP_E_UNKNOWNINTERFACE);
    EXPECT_EQ(object->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYGET, nullptr, nullptr, nullptr, nullptr), E_POINTER);

    ComPtr<IQuorvantaIEPluginBHO> direct;
    object->QueryInterface(IID_IQuorvantaIEPluginBHO, direct.putVoid());
    EXPECT_EQ(direct->get_version(nullptr), E_POINTER);
    EXPECT_EQ(direct->getCertificate(nullptr), E_POINTER);
    EXPECT_EQ(direct->signWithOperation(nullptr, nullptr, nullptr, nullptr, nullptr), E_POINTER);
    Bstr signature;
    EXPECT_EQ(direct->sign(nullptr, nullptr, nullptr, signature.put()), DISP_E_EXCEPTION);
    EXPECT_EQ(signature.get(), nullptr);
}

// The log: nothing without the file; with it, one line per call in the
// exact format, "Set error" with the code in hexadecimal and decimal.
TEST(Log, OneLinePerCallOnlyWhenTheFileExists)
{
    char temp[MAX_PATH];
    ASSERT_GT(GetEnvironmentVariableA("TEMP", temp, MAX_PATH), 0u);
    const std::string log = std::string(temp) + "\\quorvantaplugin.log";
    DeleteFileA(log.c_str());
    auto object = createPlugin(fakeSite(FAKE_SITE_BROWSER, L"https://quorvanta.lv/").get());
    ComPtr<IQuorvantaIEPluginBHO> direct;
    object->QueryInterface(IID_IQuorvantaIEPluginBHO, direct.putVoid());
    Bstr version;
    direct->get_version(version.put());
    EXPECT_EQ(GetFileAttributesA(log.c_str()), INVALID_FILE_ATTRIBUTES) << "the plugin never creates its log";

    std::ofstream(log).close();
    direct->get_version(version.put());
    Bstr signature;
    direct->sign(Bstr(L"0123").get(), Bstr(L"00").get(), nullptr, signature.put());
    std::stringstream written;
    written << std::ifstream(log, std::ios::binary).rdbuf();
    DeleteFileA(log.c_str());

    const std::regex format(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} ([\w:]+)\(\) \[([\w.]+):\d+\] (.*))");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"CQuorvantaIEPluginBHO::get_version", ""},
        {"CQuorvantaIEPluginBHO::sign", "sign()"},
        {"CQuorvantaIEPluginBHO::signWithOperation", "signWithOperation()"},
        {"CQuorvantaIEPluginBHO::signWithOperation", ""},
        {"CQuorvantaIEPluginBHO::isSiteAllowed", ""},
        {"CQuorvantaIEPluginBHO::signWithOperation", "Operation sign auth 0"},
        {"CngCapiSigner::sign", "Signing with hash: 00, with certId: 0123"},
        {"CngCapiSigner::sign", "(digest.size() 1"},
        {"CQuorvantaIEPluginBHO::signWithOperation", "Exception caught during signing: invalid_argument: Invalid Hash"},
        {"ErrorState::setError", ""},
        {"ErrorState::setError", "Set error: Invalid Hash (HEX 11h, DEC 17)"},
    };
    std::string line;
    std::vector<std::pair<std::string, std::string>> found;
    while (std::getline(written, line)) {
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(line, parts, format)) << line;
        EXPECT_NE(parts[2].str().find(".cpp"), std::string::npos) << "the source file's name alone: " << line;
        found.emplace_back(parts[1], parts[3]);
    }
    EXPECT_EQ(found, expected);
    EXPECT_EQ(written.str().back(), '\n');
}

} // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    pluginPath = argc == 2 ? argv[1] : "quorvanta-plugin-ie.dll";
    testing::AddGlobalTestEnvironment(new PluginEnvironment);
    return RUN_ALL_TESTS();
}
