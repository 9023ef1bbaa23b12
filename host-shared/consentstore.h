// Platform seam: the per-user memory of the sites that may read the
// certificate. Windows keeps it in the registry, Linux in a file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class ConsentStore {
public:
    virtual ~ConsentStore() = default;
    // The time (seconds since the epoch, UTC) up to which consent holds, or 0
    // when the origin has none or its entry cannot be read. Origin names
    // compare case-insensitively. Never throws for a missing or bad entry.
    virtual std::int64_t readConsent(const std::string &origin) = 0;
    // Records consent up to `until`. Throws std::system_error on failure.
    virtual void writeConsent(const std::string &origin, std::int64_t until) = 0;
};

// Creates the store if needed and opens it. Throws std::system_error when it
// cannot be created or opened.
std::unique_ptr<ConsentStore> openConsentStore();
