// The test token's description: slots, tokens, objects and the failures to
// inject, read from the fixture text file at C_Initialize. The line format is
// documented at the top of fixture.cpp and in README.md.
#pragma once

#include "pkcs11.h"

#include <openssl/evp.h>

#include <cstddef>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace testtoken {

using Bytes = std::vector<unsigned char>;

struct PkeyDeleter {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

// A fixture line that cannot be used; the message names the line.
class FixtureError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A failure injected into a call: `remaining` calls fail with `rv`; -1 = all.
struct Failure {
    CK_RV rv = CKR_OK;
    long remaining = 0;

    bool armed() const { return remaining != 0; }
    // Consumes one failing call; returns the code to return, CKR_OK when none.
    CK_RV take();
};

struct Object {
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    CK_OBJECT_CLASS objectClass = CKO_DATA;
    std::map<CK_ATTRIBUTE_TYPE, Bytes> attributes;
    std::shared_ptr<EVP_PKEY> key; // private keys only: the signing key
};

// Where a card is pulled out, and how long it stays out.
struct Removal {
    std::string function;          // Cryptoki function name whose call pulls the card
    unsigned long atCall = 1;      // the n-th call of that function on the slot
    CK_RV rv = CKR_DEVICE_REMOVED; // what calls on the slot return while it is out
    long count = -1;               // failing calls until the card is back; -1: until
                                   // C_CloseAllSessions on the slot, 0: never back
};

struct FindFailure {
    CK_OBJECT_CLASS objectClass = CKO_CERTIFICATE; // searches for this class ...
    bool anyClass = false;                         // ... or every search
    unsigned long after = 0;                       // objects handed out before failing
    CK_RV rv = CKR_DEVICE_ERROR;
    bool enabled = false;
};

struct SlotConfig {
    CK_SLOT_ID id = 0;
    bool tokenPresent = true;
    std::string label;
    std::string serial;
    std::string pin = "1234";
    unsigned long retries = 3;
    unsigned long triesLeft = 3;
    bool triesLeftSet = false;
    unsigned long minPin = 4;
    unsigned long maxPin = 12;
    std::vector<Object> objects;

    Failure openSession;
    Failure login;
    Failure closeAll;
    FindFailure find;
    std::vector<Removal> removals;
    std::map<CK_ATTRIBUTE_TYPE, CK_ULONG> reportedLength;
    CK_ULONG signLengthExtra = 0; // added to C_Sign's size query

    SlotConfig() = default;
    SlotConfig(SlotConfig &&) = default;
    SlotConfig &operator=(SlotConfig &&) = default;
    ~SlotConfig();
};

struct Fixture {
    std::string journal;
    std::string initStdout;
    bool writeInitStdout = false;
    unsigned long slotListExtra = 0;
    std::vector<SlotConfig> slots;
};

// Reads the fixture file; relative paths in it are taken from its directory.
// Throws FixtureError.
Fixture loadFixture(const std::string &path);

// Return code names for fixture lines and journal lines.
std::string rvName(CK_RV rv);
CK_RV parseRv(const std::string &text);

} // namespace testtoken
