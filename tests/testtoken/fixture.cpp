// Reads the test token's fixture file: which slots exist, what the tokens in
// them hold, and how they fail.
//
// Format: one statement per line, words separated by blanks. Empty lines and
// lines starting with '#' are ignored. Paths are relative to the fixture
// file's directory unless absolute. Numbers are decimal or 0x-hex. A return
// code <rv> is a CKR_ name (CKR_DEVICE_ERROR ...) or a number.
//
// Before the first slot (whole module):
//   journal <path>              append one line per notable call to <path>
//   init-stdout <text>          C_Initialize writes <text> and a newline to stdout
//   slot-list-extra <n>         C_GetSlotList's size query reports n slots more
//                               than the fill call then fills
// A slot section (until the next "slot"):
//   slot <id>                   a reader with this CK_SLOT_ID, holding a token
//   no-token                    the reader is empty
//   label <text>                token label (rest of the line, up to 32 bytes)
//   serial <text>               token serial number (up to 16 bytes)
//   pin <text>                  user PIN (default 1234)
//   retries <n>                 PIN retry counter when full (default 3)
//   tries-left <n>              counter at start (default: full)
//   min-pin <n>, max-pin <n>    accepted PIN lengths (default 4 and 12)
//   object cert <file> id <hex> [label <text>]
//                               certificate; CKA_VALUE is the file's bytes
//   object cert-bytes <hex> id <hex> [label <text>]
//                               certificate whose CKA_VALUE is these bytes
//   object key <pem> id <hex> [key-type <t>] [label <text>]
//                               a private and a public key object from a PEM
//                               private key; CKA_KEY_TYPE from the key unless
//                               key-type (rsa, ec, dsa or a number) overrides it
//   object private-key <pem> id <hex> [key-type <t>] [label <text>]
//   object public-key <pem> id <hex> [key-type <t>] [label <text>]
//   fail-open-session <rv> [<count>]   C_OpenSession fails (count times, else always)
//   fail-login <rv> [<count>]          C_Login fails before the PIN is looked at
//   fail-close-all <rv> [<count>]      C_CloseAllSessions fails (sessions still close)
//   fail-find <cert|private-key|public-key|any> after <n> [<rv>]
//                               a search for that class hands out n objects,
//                               then C_FindObjects returns rv (CKR_DEVICE_ERROR)
//   remove-at <C_Function> [<n>] [<rv>]
//                               the n-th call (default 1) of that function on
//                               this slot pulls the card: it and later calls on
//                               the slot return rv (default CKR_DEVICE_REMOVED)
//   remove-count <k>            the card is back after k failing calls; 0: never;
//                               default: back once C_CloseAllSessions was called
//   report-length <attribute> <n>
//                               the size query of C_GetAttributeValue reports n
//                               for this attribute (CKA_VALUE, CKA_ID, CKA_LABEL,
//                               CKA_CLASS, CKA_KEY_TYPE or a number)
//   sign-length-extra <n>       the size query of C_Sign reports n bytes more
//                               than the signature; the signing call reports
//                               the real length
#include "fixture.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace testtoken {

CK_RV Failure::take()
{
    if (remaining == 0)
        return CKR_OK;
    if (remaining > 0)
        --remaining;
    return rv;
}

SlotConfig::~SlotConfig()
{
    if (!pin.empty())
        OPENSSL_cleanse(&pin[0], pin.size());
}

namespace {

struct RvNameEntry {
    CK_RV rv;
    const char *name;
};

#define RV_ENTRY(name) { name, #name }
const RvNameEntry rvNames[] = {
    RV_ENTRY(CKR_OK),
    RV_ENTRY(CKR_CANCEL),
    RV_ENTRY(CKR_HOST_MEMORY),
    RV_ENTRY(CKR_SLOT_ID_INVALID),
    RV_ENTRY(CKR_GENERAL_ERROR),
    RV_ENTRY(CKR_FUNCTION_FAILED),
    RV_ENTRY(CKR_ARGUMENTS_BAD),
    RV_ENTRY(CKR_ATTRIBUTE_SENSITIVE),
    RV_ENTRY(CKR_ATTRIBUTE_TYPE_INVALID),
    RV_ENTRY(CKR_ATTRIBUTE_VALUE_INVALID),
    RV_ENTRY(CKR_DATA_INVALID),
    RV_ENTRY(CKR_DATA_LEN_RANGE),
    RV_ENTRY(CKR_DEVICE_ERROR),
    RV_ENTRY(CKR_DEVICE_MEMORY),
    RV_ENTRY(CKR_DEVICE_REMOVED),
    RV_ENTRY(CKR_FUNCTION_CANCELED),
    RV_ENTRY(CKR_FUNCTION_NOT_SUPPORTED),
    RV_ENTRY(CKR_KEY_HANDLE_INVALID),
    RV_ENTRY(CKR_KEY_TYPE_INCONSISTENT),
    RV_ENTRY(CKR_MECHANISM_INVALID),
    RV_ENTRY(CKR_OBJECT_HANDLE_INVALID),
    RV_ENTRY(CKR_OPERATION_ACTIVE),
    RV_ENTRY(CKR_OPERATION_NOT_INITIALIZED),
    RV_ENTRY(CKR_PIN_INCORRECT),
    RV_ENTRY(CKR_PIN_INVALID),
    RV_ENTRY(CKR_PIN_LEN_RANGE),
    RV_ENTRY(CKR_PIN_EXPIRED),
    RV_ENTRY(CKR_PIN_LOCKED),
    RV_ENTRY(CKR_SESSION_CLOSED),
    RV_ENTRY(CKR_SESSION_COUNT),
    RV_ENTRY(CKR_SESSION_HANDLE_INVALID),
    RV_ENTRY(CKR_SESSION_PARALLEL_NOT_SUPPORTED),
    RV_ENTRY(CKR_TEMPLATE_INCONSISTENT),
    RV_ENTRY(CKR_TOKEN_NOT_PRESENT),
    RV_ENTRY(CKR_TOKEN_NOT_RECOGNIZED),
    RV_ENTRY(CKR_USER_ALREADY_LOGGED_IN),
    RV_ENTRY(CKR_USER_NOT_LOGGED_IN),
    RV_ENTRY(CKR_USER_TYPE_INVALID),
    RV_ENTRY(CKR_BUFFER_TOO_SMALL),
    RV_ENTRY(CKR_CRYPTOKI_NOT_INITIALIZED),
    RV_ENTRY(CKR_CRYPTOKI_ALREADY_INITIALIZED),
};
#undef RV_ENTRY

struct AttributeName {
    CK_ATTRIBUTE_TYPE type;
    const char *name;
};
const AttributeName attributeNames[] = {
    { CKA_CLASS, "CKA_CLASS" },   { CKA_ID, "CKA_ID" },
    { CKA_VALUE, "CKA_VALUE" },   { CKA_LABEL, "CKA_LABEL" },
    { CKA_KEY_TYPE, "CKA_KEY_TYPE" },
};

// The calls that act on a slot or one of its sessions: those a card removal
// can hit.
const std::string slotFunctions[] = {
    "C_GetTokenInfo",    "C_OpenSession",       "C_CloseSession", "C_CloseAllSessions",
    "C_GetSessionInfo",  "C_Login",             "C_Logout",       "C_GetAttributeValue",
    "C_FindObjectsInit", "C_FindObjects",       "C_FindObjectsFinal", "C_SignInit",
    "C_Sign",
};

// Throws with the line number in front; every parse error goes through here.
[[noreturn]] void fail(std::size_t lineNo, const std::string &message)
{
    throw FixtureError("fixture line " + std::to_string(lineNo) + ": " + message);
}

bool parseNumber(const std::string &text, unsigned long &value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    errno = 0;
    char *end = nullptr;
    value = std::strtoul(text.c_str(), &end, 0);
    return errno == 0 && end && *end == '\0';
}

unsigned long number(std::size_t lineNo, const std::string &text)
{
    unsigned long value = 0;
    if (!parseNumber(text, value))
        fail(lineNo, "not a number: " + text);
    return value;
}

Bytes hexBytes(std::size_t lineNo, const std::string &text)
{
    auto digit = [&](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        fail(lineNo, "not hex: " + text);
    };
    if (text.size() % 2 != 0)
        fail(lineNo, "odd number of hex digits: " + text);
    Bytes out;
    for (std::size_t i = 0; i < text.size(); i += 2)
        out.push_back(static_cast<unsigned char>(digit(text[i]) * 16 + digit(text[i + 1])));
    return out;
}

Bytes ulongBytes(CK_ULONG value)
{
    Bytes out(sizeof value);
    std::memcpy(out.data(), &value, sizeof value);
    return out;
}

Bytes textBytes(const std::string &text) { return Bytes(text.begin(), text.end()); }

Bytes readFile(std::size_t lineNo, const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        fail(lineNo, "cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

PkeyPtr readPrivateKey(std::size_t lineNo, const std::string &path)
{
    Bytes pem = readFile(lineNo, path);
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
    PkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key)
        fail(lineNo, "no PEM private key in " + path);
    return key;
}

CK_KEY_TYPE keyTypeOf(const EVP_PKEY *key)
{
    switch (EVP_PKEY_get_base_id(key)) {
    case EVP_PKEY_RSA: return CKK_RSA;
    case EVP_PKEY_EC: return CKK_EC;
    case EVP_PKEY_DSA: return CKK_DSA;
    default: return CKK_GENERIC_SECRET;
    }
}

CK_KEY_TYPE parseKeyType(std::size_t lineNo, const std::string &text)
{
    if (text == "rsa") return CKK_RSA;
    if (text == "ec") return CKK_EC;
    if (text == "dsa") return CKK_DSA;
    return number(lineNo, text);
}

std::string joinFrom(const std::vector<std::string> &words, std::size_t from)
{
    std::string out;
    for (std::size_t i = from; i < words.size(); ++i) {
        if (i > from)
            out += ' ';
        out += words[i];
    }
    return out;
}

class Parser {
public:
    Parser(std::string baseDir) : baseDir(std::move(baseDir)) {}

    void line(std::size_t lineNo, const std::vector<std::string> &words);
    Fixture take();

private:
    std::string resolve(const std::string &path) const
    {
        bool absolute = !path.empty() && (path[0] == '/' || path[0] == '\\' ||
                                          (path.size() > 1 && path[1] == ':'));
        return absolute || baseDir.empty() ? path : baseDir + "/" + path;
    }
    SlotConfig &slot(std::size_t lineNo, const std::string &keyword)
    {
        if (fixture.slots.empty())
            fail(lineNo, keyword + " outside a slot section");
        return fixture.slots.back();
    }
    void object(std::size_t lineNo, const std::vector<std::string> &words);
    Failure failure(std::size_t lineNo, const std::vector<std::string> &words);
    void need(std::size_t lineNo, const std::vector<std::string> &words, std::size_t count)
    {
        if (words.size() < count)
            fail(lineNo, words[0] + ": missing argument");
    }

    std::string baseDir;
    Fixture fixture;
    CK_OBJECT_HANDLE nextHandle = 1;
};

Failure Parser::failure(std::size_t lineNo, const std::vector<std::string> &words)
{
    need(lineNo, words, 2);
    Failure f;
    f.rv = parseRv(words[1]);
    f.remaining = words.size() > 2 ? static_cast<long>(number(lineNo, words[2])) : -1;
    if (words.size() > 2 && f.remaining == 0)
        fail(lineNo, words[0] + ": a count of 0 would never fail");
    return f;
}

void Parser::object(std::size_t lineNo, const std::vector<std::string> &words)
{
    need(lineNo, words, 5);
    SlotConfig &s = slot(lineNo, "object");
    const std::string &kind = words[1];
    const std::string &source = words[2];

    Bytes id;
    std::string label;
    bool hasKeyType = false;
    CK_KEY_TYPE keyType = 0;
    for (std::size_t i = 3; i < words.size(); ++i) {
        if (words[i] == "id" && i + 1 < words.size()) {
            id = hexBytes(lineNo, words[++i]);
        } else if (words[i] == "key-type" && i + 1 < words.size()) {
            keyType = parseKeyType(lineNo, words[++i]);
            hasKeyType = true;
        } else if (words[i] == "label") {
            label = joinFrom(words, i + 1);
            break;
        } else {
            fail(lineNo, "object: unexpected " + words[i]);
        }
    }
    if (id.empty())
        fail(lineNo, "object: missing id");

    auto add = [&](CK_OBJECT_CLASS objectClass, const std::string &defaultLabel) -> Object & {
        Object o;
        o.handle = nextHandle++;
        o.objectClass = objectClass;
        o.attributes[CKA_CLASS] = ulongBytes(objectClass);
        o.attributes[CKA_ID] = id;
        o.attributes[CKA_LABEL] = textBytes(label.empty() ? defaultLabel : label);
        o.attributes[CKA_TOKEN] = Bytes{ CK_TRUE };
        s.objects.push_back(std::move(o));
        return s.objects.back();
    };

    if (kind == "cert" || kind == "cert-bytes") {
        Object &o = add(CKO_CERTIFICATE, "Certificate");
        o.attributes[CKA_VALUE] = kind == "cert" ? readFile(lineNo, resolve(source))
                                                 : hexBytes(lineNo, source);
        o.attributes[CKA_CERTIFICATE_TYPE] = ulongBytes(CKC_X_509);
        o.attributes[CKA_PRIVATE] = Bytes{ CK_FALSE };
        return;
    }
    if (kind != "key" && kind != "private-key" && kind != "public-key")
        fail(lineNo, "object: unknown kind " + kind);

    std::shared_ptr<EVP_PKEY> key(readPrivateKey(lineNo, resolve(source)).release(),
                                  PkeyDeleter());
    CK_KEY_TYPE type = hasKeyType ? keyType : keyTypeOf(key.get());
    if (kind != "public-key") {
        Object &o = add(CKO_PRIVATE_KEY, "Private key");
        o.attributes[CKA_KEY_TYPE] = ulongBytes(type);
        o.attributes[CKA_PRIVATE] = Bytes{ CK_TRUE };
        o.attributes[CKA_SIGN] = Bytes{ CK_TRUE };
        o.attributes[CKA_SENSITIVE] = Bytes{ CK_TRUE };
        o.key = key;
    }
    if (kind != "private-key") {
        Object &o = add(CKO_PUBLIC_KEY, "Public key");
        o.attributes[CKA_KEY_TYPE] = ulongBytes(type);
        o.attributes[CKA_PRIVATE] = Bytes{ CK_FALSE };
        o.attributes[CKA_VERIFY] = Bytes{ CK_TRUE };
    }
}

void Parser::line(std::size_t lineNo, const std::vector<std::string> &words)
{
    const std::string &k = words[0];
    if (k == "journal") {
        need(lineNo, words, 2);
        fixture.journal = resolve(joinFrom(words, 1));
    } else if (k == "init-stdout") {
        fixture.writeInitStdout = true;
        fixture.initStdout = joinFrom(words, 1);
    } else if (k == "slot-list-extra") {
        need(lineNo, words, 2);
        fixture.slotListExtra = number(lineNo, words[1]);
    } else if (k == "slot") {
        need(lineNo, words, 2);
        SlotConfig s;
        s.id = number(lineNo, words[1]);
        for (const SlotConfig &other : fixture.slots)
            if (other.id == s.id)
                fail(lineNo, "slot " + words[1] + " given twice");
        s.label = "Quorvanta test " + words[1];
        s.serial = words[1];
        fixture.slots.push_back(std::move(s));
    } else if (k == "no-token") {
        slot(lineNo, k).tokenPresent = false;
    } else if (k == "label") {
        slot(lineNo, k).label = joinFrom(words, 1);
    } else if (k == "serial") {
        need(lineNo, words, 2);
        slot(lineNo, k).serial = words[1];
    } else if (k == "pin") {
        need(lineNo, words, 2);
        slot(lineNo, k).pin = words[1];
    } else if (k == "retries") {
        need(lineNo, words, 2);
        slot(lineNo, k).retries = number(lineNo, words[1]);
    } else if (k == "tries-left") {
        need(lineNo, words, 2);
        SlotConfig &s = slot(lineNo, k);
        s.triesLeft = number(lineNo, words[1]);
        s.triesLeftSet = true;
    } else if (k == "min-pin") {
        need(lineNo, words, 2);
        slot(lineNo, k).minPin = number(lineNo, words[1]);
    } else if (k == "max-pin") {
        need(lineNo, words, 2);
        slot(lineNo, k).maxPin = number(lineNo, words[1]);
    } else if (k == "object") {
        object(lineNo, words);
    } else if (k == "fail-open-session") {
        slot(lineNo, k).openSession = failure(lineNo, words);
    } else if (k == "fail-login") {
        slot(lineNo, k).login = failure(lineNo, words);
    } else if (k == "fail-close-all") {
        slot(lineNo, k).closeAll = failure(lineNo, words);
    } else if (k == "fail-find") {
        need(lineNo, words, 4);
        FindFailure f;
        f.enabled = true;
        if (words[1] == "cert") f.objectClass = CKO_CERTIFICATE;
        else if (words[1] == "private-key") f.objectClass = CKO_PRIVATE_KEY;
        else if (words[1] == "public-key") f.objectClass = CKO_PUBLIC_KEY;
        else if (words[1] == "any") f.anyClass = true;
        else fail(lineNo, "fail-find: unknown class " + words[1]);
        if (words[2] != "after")
            fail(lineNo, "fail-find: expected 'after'");
        f.after = number(lineNo, words[3]);
        if (words.size() > 4)
            f.rv = parseRv(words[4]);
        slot(lineNo, k).find = f;
    } else if (k == "remove-at") {
        need(lineNo, words, 2);
        Removal r;
        r.function = words[1];
        if (std::find(std::begin(slotFunctions), std::end(slotFunctions), r.function) ==
            std::end(slotFunctions))
            fail(lineNo, "remove-at: not a call on a slot: " + r.function);
        std::size_t i = 2;
        unsigned long n = 0;
        if (i < words.size() && parseNumber(words[i], n)) {
            if (n == 0)
                fail(lineNo, "remove-at: calls count from 1");
            r.atCall = n;
            ++i;
        }
        if (i < words.size())
            r.rv = parseRv(words[i]);
        SlotConfig &s = slot(lineNo, k);
        s.removals.push_back(r);
    } else if (k == "remove-count") {
        need(lineNo, words, 2);
        SlotConfig &s = slot(lineNo, k);
        if (s.removals.empty())
            fail(lineNo, "remove-count before remove-at");
        s.removals.back().count = static_cast<long>(number(lineNo, words[1]));
    } else if (k == "report-length") {
        need(lineNo, words, 3);
        CK_ATTRIBUTE_TYPE type = 0;
        bool known = false;
        for (const AttributeName &a : attributeNames)
            if (words[1] == a.name) {
                type = a.type;
                known = true;
            }
        if (!known)
            type = number(lineNo, words[1]);
        slot(lineNo, k).reportedLength[type] = number(lineNo, words[2]);
    } else if (k == "sign-length-extra") {
        need(lineNo, words, 2);
        slot(lineNo, k).signLengthExtra = number(lineNo, words[1]);
    } else {
        fail(lineNo, "unknown statement " + k);
    }
}

Fixture Parser::take()
{
    for (SlotConfig &s : fixture.slots) {
        if (!s.triesLeftSet)
            s.triesLeft = s.retries;
        if (s.triesLeft > s.retries)
            throw FixtureError("slot " + std::to_string(s.id) + ": tries-left above retries");
        if (s.label.size() > 32 || s.serial.size() > 16)
            throw FixtureError("slot " + std::to_string(s.id) + ": label or serial too long");
    }
    return std::move(fixture);
}

} // namespace

CK_RV parseRv(const std::string &text)
{
    for (const RvNameEntry &e : rvNames)
        if (text == e.name)
            return e.rv;
    unsigned long value = 0;
    if (!parseNumber(text, value))
        throw FixtureError("unknown return code " + text);
    return value;
}

std::string rvName(CK_RV rv)
{
    for (const RvNameEntry &e : rvNames)
        if (e.rv == rv)
            return e.name;
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%lX", static_cast<unsigned long>(rv));
    return buf;
}

Fixture loadFixture(const std::string &path)
{
    std::ifstream in(path);
    if (!in)
        throw FixtureError("cannot read fixture " + path);
    std::string::size_type slash = path.find_last_of("/\\");
    Parser parser(slash == std::string::npos ? std::string() : path.substr(0, slash));

    std::string text;
    std::size_t lineNo = 0;
    while (std::getline(in, text)) {
        ++lineNo;
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
        std::istringstream split(text);
        std::vector<std::string> words;
        for (std::string w; split >> w;)
            words.push_back(w);
        if (words.empty() || words[0][0] == '#')
            continue;
        parser.line(lineNo, words);
    }
    return parser.take();
}

} // namespace testtoken
