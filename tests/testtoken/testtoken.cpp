// The Quorvanta test token: a PKCS#11 module that serves certificates and keys
// from a fixture file and fails the way real cards fail when the fixture says
// so. Tests load it by the same bare file name as the real module, so the
// host's own loading code is what runs. The fixture file is named by the
// environment variable QUORVANTA_TESTTOKEN_FIXTURE and read at C_Initialize;
// its line format is described at the top of fixture.cpp. Notable calls are
// appended to a journal file so that a test in another process can check
// them; the journal never holds a PIN or its length.
//
// Only C_GetFunctionList is exported; every entry point catches everything
// and returns a CK_RV.
#include "fixture.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <string>

#if defined(_WIN32)
#define TESTTOKEN_EXPORT // dllexport comes with the header's CK_SPEC
#else
#define TESTTOKEN_EXPORT __attribute__((visibility("default")))
#endif

namespace testtoken {
namespace {

struct SlotState {
    SlotConfig config;
    unsigned long triesLeft = 0;
    bool loggedIn = false;
    std::map<std::string, unsigned long> calls; // calls on this slot per function

    bool removed = false;
    CK_RV removedRv = CKR_OK;
    long removedLeft = 0; // -1: until C_CloseAllSessions, 0: for ever, k: k calls
};

struct Session {
    std::size_t slot = 0; // index into Module::slots
    bool dead = false;    // the card was pulled out under this session

    bool finding = false;
    std::vector<CK_OBJECT_HANDLE> found;
    std::size_t position = 0;
    std::optional<CK_OBJECT_CLASS> searchClass;

    bool signing = false;
    CK_MECHANISM_TYPE mechanism = 0;
    std::shared_ptr<EVP_PKEY> key;
};

struct Module {
    bool initialized = false;
    Fixture fixture;
    std::vector<SlotState> slots;
    std::map<CK_SESSION_HANDLE, Session> sessions;
    CK_SESSION_HANDLE nextSession = 1;
};

Module &module()
{
    static Module m;
    return m;
}

std::recursive_mutex &moduleMutex()
{
    static std::recursive_mutex m;
    return m;
}

// Runs one entry point under the module lock; nothing escapes to the caller.
template <typename Body>
CK_RV guarded(Body &&body) noexcept
{
    try {
        std::lock_guard<std::recursive_mutex> lock(moduleMutex());
        return body();
    } catch (const std::bad_alloc &) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

std::string hex(const unsigned char *data, std::size_t length)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0xF];
    }
    return out;
}

std::string number(unsigned long value) { return std::to_string(value); }

std::string hexNumber(unsigned long value)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lX", value);
    return buf;
}

// Appends one line; opened and closed each time so that a test reading the
// file while the host still runs sees every line.
void journal(const std::string &line)
{
    const std::string &path = module().fixture.journal;
    if (path.empty())
        return;
    FILE *f = std::fopen(path.c_str(), "ab");
    if (!f) {
        // A test counting lines would be misled; say so where it shows.
        std::fprintf(stderr, "quorvanta test token: cannot append to journal %s\n", path.c_str());
        return;
    }
    std::fputs(line.c_str(), f);
    std::fputc('\n', f);
    std::fclose(f);
}

std::string result(CK_RV rv) { return rv == CKR_OK ? "ok" : rvName(rv); }

std::string slotField(const SlotState &s) { return " slot=" + number(s.config.id); }

SlotState *findSlot(CK_SLOT_ID id)
{
    for (SlotState &s : module().slots)
        if (s.config.id == id)
            return &s;
    return nullptr;
}

void closeSessionsOf(std::size_t slot)
{
    auto &sessions = module().sessions;
    for (auto it = sessions.begin(); it != sessions.end();)
        it = it->second.slot == slot ? sessions.erase(it) : std::next(it);
    module().slots[slot].loggedIn = false;
}

void reinsert(SlotState &s)
{
    s.removed = false;
    journal("card-inserted" + slotField(s));
}

// Every call on a slot or on one of its sessions passes here: it counts the
// call, pulls the card when the fixture says so, and answers for a pulled card.
CK_RV slotCall(std::size_t slot, const char *function)
{
    SlotState &s = module().slots[slot];
    unsigned long n = ++s.calls[function];
    if (!s.removed) {
        for (const Removal &r : s.config.removals) {
            if (r.function == function && r.atCall == n) {
                s.removed = true;
                s.removedRv = r.rv;
                s.removedLeft = r.count;
                s.loggedIn = false;
                for (auto &entry : module().sessions)
                    if (entry.second.slot == slot)
                        entry.second.dead = true;
                journal("card-removed" + slotField(s) + " at=" + function);
                break;
            }
        }
    }
    if (!s.removed)
        return CKR_OK;
    CK_RV rv = s.removedRv;
    if (s.removedLeft > 0 && --s.removedLeft == 0)
        reinsert(s);
    return rv;
}

CK_RV slotIndex(CK_SLOT_ID id, std::size_t &index)
{
    if (!module().initialized)
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    SlotState *s = findSlot(id);
    if (!s)
        return CKR_SLOT_ID_INVALID;
    index = static_cast<std::size_t>(s - module().slots.data());
    return CKR_OK;
}

// Looks up a live session and counts the call on its slot.
CK_RV sessionCall(const char *function, CK_SESSION_HANDLE handle, Session *&out)
{
    if (!module().initialized)
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    auto it = module().sessions.find(handle);
    if (it == module().sessions.end())
        return CKR_SESSION_HANDLE_INVALID;
    if (CK_RV rv = slotCall(it->second.slot, function))
        return rv;
    if (it->second.dead)
        return CKR_SESSION_HANDLE_INVALID;
    out = &it->second;
    return CKR_OK;
}

Object *findObject(SlotState &s, CK_OBJECT_HANDLE handle)
{
    for (Object &o : s.config.objects)
        if (o.handle == handle)
            return &o;
    return nullptr;
}

bool isPrivateObject(const Object &o)
{
    auto it = o.attributes.find(CKA_PRIVATE);
    return it != o.attributes.end() && !it->second.empty() && it->second[0] == CK_TRUE;
}

bool isUlongAttribute(CK_ATTRIBUTE_TYPE type)
{
    return type == CKA_CLASS || type == CKA_KEY_TYPE || type == CKA_CERTIFICATE_TYPE;
}

CK_ULONG ulongValue(const Bytes &value)
{
    CK_ULONG out = 0;
    std::memcpy(&out, value.data(), std::min(value.size(), sizeof out));
    return out;
}

CK_FLAGS pinFlags(const SlotState &s)
{
    if (s.triesLeft == 0)
        return CKF_USER_PIN_LOCKED;
    CK_FLAGS flags = 0;
    if (s.triesLeft < s.config.retries)
        flags |= CKF_USER_PIN_COUNT_LOW;
    if (s.triesLeft == 1)
        flags |= CKF_USER_PIN_FINAL_TRY;
    return flags;
}

// Cryptoki's fixed-width text fields: blank-padded, not terminated.
void padded(unsigned char *field, std::size_t size, const std::string &text)
{
    std::memset(field, ' ', size);
    std::memcpy(field, text.data(), std::min(size, text.size()));
}

std::size_t ecFieldBytes(EVP_PKEY *key) { return (EVP_PKEY_get_bits(key) + 7) / 8; }

std::size_t signatureLength(const Session &s)
{
    if (s.mechanism == CKM_ECDSA)
        return 2 * ecFieldBytes(s.key.get());
    return static_cast<std::size_t>(EVP_PKEY_get_size(s.key.get()));
}

struct PkeyCtxDeleter {
    void operator()(EVP_PKEY_CTX *ctx) const { EVP_PKEY_CTX_free(ctx); }
};
struct EcdsaSigDeleter {
    void operator()(ECDSA_SIG *sig) const { ECDSA_SIG_free(sig); }
};

// Signs the bytes as given: PKCS#1 v1.5 type 1 padding for RSA, plain ECDSA
// (r||s, each padded to the curve size) for EC. Nothing is hashed here.
CK_RV signData(const Session &s, const unsigned char *data, std::size_t length,
               unsigned char *out)
{
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter> ctx(EVP_PKEY_CTX_new(s.key.get(), nullptr));
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0)
        return CKR_FUNCTION_FAILED;
    if (s.mechanism == CKM_RSA_PKCS) {
        if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0)
            return CKR_FUNCTION_FAILED;
        std::size_t outLength = signatureLength(s);
        if (EVP_PKEY_sign(ctx.get(), out, &outLength, data, length) <= 0)
            return CKR_FUNCTION_FAILED;
        return CKR_OK;
    }
    std::size_t derLength = 0;
    if (EVP_PKEY_sign(ctx.get(), nullptr, &derLength, data, length) <= 0)
        return CKR_FUNCTION_FAILED;
    Bytes der(derLength);
    if (EVP_PKEY_sign(ctx.get(), der.data(), &derLength, data, length) <= 0)
        return CKR_FUNCTION_FAILED;
    const unsigned char *p = der.data();
    std::unique_ptr<ECDSA_SIG, EcdsaSigDeleter> sig(
        d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(derLength)));
    if (!sig)
        return CKR_FUNCTION_FAILED;
    int half = static_cast<int>(ecFieldBytes(s.key.get()));
    if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), out, half) != half ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), out + half, half) != half)
        return CKR_FUNCTION_FAILED;
    return CKR_OK;
}

const char *fixtureVariable = "QUORVANTA_TESTTOKEN_FIXTURE";

// ---------------------------------------------------------------------------
// Entry points.

CK_RV initialize(void *args)
{
    Module &m = module();
    if (m.initialized)
        return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    if (args && static_cast<CK_C_INITIALIZE_ARGS *>(args)->pReserved)
        return CKR_ARGUMENTS_BAD;
    const char *path = std::getenv(fixtureVariable);
    if (!path || !*path) {
        std::fprintf(stderr, "quorvanta test token: %s is not set\n", fixtureVariable);
        return CKR_GENERAL_ERROR;
    }
    try {
        m.fixture = loadFixture(path);
    } catch (const FixtureError &e) {
        std::fprintf(stderr, "quorvanta test token: %s\n", e.what());
        return CKR_GENERAL_ERROR;
    }
    m.slots.clear();
    for (SlotConfig &config : m.fixture.slots) {
        SlotState s;
        s.config = std::move(config);
        s.triesLeft = s.config.triesLeft;
        m.slots.push_back(std::move(s));
    }
    m.fixture.slots.clear();
    m.sessions.clear();
    m.nextSession = 1;
    m.initialized = true;
    if (m.fixture.writeInitStdout) {
        std::fputs(m.fixture.initStdout.c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    journal("C_Initialize ok");
    return CKR_OK;
}

CK_RV finalize(void *reserved)
{
    Module &m = module();
    if (reserved)
        return CKR_ARGUMENTS_BAD;
    if (!m.initialized)
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    journal("C_Finalize ok");
    m.sessions.clear();
    m.slots.clear();
    m.fixture = Fixture();
    m.initialized = false;
    return CKR_OK;
}

CK_RV getInfo(CK_INFO *info)
{
    if (!module().initialized)
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!info)
        return CKR_ARGUMENTS_BAD;
    std::memset(info, 0, sizeof *info);
    info->cryptokiVersion.major = 2;
    info->cryptokiVersion.minor = 40;
    padded(info->manufacturerID, sizeof info->manufacturerID, "Quorvanta");
    padded(info->libraryDescription, sizeof info->libraryDescription, "Quorvanta test token");
    info->libraryVersion.major = 1;
    return CKR_OK;
}

CK_RV getSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID *list, CK_ULONG *count)
{
    Module &m = module();
    if (!m.initialized)
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!count)
        return CKR_ARGUMENTS_BAD;
    std::vector<CK_SLOT_ID> ids;
    for (const SlotState &s : m.slots)
        if (!tokenPresent || (s.config.tokenPresent && !s.removed))
            ids.push_back(s.config.id);
    if (!list) {
        *count = ids.size() + m.fixture.slotListExtra;
        return CKR_OK;
    }
    if (*count < ids.size()) {
        *count = ids.size();
        return CKR_BUFFER_TOO_SMALL;
    }
    std::copy(ids.begin(), ids.end(), list);
    *count = ids.size();
    return CKR_OK;
}

CK_RV getSlotInfo(CK_SLOT_ID id, CK_SLOT_INFO *info)
{
    std::size_t index = 0;
    if (CK_RV rv = slotIndex(id, index))
        return rv;
    if (!info)
        return CKR_ARGUMENTS_BAD;
    const SlotState &s = module().slots[index];
    std::memset(info, 0, sizeof *info);
    padded(info->slotDescription, sizeof info->slotDescription,
           "Quorvanta test reader " + number(s.config.id));
    padded(info->manufacturerID, sizeof info->manufacturerID, "Quorvanta");
    info->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;
    if (s.config.tokenPresent && !s.removed)
        info->flags |= CKF_TOKEN_PRESENT;
    return CKR_OK;
}

CK_RV getTokenInfo(CK_SLOT_ID id, CK_TOKEN_INFO *info)
{
    std::size_t index = 0;
    if (CK_RV rv = slotIndex(id, index))
        return rv;
    if (!info)
        return CKR_ARGUMENTS_BAD;
    SlotState &s = module().slots[index];
    if (!s.config.tokenPresent)
        return CKR_TOKEN_NOT_PRESENT;
    if (CK_RV rv = slotCall(index, "C_GetTokenInfo")) {
        journal("C_GetTokenInfo" + slotField(s) + " " + rvName(rv));
        return rv;
    }
    CK_ULONG sessions = 0;
    for (const auto &entry : module().sessions)
        if (entry.second.slot == index)
            ++sessions;
    std::memset(info, 0, sizeof *info);
    padded(info->label, sizeof info->label, s.config.label);
    padded(info->manufacturerID, sizeof info->manufacturerID, "Quorvanta");
    padded(info->model, sizeof info->model, "test token");
    padded(info->serialNumber, sizeof info->serialNumber, s.config.serial);
    info->flags = CKF_LOGIN_REQUIRED | CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED |
                  pinFlags(s);
    info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
    info->ulSessionCount = sessions;
    info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
    info->ulRwSessionCount = 0;
    info->ulMaxPinLen = s.config.maxPin;
    info->ulMinPinLen = s.config.minPin;
    info->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info->hardwareVersion.major = 1;
    info->firmwareVersion.major = 1;
    padded(info->utcTime, sizeof info->utcTime, "");
    journal("C_GetTokenInfo" + slotField(s) + " flags=" + hexNumber(info->flags) + " ok");
    return CKR_OK;
}

CK_RV openSession(CK_SLOT_ID id, CK_FLAGS flags, CK_SESSION_HANDLE *handle)
{
    std::size_t index = 0;
    if (CK_RV rv = slotIndex(id, index))
        return rv;
    if (!handle)
        return CKR_ARGUMENTS_BAD;
    SlotState &s = module().slots[index];
    CK_RV rv = CKR_OK;
    if (!s.config.tokenPresent)
        rv = CKR_TOKEN_NOT_PRESENT;
    else if ((rv = slotCall(index, "C_OpenSession")) != CKR_OK)
        ;
    else if (!(flags & CKF_SERIAL_SESSION))
        rv = CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    else
        rv = s.config.openSession.take();
    if (rv == CKR_OK) {
        Session session;
        session.slot = index;
        *handle = module().nextSession++;
        module().sessions[*handle] = std::move(session);
    }
    journal("C_OpenSession" + slotField(s) + " " + result(rv));
    return rv;
}

CK_RV closeSession(CK_SESSION_HANDLE handle)
{
    Module &m = module();
    if (!m.initialized)
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    auto it = m.sessions.find(handle);
    if (it == m.sessions.end())
        return CKR_SESSION_HANDLE_INVALID;
    std::size_t slot = it->second.slot;
    CK_RV rv = slotCall(slot, "C_CloseSession");
    if (rv == CKR_OK && it->second.dead)
        rv = CKR_SESSION_HANDLE_INVALID;
    m.sessions.erase(it);
    bool last = std::none_of(m.sessions.begin(), m.sessions.end(),
                             [slot](const auto &e) { return e.second.slot == slot; });
    if (last)
        m.slots[slot].loggedIn = false;
    journal("C_CloseSession" + slotField(m.slots[slot]) + " " + result(rv));
    return rv;
}

CK_RV closeAllSessions(CK_SLOT_ID id)
{
    std::size_t index = 0;
    if (CK_RV rv = slotIndex(id, index))
        return rv;
    SlotState &s = module().slots[index];
    CK_RV rv = slotCall(index, "C_CloseAllSessions");
    closeSessionsOf(index);
    if (s.removed && s.removedLeft < 0)
        reinsert(s);
    if (rv == CKR_OK)
        rv = s.config.closeAll.take();
    journal("C_CloseAllSessions" + slotField(s) + " " + result(rv));
    return rv;
}

CK_RV getSessionInfo(CK_SESSION_HANDLE handle, CK_SESSION_INFO *info)
{
    Session *session = nullptr;
    if (CK_RV rv = sessionCall("C_GetSessionInfo", handle, session))
        return rv;
    if (!info)
        return CKR_ARGUMENTS_BAD;
    const SlotState &s = module().slots[session->slot];
    std::memset(info, 0, sizeof *info);
    info->slotID = s.config.id;
    info->state = s.loggedIn ? CKS_RO_USER_FUNCTIONS : CKS_RO_PUBLIC_SESSION;
    info->flags = CKF_SERIAL_SESSION;
    return CKR_OK;
}

// Checks the PIN against the fixture and keeps the retry counter the way a
// card does: a wrong PIN costs one try, a right one fills the counter again,
// and an empty counter locks the PIN.
CK_RV loginUser(SlotState &s, const unsigned char *pin, CK_ULONG length)
{
    if (CK_RV rv = s.config.login.take())
        return rv;
    if (s.loggedIn)
        return CKR_USER_ALREADY_LOGGED_IN;
    if (s.triesLeft == 0)
        return CKR_PIN_LOCKED;
    if (!pin && length != 0)
        return CKR_ARGUMENTS_BAD;
    if (length < s.config.minPin || length > s.config.maxPin)
        return CKR_PIN_LEN_RANGE;
    const std::string &expected = s.config.pin;
    if (length == expected.size() && CRYPTO_memcmp(pin, expected.data(), length) == 0) {
        s.triesLeft = s.config.retries;
        s.loggedIn = true;
        return CKR_OK;
    }
    --s.triesLeft;
    return CKR_PIN_INCORRECT;
}

CK_RV login(CK_SESSION_HANDLE handle, CK_USER_TYPE userType, unsigned char *pin,
            CK_ULONG length)
{
    Session *session = nullptr;
    if (CK_RV rv = sessionCall("C_Login", handle, session)) {
        auto it = module().sessions.find(handle);
        if (it != module().sessions.end())
            journal("C_Login" + slotField(module().slots[it->second.slot]) + " " + rvName(rv));
        return rv;
    }
    SlotState &s = module().slots[session->slot];
    CK_RV rv = userType == CKU_USER ? loginUser(s, pin, length) : CKR_USER_TYPE_INVALID;
    journal("C_Login" + slotField(s) + " " + result(rv));
    return rv;
}

CK_RV logout(CK_SESSION_HANDLE handle)
{
    Session *session = nullptr;
    CK_RV rv = sessionCall("C_Logout", handle, session);
    if (rv == CKR_OK) {
        SlotState &s = module().slots[session->slot];
        if (!s.loggedIn)
            rv = CKR_USER_NOT_LOGGED_IN;
        s.loggedIn = false;
        journal("C_Logout" + slotField(s) + " " + result(rv));
    }
    return rv;
}

CK_RV getAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object,
                        CK_ATTRIBUTE *templ, CK_ULONG count)
{
    Session *session = nullptr;
    if (CK_RV rv = sessionCall("C_GetAttributeValue", handle, session))
        return rv;
    if (!templ && count)
        return CKR_ARGUMENTS_BAD;
    SlotState &s = module().slots[session->slot];
    Object *o = findObject(s, object);
    if (!o || (isPrivateObject(*o) && !s.loggedIn))
        return CKR_OBJECT_HANDLE_INVALID;

    CK_RV rv = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE &a = templ[i];
        bool sensitive = o->objectClass == CKO_PRIVATE_KEY &&
                         (a.type == CKA_VALUE || a.type == CKA_PRIVATE_EXPONENT);
        auto it = o->attributes.find(a.type);
        if (sensitive || it == o->attributes.end()) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = sensitive ? CKR_ATTRIBUTE_SENSITIVE : CKR_ATTRIBUTE_TYPE_INVALID;
            continue;
        }
        const Bytes &value = it->second;
        if (!a.pValue) {
            auto reported = s.config.reportedLength.find(a.type);
            a.ulValueLen = reported != s.config.reportedLength.end() ? reported->second
                                                                     : value.size();
        } else if (a.ulValueLen >= value.size()) {
            if (!value.empty())
                std::memcpy(a.pValue, value.data(), value.size());
            a.ulValueLen = value.size();
        } else {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_BUFFER_TOO_SMALL;
        }
    }
    return rv;
}

CK_RV findObjectsInit(CK_SESSION_HANDLE handle, CK_ATTRIBUTE *templ, CK_ULONG count)
{
    Session *session = nullptr;
    if (CK_RV rv = sessionCall("C_FindObjectsInit", handle, session))
        return rv;
    SlotState &s = module().slots[session->slot];
    std::string what;
    auto finish = [&](CK_RV rv) {
        journal("C_FindObjectsInit" + slotField(s) + what + " " + result(rv));
        return rv;
    };
    if (session->finding)
        return finish(CKR_OPERATION_ACTIVE);
    if (!templ && count)
        return finish(CKR_ARGUMENTS_BAD);

    std::optional<CK_OBJECT_CLASS> searchClass;
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE &a = templ[i];
        if (!a.pValue && a.ulValueLen)
            return finish(CKR_ARGUMENTS_BAD);
        // Integer attributes are CK_ULONG wide; a shorter value is a caller's
        // mistake that a real module rejects too.
        if (isUlongAttribute(a.type) && a.ulValueLen != sizeof(CK_ULONG))
            return finish(CKR_ATTRIBUTE_VALUE_INVALID);
        const unsigned char *p = static_cast<const unsigned char *>(a.pValue);
        Bytes value(p, p + a.ulValueLen);
        if (a.type == CKA_CLASS) {
            searchClass = ulongValue(value);
            what += " class=" + number(*searchClass);
        } else if (a.type == CKA_ID) {
            what += " id=" + hex(value.data(), value.size());
        }
    }

    session->found.clear();
    for (const Object &o : s.config.objects) {
        if (isPrivateObject(o) && !s.loggedIn)
            continue;
        bool match = true;
        for (CK_ULONG i = 0; i < count && match; ++i) {
            auto it = o.attributes.find(templ[i].type);
            const unsigned char *p = static_cast<const unsigned char *>(templ[i].pValue);
            match = it != o.attributes.end() && it->second.size() == templ[i].ulValueLen &&
                    (templ[i].ulValueLen == 0 ||
                     std::memcmp(it->second.data(), p, templ[i].ulValueLen) == 0);
        }
        if (match)
            session->found.push_back(o.handle);
    }
    session->finding = true;
    session->position = 0;
    session->searchClass = searchClass;
    return finish(CKR_OK);
}

CK_RV findObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE *out, CK_ULONG max,
                  CK_ULONG *count)
{
    Session *session = nullptr;
    if (CK_RV rv = sessionCall("C_FindObjects", handle, session))
        return rv;
    if (!session->finding)
        return CKR_OPERATION_NOT_INITIALIZED;
    if (!out || !count)
        return CKR_ARGUMENTS_BAD;
    SlotState &s = module().slots[session->slot];
    const FindFailure &failure = s.config.find;
    bool failing = failure.enabled &&
                   (failure.anyClass || session->searchClass == failure.objectClass);
    std::size_t available = session->found.size() - session->position;
    if (failing) {
        if (session->position >= failure.after) {
            journal("C_FindObjects" + slotField(s) + " " + rvName(failure.rv));
            return failure.rv;
        }
        available = std::min<std::size_t>(available, failure.after - session->position);
    }
    std::size_t n = std::min<std::size_t>(available, max);
    std::copy_n(session->found.begin() + session->position, n, out);
    session->position += n;
    *count = n;
    return CKR_OK;
}

CK_RV findObjectsFinal(CK_SESSION_HANDLE handle)
{
    Session *session = nullptr;
    if (CK_RV rv = sessionCall("C_FindObjectsFinal", handle, session))
        return rv;
    if (!session->finding)
        return CKR_OPERATION_NOT_INITIALIZED;
    journal("C_FindObjectsFinal" + slotField(module().slots[session->slot]) +
            " found=" + number(session->position) + " ok");
    session->finding = false;
    session->found.clear();
    return CKR_OK;
}

CK_RV signInit(CK_SESSION_HANDLE handle, CK_MECHANISM *mechanism, CK_OBJECT_HANDLE key)
{
    Session *session = nullptr;
    if (CK_RV rv = sessionCall("C_SignInit", handle, session))
        return rv;
    SlotState &s = module().slots[session->slot];
    std::string what = mechanism ? " mechanism=" + hexNumber(mechanism->mechanism) : "";
    auto finish = [&](CK_RV rv) {
        journal("C_SignInit" + slotField(s) + what + " " + result(rv));
        return rv;
    };
    if (session->signing)
        return finish(CKR_OPERATION_ACTIVE);
    if (!mechanism)
        return finish(CKR_ARGUMENTS_BAD);
    if (mechanism->pParameter || mechanism->ulParameterLen)
        return finish(CKR_MECHANISM_PARAM_INVALID);
    Object *o = findObject(s, key);
    if (!o || o->objectClass != CKO_PRIVATE_KEY || !o->key)
        return finish(CKR_KEY_HANDLE_INVALID);
    if (!s.loggedIn)
        return finish(CKR_USER_NOT_LOGGED_IN);

    CK_KEY_TYPE reported = ulongValue(o->attributes[CKA_KEY_TYPE]);
    int actual = EVP_PKEY_get_base_id(o->key.get());
    if (mechanism->mechanism == CKM_RSA_PKCS) {
        if (reported != CKK_RSA || actual != EVP_PKEY_RSA)
            return finish(CKR_KEY_TYPE_INCONSISTENT);
    } else if (mechanism->mechanism == CKM_ECDSA) {
        if (reported != CKK_EC || actual != EVP_PKEY_EC)
            return finish(CKR_KEY_TYPE_INCONSISTENT);
    } else {
        return finish(CKR_MECHANISM_INVALID);
    }
    session->signing = true;
    session->mechanism = mechanism->mechanism;
    session->key = o->key;
    return finish(CKR_OK);
}

CK_RV sign(CK_SESSION_HANDLE handle, unsigned char *data, CK_ULONG length,
           unsigned char *signature, CK_ULONG *signatureLength_)
{
    Session *session = nullptr;
    if (CK_RV rv = sessionCall("C_Sign", handle, session)) {
        auto it = module().sessions.find(handle);
        if (it != module().sessions.end())
            journal("C_Sign" + slotField(module().slots[it->second.slot]) + " " + rvName(rv));
        return rv;
    }
    if (!session->signing)
        return CKR_OPERATION_NOT_INITIALIZED;
    SlotState &s = module().slots[session->slot];
    std::string what = " mechanism=" + hexNumber(session->mechanism) + " data=" +
                       (data ? hex(data, length) : std::string());
    auto end = [&](CK_RV rv) {
        session->signing = false;
        session->key.reset();
        journal("C_Sign" + slotField(s) + what + " " + result(rv));
        return rv;
    };
    if ((!data && length) || !signatureLength_)
        return end(CKR_ARGUMENTS_BAD);
    std::size_t size = signatureLength(*session);
    if (session->mechanism == CKM_RSA_PKCS && length + 11 > size)
        return end(CKR_DATA_LEN_RANGE);
    if (!signature) {
        *signatureLength_ = size + s.config.signLengthExtra;
        return CKR_OK;
    }
    if (*signatureLength_ < size) {
        *signatureLength_ = size;
        return CKR_BUFFER_TOO_SMALL;
    }
    CK_RV rv = signData(*session, data, length, signature);
    if (rv == CKR_OK)
        *signatureLength_ = size;
    return end(rv);
}

// Function list slots the host never calls.
template <typename F>
struct NotSupported;
template <typename... Args>
struct NotSupported<CK_RV (*)(Args...)> {
    static CK_RV call(Args...) { return CKR_FUNCTION_NOT_SUPPORTED; }
};

CK_RV getFunctionList(CK_FUNCTION_LIST **list);

CK_FUNCTION_LIST makeFunctionList()
{
    CK_FUNCTION_LIST f;
    std::memset(&f, 0, sizeof f);
    f.version.major = 2;
    f.version.minor = 40;
    f.C_Initialize = [](void *args) -> CK_RV { return guarded([&] { return initialize(args); }); };
    f.C_Finalize = [](void *r) -> CK_RV { return guarded([&] { return finalize(r); }); };
    f.C_GetInfo = [](CK_INFO *i) -> CK_RV { return guarded([&] { return getInfo(i); }); };
    f.C_GetFunctionList = [](CK_FUNCTION_LIST **l) -> CK_RV { return getFunctionList(l); };
    f.C_GetSlotList = [](CK_BBOOL p, CK_SLOT_ID *l, CK_ULONG *c) -> CK_RV {
        return guarded([&] { return getSlotList(p, l, c); });
    };
    f.C_GetSlotInfo = [](CK_SLOT_ID id, CK_SLOT_INFO *i) -> CK_RV {
        return guarded([&] { return getSlotInfo(id, i); });
    };
    f.C_GetTokenInfo = [](CK_SLOT_ID id, CK_TOKEN_INFO *i) -> CK_RV {
        return guarded([&] { return getTokenInfo(id, i); });
    };
    f.C_OpenSession = [](CK_SLOT_ID id, CK_FLAGS fl, void *, CK_NOTIFY, CK_SESSION_HANDLE *h) -> CK_RV {
        return guarded([&] { return openSession(id, fl, h); });
    };
    f.C_CloseSession = [](CK_SESSION_HANDLE h) -> CK_RV {
        return guarded([&] { return closeSession(h); });
    };
    f.C_CloseAllSessions = [](CK_SLOT_ID id) -> CK_RV {
        return guarded([&] { return closeAllSessions(id); });
    };
    f.C_GetSessionInfo = [](CK_SESSION_HANDLE h, CK_SESSION_INFO *i) -> CK_RV {
        return guarded([&] { return getSessionInfo(h, i); });
    };
    f.C_Login = [](CK_SESSION_HANDLE h, CK_USER_TYPE u, unsigned char *p, CK_ULONG l) -> CK_RV {
        return guarded([&] { return login(h, u, p, l); });
    };
    f.C_Logout = [](CK_SESSION_HANDLE h) -> CK_RV { return guarded([&] { return logout(h); }); };
    f.C_GetAttributeValue = [](CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o, CK_ATTRIBUTE *t,
                               CK_ULONG c) -> CK_RV {
        return guarded([&] { return getAttributeValue(h, o, t, c); });
    };
    f.C_FindObjectsInit = [](CK_SESSION_HANDLE h, CK_ATTRIBUTE *t, CK_ULONG c) -> CK_RV {
        return guarded([&] { return findObjectsInit(h, t, c); });
    };
    f.C_FindObjects = [](CK_SESSION_HANDLE h, CK_OBJECT_HANDLE *o, CK_ULONG m,
                         CK_ULONG *c) -> CK_RV {
        return guarded([&] { return findObjects(h, o, m, c); });
    };
    f.C_FindObjectsFinal = [](CK_SESSION_HANDLE h) -> CK_RV {
        return guarded([&] { return findObjectsFinal(h); });
    };
    f.C_SignInit = [](CK_SESSION_HANDLE h, CK_MECHANISM *m, CK_OBJECT_HANDLE k) -> CK_RV {
        return guarded([&] { return signInit(h, m, k); });
    };
    f.C_Sign = [](CK_SESSION_HANDLE h, unsigned char *d, CK_ULONG l, unsigned char *s,
                  CK_ULONG *sl) -> CK_RV { return guarded([&] { return sign(h, d, l, s, sl); }); };

#define NOT_SUPPORTED(name) f.C_##name = &NotSupported<CK_C_##name>::call
    NOT_SUPPORTED(GetMechanismList);
    NOT_SUPPORTED(GetMechanismInfo);
    NOT_SUPPORTED(InitToken);
    NOT_SUPPORTED(InitPIN);
    NOT_SUPPORTED(SetPIN);
    NOT_SUPPORTED(GetOperationState);
    NOT_SUPPORTED(SetOperationState);
    NOT_SUPPORTED(CreateObject);
    NOT_SUPPORTED(CopyObject);
    NOT_SUPPORTED(DestroyObject);
    NOT_SUPPORTED(GetObjectSize);
    NOT_SUPPORTED(SetAttributeValue);
    NOT_SUPPORTED(EncryptInit);
    NOT_SUPPORTED(Encrypt);
    NOT_SUPPORTED(EncryptUpdate);
    NOT_SUPPORTED(EncryptFinal);
    NOT_SUPPORTED(DecryptInit);
    NOT_SUPPORTED(Decrypt);
    NOT_SUPPORTED(DecryptUpdate);
    NOT_SUPPORTED(DecryptFinal);
    NOT_SUPPORTED(DigestInit);
    NOT_SUPPORTED(Digest);
    NOT_SUPPORTED(DigestUpdate);
    NOT_SUPPORTED(DigestKey);
    NOT_SUPPORTED(DigestFinal);
    NOT_SUPPORTED(SignUpdate);
    NOT_SUPPORTED(SignFinal);
    NOT_SUPPORTED(SignRecoverInit);
    NOT_SUPPORTED(SignRecover);
    NOT_SUPPORTED(VerifyInit);
    NOT_SUPPORTED(Verify);
    NOT_SUPPORTED(VerifyUpdate);
    NOT_SUPPORTED(VerifyFinal);
    NOT_SUPPORTED(VerifyRecoverInit);
    NOT_SUPPORTED(VerifyRecover);
    NOT_SUPPORTED(DigestEncryptUpdate);
    NOT_SUPPORTED(DecryptDigestUpdate);
    NOT_SUPPORTED(SignEncryptUpdate);
    NOT_SUPPORTED(DecryptVerifyUpdate);
    NOT_SUPPORTED(GenerateKey);
    NOT_SUPPORTED(GenerateKeyPair);
    NOT_SUPPORTED(WrapKey);
    NOT_SUPPORTED(UnwrapKey);
    NOT_SUPPORTED(DeriveKey);
    NOT_SUPPORTED(SeedRandom);
    NOT_SUPPORTED(GenerateRandom);
    NOT_SUPPORTED(GetFunctionStatus);
    NOT_SUPPORTED(CancelFunction);
    NOT_SUPPORTED(WaitForSlotEvent);
#undef NOT_SUPPORTED
    return f;
}

CK_RV getFunctionList(CK_FUNCTION_LIST **list)
{
    try {
        static CK_FUNCTION_LIST functions = makeFunctionList();
        if (!list)
            return CKR_ARGUMENTS_BAD;
        *list = &functions;
        return CKR_OK;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

} // namespace
} // namespace testtoken

extern "C" TESTTOKEN_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST **list)
{
    return testtoken::getFunctionList(list);
}
