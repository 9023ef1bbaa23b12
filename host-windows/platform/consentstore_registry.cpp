// The Windows consent store: one REG_QWORD value per origin under the current
// user's consents key, in the 64-bit registry view. The registry matches value
// names case-insensitively, which gives the store its origin comparison.
#include "consentstore.h"

#include "registrykey.h"
#include "utf.h"

namespace {

const wchar_t consentsPath[] = L"SOFTWARE\\Quorvanta\\Quorvanta Token Signing\\consents";
constexpr REGSAM consentsAccess = KEY_READ | KEY_WRITE | KEY_WOW64_64KEY;

// Origins become value names one 16-bit unit per code point; invalid UTF-8
// raises std::range_error "bad conversion".
std::wstring valueName(const std::string &origin)
{
    const std::u16string name = utf8ToUcs2(origin);
    return std::wstring(name.begin(), name.end());
}

class RegistryConsentStore : public ConsentStore {
public:
    RegistryConsentStore()
    {
        // The created handle is closed as soon as the opened one is held.
        key.create(HKEY_CURRENT_USER, consentsPath, consentsAccess);
        key.open(HKEY_CURRENT_USER, consentsPath, consentsAccess);
    }

    std::int64_t readConsent(const std::string &origin) override
    {
        std::uint64_t until = 0;
        if (!key.tryGetQword(valueName(origin), until)) return 0;
        return static_cast<std::int64_t>(until);
    }

    void writeConsent(const std::string &origin, std::int64_t until) override
    {
        key.setQword(valueName(origin), static_cast<std::uint64_t>(until));
    }

private:
    winreg::RegistryKey key;
};

} // namespace

std::unique_ptr<ConsentStore> openConsentStore()
{
    return std::make_unique<RegistryConsentStore>();
}
