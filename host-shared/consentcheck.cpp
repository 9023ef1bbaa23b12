// The consent check of a CERT request: home-domain origins pass at once; any
// other origin needs a stored consent that has not run out, or the user's
// confirmation in the consent dialog, which is then stored until the next
// local midnight.
#include "consentcheck.h"

#include "dialogmanager.h"
#include "errors.h"
#include "log.h"

#include <ctime>
#include <stdexcept>

const char *const ConsentHomeDomain = "quorvanta.lv";

namespace {

// The check logs as part of certificate selection, which runs it.
const char *const LogFunction = "CertificateSelection::getCertPKCS11";

bool endsWith(const std::string &text, const std::string &suffix)
{
    return text.size() >= suffix.size()
        && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

bool isHomeDomainOrigin(const std::string &origin)
{
    const std::string home(ConsentHomeDomain);
    return endsWith(origin, "." + home) || endsWith(origin, "://" + home);
}

std::int64_t nextConsentTime(std::int64_t now)
{
    const std::time_t current = static_cast<std::time_t>(now);
    // The host runs on one thread, so the shared result of localtime is safe
    // as long as it is copied at once.
    const std::tm *local = std::localtime(&current);
    if (!local) throw std::runtime_error("Cannot convert the current time to local time");
    std::tm midnight = *local;
    midnight.tm_mday += 1;
    midnight.tm_hour = 0;
    midnight.tm_min = 0;
    midnight.tm_sec = 0;
    // Keeping the daylight-saving flag of `now` would move the result by an
    // hour when the clocks change between now and the next midnight (on the
    // day of the change, before it happens): midnight would come out as 01:00
    // or 23:00. Letting mktime work out the flag for midnight itself gives the
    // real start of the day.
    midnight.tm_isdst = -1;
    const std::time_t next = std::mktime(&midnight);
    if (next == static_cast<std::time_t>(-1))
        throw std::runtime_error("Cannot convert the next local midnight to a time");
    return static_cast<std::int64_t>(next);
}

void checkConsent(const std::string &origin, const ConsentContext &context)
{
    if (isHomeDomainOrigin(origin)) return;

    // The store is closed when this goes out of scope, on every path.
    std::unique_ptr<ConsentStore> store = context.openStore();
    const std::int64_t now = context.now();
    const std::int64_t consent = store->readConsent(origin);
    writeLog(LogFunction, __FILE__, __LINE__, "consent: %lld", static_cast<long long>(consent));
    writeLog(LogFunction, __FILE__, __LINE__, "currentTime: %lld", static_cast<long long>(now));
    if (consent >= now) return;

    if (!context.askUser(origin)) throw UserCancelledException();

    const std::int64_t next = nextConsentTime(now);
    writeLog(LogFunction, __FILE__, __LINE__, "nextConsent: %lld", static_cast<long long>(next));
    store->writeConsent(origin, next);
}

void checkConsent(const std::string &origin)
{
    ConsentContext context;
    context.openStore = openConsentStore;
    context.now = [] { return static_cast<std::int64_t>(std::time(nullptr)); };
    context.askUser = DialogManager::getCertificateConsent;
    checkConsent(origin, context);
}
