// The per-site consent check that runs before the host looks at any token: a
// site outside the home domain reads the certificate only after the user has
// confirmed it, and a confirmation is remembered until the next local midnight.
#pragma once

#include "consentstore.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The service's own domain; its origins never need consent.
extern const char *const ConsentHomeDomain;

// What the check needs from the outside world, so tests can replace it.
struct ConsentContext {
    std::function<std::unique_ptr<ConsentStore>()> openStore;
    std::function<std::int64_t()> now;
    std::function<bool(const std::string &)> askUser;
};

// Returns when consent holds or was just given; UserCancelledException on refusal;
// std::system_error from the store; std::range_error("bad conversion") for an
// origin that is not UTF-8 (the store raises it).
void checkConsent(const std::string &origin);

// The same with the clock, the store and the question injected.
void checkConsent(const std::string &origin, const ConsentContext &context);

// True when the origin ends with "." + home domain or "://" + home domain,
// compared byte for byte (so a port, a trailing slash or another case misses).
bool isHomeDomainOrigin(const std::string &origin);

// The start (00:00:00 local time) of the calendar day after `now`.
std::int64_t nextConsentTime(std::int64_t now);
