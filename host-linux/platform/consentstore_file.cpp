// The Linux consent store: one per-user text file,
// $XDG_CONFIG_HOME/quorvanta/consents (default $HOME/.config/quorvanta/consents),
// that remembers up to when each site may read the certificate.
//
// File format (plain ASCII text, one entry per line, every line ends in "\n"):
//
//   # Quorvanta Token Signing: certificate consents, one site per line.
//   # <valid until, seconds since 1970 UTC> TAB <the same time, UTC> TAB <origin>
//   1711843200	2024-03-31T00:00:00Z	https://example.com
//
// Lines starting with '#' and empty lines are comments. The seconds field is
// what counts (a signed 64-bit decimal); the readable time is written for
// people and ignored when reading. In the origin every byte outside '!'..'~'
// is written as \xHH and the backslash as \\, so an origin can never hold a
// tab or a newline that would forge another line. When several lines name one
// origin, the last one counts.
// A line that cannot be read (wrong field count, bad number, bad escape, over
// MaxLineLength, or a last line without its newline, which may have been cut
// short and then name another site) counts as absent and is dropped when the
// file is next rewritten; the good lines are kept (one per origin).
//
// Origins compare case-insensitively like registry value names, but only
// ASCII letters are folded; other bytes compare exactly. Origins must be UTF-8
// (std::range_error "bad conversion" otherwise, as on Windows) and at most
// MaxOriginLength bytes, the registry's limit for a value name.
//
// Several host processes may grant consent at once: a writer takes an
// exclusive flock on "consents.lock" in the same directory, reads the current
// file, replaces or adds its origin's line, writes "consents.new", fsyncs it
// and renames it over "consents". Readers take no lock: a rename replaces the
// file atomically, so they see either the old or the new file. The directory
// is created with mode 0700, the file with 0600.
//
// Whoever can write the store can give any site the certificate without a
// dialog. As OpenSSH does with its files, the store is ignored (no consent is
// read from it, none is written to it, and the log says why) when the
// directory or an existing file in it belongs to another user or can be
// written by group or others, or when "consents" or "consents.lock" is not a
// regular file. Files are opened without following links and without
// blocking, so a FIFO or a link to a device can never make the host wait.
#include "consentstore.h"
#include "log.h"
#include "utf.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t MaxOriginLength = 16383;
// Seconds, readable time, two tabs, an origin in which every byte is escaped.
constexpr std::size_t MaxLineLength = 20 + 1 + 32 + 1 + 4 * MaxOriginLength;

const char *const FileHeader =
    "# Quorvanta Token Signing: certificate consents, one site per line.\n"
    "# <valid until, seconds since 1970 UTC> TAB <the same time, UTC> TAB <origin>\n";

[[noreturn]] void fail(int error, const std::string &message)
{
    throw std::system_error(error, std::generic_category(), message);
}

// Owns one file descriptor.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd(fd) {}
    FileDescriptor(FileDescriptor &&other) noexcept : fd(std::exchange(other.fd, -1)) {}
    FileDescriptor &operator=(FileDescriptor &&) = delete;
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor()
    {
        if (fd >= 0) ::close(fd);
    }
    int get() const { return fd; }
    // Closes now and reports the close's error, which for a written file
    // may be the first sign of a failed write.
    int close() { return ::close(std::exchange(fd, -1)); }

private:
    int fd;
};

// Holds an exclusive flock on a descriptor for one scope.
class ExclusiveLock {
public:
    ExclusiveLock(int fd, const std::string &path) : fd(fd)
    {
        while (::flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR) fail(errno, "Cannot lock consent store " + path);
        }
    }
    ExclusiveLock(const ExclusiveLock &) = delete;
    ExclusiveLock &operator=(const ExclusiveLock &) = delete;
    ~ExclusiveLock() { ::flock(fd, LOCK_UN); }

private:
    int fd;
};

struct Entry {
    std::int64_t until;
    std::string origin;
};

std::string foldCase(const std::string &text)
{
    std::string folded(text);
    for (char &c : folded) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return folded;
}

std::string escapeOrigin(const std::string &origin)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(origin.size());
    for (char c : origin) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte > ' ' && byte < 0x7F) {
            out += c;
        } else {
            out += "\\x";
            out += digits[byte >> 4];
            out += digits[byte & 0x0F];
        }
    }
    return out;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Only the form that escapeOrigin writes is accepted.
bool unescapeOrigin(const std::string &text, std::string &origin)
{
    origin.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        if (byte != '\\') {
            if (byte <= ' ' || byte >= 0x7F) return false;
            origin += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '\\') {
            origin += '\\';
            i += 1;
            continue;
        }
        if (i + 3 < text.size() && text[i + 1] == 'x') {
            const int high = hexDigit(text[i + 2]);
            const int low = hexDigit(text[i + 3]);
            if (high < 0 || low < 0) return false;
            origin += static_cast<char>(high * 16 + low);
            i += 3;
            continue;
        }
        return false;
    }
    return !origin.empty() && origin.size() <= MaxOriginLength;
}

bool parseTime(const std::string &text, std::int64_t &value)
{
    if (text.empty()) return false;
    const char *end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return result.ec == std::errc() && result.ptr == end;
}

std::string readableTime(std::int64_t seconds)
{
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm utc{};
    char text[64];
    if (!::gmtime_r(&time, &utc) || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0)
        return "-";
    return text;
}

// One line without its "\n"; false for comments and for lines that cannot be read.
bool parseLine(std::string line, Entry &entry)
{
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') return false;
    const std::size_t firstTab = line.find('\t');
    if (firstTab == std::string::npos) return false;
    const std::size_t secondTab = line.find('\t', firstTab + 1);
    if (secondTab == std::string::npos) return false;
    if (line.find('\t', secondTab + 1) != std::string::npos) return false;
    return parseTime(line.substr(0, firstTab), entry.until)
        && unescapeOrigin(line.substr(secondTab + 1), entry.origin);
}

// Why a store's directory or file cannot be trusted, or "" when it can.
std::string distrust(int fd, const std::string &name, bool directory)
{
    struct stat status;
    if (::fstat(fd, &status) != 0) return name + " cannot be examined";
    if (directory ? !S_ISDIR(status.st_mode) : !S_ISREG(status.st_mode))
        return name + (directory ? " is not a directory" : " is not a regular file");
    if (status.st_uid != ::geteuid()) return name + " belongs to another user";
    if (status.st_mode & (S_IWGRP | S_IWOTH)) return name + " can be written by group or others";
    return std::string();
}

constexpr int OpenFlags = O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK;

// Opens `name` in the store's directory without following a link or
// blocking. `reason` tells why what is there cannot be trusted; when it is
// empty and the open failed, errno tells why.
FileDescriptor openInStore(int directory, const char *name, int flags, std::string &reason)
{
    FileDescriptor file(::openat(directory, name, flags | OpenFlags, 0600));
    if (file.get() >= 0) reason = distrust(file.get(), name, false);
    else if (errno == ELOOP) reason = std::string(name) + " is a symbolic link";
    return file;
}

enum class ReadResult { Read, Missing, Failed, Untrusted };

// Calls `sink` for every readable entry of the file, in file order. On
// Failed, `error` tells why; on Untrusted, `reason`.
ReadResult readEntries(int directory, const char *name, const std::function<void(Entry &&)> &sink,
                       int &error, std::string &reason)
{
    FileDescriptor file = openInStore(directory, name, O_RDONLY, reason);
    if (!reason.empty()) return ReadResult::Untrusted;
    if (file.get() < 0) {
        error = errno;
        return error == ENOENT ? ReadResult::Missing : ReadResult::Failed;
    }

    std::string line;
    bool overlong = false;
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(file.get(), buffer, sizeof buffer);
        if (count < 0) {
            if (errno == EINTR) continue;
            error = errno;
            return ReadResult::Failed;
        }
        // Whatever follows the last newline is an unterminated line: dropped.
        if (count == 0) return ReadResult::Read;
        const char *data = buffer;
        const char *end = buffer + count;
        while (data < end) {
            const char *newline = static_cast<const char *>(std::memchr(data, '\n', end - data));
            const char *stop = newline ? newline : end;
            if (!overlong) {
                if (line.size() + (stop - data) > MaxLineLength) {
                    overlong = true;
                    line.clear();
                    line.shrink_to_fit();
                } else {
                    line.append(data, stop);
                }
            }
            if (!newline) break;
            Entry entry;
            if (!overlong && parseLine(line, entry)) sink(std::move(entry));
            line.clear();
            overlong = false;
            data = newline + 1;
        }
    }
}

bool writeAll(int fd, const std::string &text)
{
    const char *data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t count = ::write(fd, data, left);
        if (count < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += count;
        left -= static_cast<std::size_t>(count);
    }
    return true;
}

std::string configDirectory()
{
    // Relative values are not usable: the XDG rules say to ignore them.
    const char *xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return xdg;
    const char *home = std::getenv("HOME");
    if (home && home[0] == '/') return std::string(home) + "/.config";
    fail(ENOENT, "Cannot create consent store: neither XDG_CONFIG_HOME nor HOME names a directory");
}

// mkdir -p with mode 0700 for every directory it creates.
void makeDirectories(const std::string &path)
{
    std::size_t position = 0;
    while (position != std::string::npos) {
        position = path.find('/', position + 1);
        const std::string prefix = path.substr(0, position);
        if (::mkdir(prefix.c_str(), 0700) == 0) continue;
        const int error = errno;
        // An existing directory is fine whatever mkdir said about it (a
        // read-only parent may answer EROFS or EACCES rather than EEXIST).
        struct stat status;
        if (::stat(prefix.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) continue;
        fail(error == EEXIST ? ENOTDIR : error, "Cannot create consent store " + path);
    }
}

void checkOriginText(const std::string &origin)
{
    // Throws std::range_error("bad conversion") like the registry store's
    // conversion of the value name.
    utf8ToUtf16(origin);
}

void logIgnored(const std::string &directory, const std::string &reason)
{
    writeLog("CertificateSelection::getCertPKCS11", __FILE__, __LINE__,
             "Consent store %s is ignored: %s", directory.c_str(), reason.c_str());
}

class FileConsentStore : public ConsentStore {
public:
    FileConsentStore(std::string directory, FileDescriptor directoryFd, FileDescriptor lock)
        : directory(std::move(directory)), directoryFd(std::move(directoryFd)), lock(std::move(lock))
    {
    }

    std::int64_t readConsent(const std::string &origin) override
    {
        checkOriginText(origin);
        if (origin.empty() || origin.size() > MaxOriginLength) return 0;
        const std::string wanted = foldCase(origin);
        std::int64_t until = 0;
        int ignored = 0;
        std::string reason;
        // A file that cannot be read means no consent; the last matching line wins.
        const ReadResult result = readEntries(
            directoryFd.get(), FileName,
            [&](Entry &&entry) {
                if (foldCase(entry.origin) == wanted) until = entry.until;
            },
            ignored, reason);
        if (result != ReadResult::Untrusted) return until;
        logIgnored(directory, reason);
        return 0;
    }

    void writeConsent(const std::string &origin, std::int64_t until) override
    {
        checkOriginText(origin);
        const std::string path = filePath();
        if (origin.empty()) fail(EINVAL, "Cannot write consent store " + path + " for an empty origin");
        if (origin.size() > MaxOriginLength)
            fail(ENAMETOOLONG, "Cannot write consent store " + path + " for an origin this long");

        ExclusiveLock held(lock.get(), lockPath());
        // One entry per name, as readConsent sees it: the value of the last
        // line in the place of the first.
        std::vector<Entry> entries;
        std::map<std::string, std::size_t> positions;
        int error = 0;
        std::string reason;
        const ReadResult result = readEntries(
            directoryFd.get(), FileName,
            [&](Entry &&entry) {
                const auto [position, added] = positions.emplace(foldCase(entry.origin), entries.size());
                if (added) entries.push_back(std::move(entry));
                else entries[position->second].until = entry.until;
            },
            error, reason);
        if (result == ReadResult::Untrusted) {
            logIgnored(directory, reason);
            return;
        }
        // Rewriting a file that could not be read would lose its entries.
        if (result == ReadResult::Failed) fail(error, "Cannot read consent store " + path);
        const auto existing = positions.find(foldCase(origin));
        if (existing != positions.end()) entries[existing->second] = Entry{until, origin};
        else entries.push_back(Entry{until, origin});

        std::string text(FileHeader);
        for (const Entry &entry : entries) {
            text += std::to_string(entry.until);
            text += '\t';
            text += readableTime(entry.until);
            text += '\t';
            text += escapeOrigin(entry.origin);
            text += '\n';
        }
        replaceFile(path, text);
    }

    static constexpr const char *FileName = "consents";
    static constexpr const char *LockName = "consents.lock";
    static constexpr const char *TemporaryName = "consents.new";

private:
    std::string filePath() const { return directory + "/" + FileName; }
    std::string lockPath() const { return directory + "/" + LockName; }

    // Called with the lock held, so "consents.new" is ours alone. Whatever
    // was left under that name (a crash's file, a FIFO, a link) is removed
    // first, and the new file is made afresh.
    void replaceFile(const std::string &path, const std::string &text)
    {
        const int dir = directoryFd.get();
        const auto failAndRemove = [&](int error) {
            ::unlinkat(dir, TemporaryName, 0);
            fail(error, "Cannot write consent store " + path);
        };
        if (::unlinkat(dir, TemporaryName, 0) != 0 && errno != ENOENT)
            fail(errno, "Cannot write consent store " + path);
        FileDescriptor file(::openat(dir, TemporaryName, O_WRONLY | O_CREAT | O_EXCL | OpenFlags, 0600));
        if (file.get() < 0) fail(errno, "Cannot write consent store " + path);
        if (::fchmod(file.get(), 0600) != 0 || !writeAll(file.get(), text) || ::fsync(file.get()) != 0
            || file.close() != 0)
            failAndRemove(errno);
        if (::renameat(dir, TemporaryName, dir, FileName) != 0) failAndRemove(errno);
        // Make the rename itself durable; the data is already in place.
        FileDescriptor parent(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (parent.get() >= 0) ::fsync(parent.get());
    }

    std::string directory;
    FileDescriptor directoryFd;
    FileDescriptor lock;
};

// A store that cannot be trusted: it holds no consent and keeps none.
class IgnoredConsentStore : public ConsentStore {
public:
    std::int64_t readConsent(const std::string &origin) override
    {
        checkOriginText(origin);
        return 0;
    }
    void writeConsent(const std::string &origin, std::int64_t) override { checkOriginText(origin); }
};

} // namespace

std::unique_ptr<ConsentStore> openConsentStore()
{
    const std::string directory = configDirectory() + "/quorvanta";
    makeDirectories(directory);
    // Like OpenSSH's stat, this follows a link: what counts is the directory
    // the store's files are in. O_PATH needs no permission on it, so another
    // user's private directory is ignored rather than failing.
    FileDescriptor directoryFd(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (directoryFd.get() < 0) fail(errno, "Cannot create consent store " + directory);
    std::string reason = distrust(directoryFd.get(), directory, true);
    if (!reason.empty()) {
        logIgnored(directory, reason);
        return std::make_unique<IgnoredConsentStore>();
    }
    if (::access(directory.c_str(), W_OK | X_OK) != 0)
        fail(errno, "Cannot create consent store " + directory);

    const std::string lockPath = directory + "/" + FileConsentStore::LockName;
    FileDescriptor lock = openInStore(directoryFd.get(), FileConsentStore::LockName, O_RDWR | O_CREAT, reason);
    if (lock.get() < 0 && reason.empty()) fail(errno, "Cannot create consent store " + lockPath);
    // The file itself is checked again at each read.
    if (reason.empty()) openInStore(directoryFd.get(), FileConsentStore::FileName, O_RDONLY, reason);
    if (!reason.empty()) {
        logIgnored(directory, reason);
        return std::make_unique<IgnoredConsentStore>();
    }
    return std::make_unique<FileConsentStore>(directory, std::move(directoryFd), std::move(lock));
}
