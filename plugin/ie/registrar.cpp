// The interpreter of the registration scripts. A script is read into a list
// of entries first, so a malformed script changes nothing; registration then
// walks the entries in order and stops at the first failure, unregistration
// walks them in reverse so that subkeys go before their parents, and goes on
// past a key that it cannot remove, so that all else goes. Registration for
// one user leaves the HKLM lines out.
#include "registrar.h"

#include "comsupport.h"
#include "registrykey.h"
#include "text.h"

#include <sstream>
#include <vector>

namespace {

enum class Rule { kept, replaced, removed, with, valueRemoved };

struct Entry {
    Rule rule;
    RegistryLocation key;
    bool hasValue = false;
    std::wstring valueName; // empty: the default value
    bool isDword = false;
    std::wstring text;
    DWORD number = 0;
};

void replaceAll(std::wstring &text, const std::wstring &from, const std::wstring &to)
{
    for (std::size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// Reads a "quoted" token; false when the line has none at this place.
bool readQuoted(std::wistringstream &in, std::wstring &out)
{
    wchar_t quote = 0;
    if (!(in >> quote) || quote != L'"') return false;
    return bool(std::getline(in, out, L'"'));
}

bool parseRule(const std::wstring &word, Rule &rule)
{
    static const struct { const wchar_t *word; Rule rule; } rules[] = {
        {L"kept", Rule::kept}, {L"replaced", Rule::replaced}, {L"removed", Rule::removed},
        {L"with", Rule::with}, {L"value-removed", Rule::valueRemoved},
    };
    for (const auto &known : rules) {
        if (word == known.word) {
            rule = known.rule;
            return true;
        }
    }
    return false;
}

bool parseKey(const std::wstring &path, bool perUser, RegistryLocation &key)
{
    std::size_t slash = path.find(L'\\');
    if (slash == std::wstring::npos) return false;
    std::wstring hive = path.substr(0, slash), rest = path.substr(slash + 1);
    if (hive == L"HKCR") {
        key = classesLocation(rest, perUser);
    } else if (hive == L"HKLM") {
        key = {HKEY_LOCAL_MACHINE, rest};
    } else {
        return false;
    }
    return true;
}

// One line: rule "hive\key" [@|"name" = "text"|dword:N]
bool parseLine(const std::wstring &line, bool perUser, Entry &entry)
{
    std::wistringstream in(line);
    std::wstring word, path;
    if (!(in >> word) || !parseRule(word, entry.rule)) return false;
    if (!readQuoted(in, path) || !parseKey(path, perUser, entry.key)) return false;
    in >> std::ws;
    if (in.peek() == std::char_traits<wchar_t>::eof()) return entry.rule != Rule::valueRemoved;
    entry.hasValue = true;
    if (in.peek() == L'@') {
        in.get();
    } else if (!readQuoted(in, entry.valueName)) {
        return false;
    }
    wchar_t equals = 0;
    if (!(in >> equals) || equals != L'=') return false;
    in >> std::ws;
    if (in.peek() == L'"') {
        if (!readQuoted(in, entry.text)) return false;
    } else {
        std::wstring data;
        in >> data;
        if (data.compare(0, 6, L"dword:") != 0) return false;
        entry.isDword = true;
        entry.number = DWORD(std::wcstoul(data.c_str() + 6, nullptr, 0));
    }
    in >> std::ws;
    return in.peek() == std::char_traits<wchar_t>::eof();
}

bool parseScript(const std::wstring &script, bool perUser, std::vector<Entry> &entries)
{
    std::wistringstream lines(script);
    std::wstring line;
    while (std::getline(lines, line)) {
        std::size_t start = line.find_first_not_of(L" \t\r");
        if (start == std::wstring::npos || line[start] == L'#') continue;
        Entry entry;
        if (!parseLine(line, perUser, entry)) return false;
        // One user's registration neither writes nor removes machine-wide
        // keys: those may belong to an installation for all users.
        if (perUser && entry.key.root == HKEY_LOCAL_MACHINE) continue;
        entries.push_back(entry);
    }
    return true;
}

bool isGone(LSTATUS status)
{
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

LSTATUS writeEntry(const Entry &entry)
{
    if (entry.rule == Rule::replaced) {
        LSTATUS status = RegDeleteTreeW(entry.key.root, entry.key.path.c_str());
        if (!isGone(status)) return status;
    }
    RegistryKey key;
    LSTATUS status = RegCreateKeyExW(entry.key.root, entry.key.path.c_str(), 0, nullptr, 0,
                                     KEY_WRITE, nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS || !entry.hasValue) return status;
    const wchar_t *name = entry.valueName.empty() ? nullptr : entry.valueName.c_str();
    if (entry.isDword)
        return RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&entry.number),
                              sizeof entry.number);
    return RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE *>(entry.text.c_str()),
                          DWORD((entry.text.size() + 1) * sizeof(wchar_t)));
}

LSTATUS eraseEntry(const Entry &entry)
{
    switch (entry.rule) {
    case Rule::replaced:
    case Rule::removed:
        return RegDeleteTreeW(entry.key.root, entry.key.path.c_str());
    case Rule::valueRemoved: {
        RegistryKey key;
        LSTATUS status = RegOpenKeyExW(entry.key.root, entry.key.path.c_str(), 0, KEY_SET_VALUE, key.put());
        if (status != ERROR_SUCCESS) return status;
        return RegDeleteValueW(key.get(), entry.valueName.c_str());
    }
    default:
        return ERROR_SUCCESS;
    }
}

} // namespace

RegistryLocation classesLocation(const std::wstring &pathUnderClassesRoot, bool perUser)
{
    if (perUser) return {HKEY_CURRENT_USER, L"Software\\Classes\\" + pathUnderClassesRoot};
    return {HKEY_CLASSES_ROOT, pathUnderClassesRoot};
}

HRESULT applyScript(const std::string &script, const ScriptContext &context, bool registering)
{
    std::wstring text = widen(script, CP_UTF8);
    replaceAll(text, L"%MODULE%", context.modulePath);
    replaceAll(text, L"%APPID%", context.appId);
    std::vector<Entry> entries;
    if (text.empty() || !parseScript(text, context.perUser, entries)) return E_UNEXPECTED;

    if (registering) {
        for (const Entry &entry : entries) {
            LSTATUS status = writeEntry(entry);
            if (status != ERROR_SUCCESS) return hresultFromStatus(status);
        }
        return S_OK;
    }
    HRESULT first = S_OK;
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        LSTATUS status = eraseEntry(*entry);
        if (!isGone(status) && SUCCEEDED(first)) first = hresultFromStatus(status);
    }
    return first;
}

std::string loadRegistryScript(HMODULE module, int id)
{
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(id), L"REGISTRY");
    HGLOBAL loaded = resource ? LoadResource(module, resource) : nullptr;
    const void *data = loaded ? LockResource(loaded) : nullptr;
    if (!data) return {};
    return std::string(static_cast<const char *>(data), SizeofResource(module, resource));
}
