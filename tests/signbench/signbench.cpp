// What the host adds to signing on the card: a batch of 100 SHA-256 hashes
// signed through the host (one SIGN request, the PIN given once) against the
// same Cryptoki sequence issued directly on the same SoftHSM2 token: per hash
// the login, the key search (read until a call finds nothing), the key type,
// the signature (length, then value) and the logout, as the host issues them.
// Prints both times and their ratio beside the goal; the ratio is never
// judged, since a shared machine's timings are no test.
//
// usage: sign-bench HOST MODULE PIN CERT.der [GOAL_RATIO [ROUNDS]]
// with SOFTHSM2_CONF naming the token and the module directory on
// LD_LIBRARY_PATH for the host.
#include "pkcs11.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int hashCount = 100;

std::vector<unsigned char> hashBytes(int i)
{
    std::vector<unsigned char> hash(32);
    for (int k = 0; k < 32; ++k) hash[k] = static_cast<unsigned char>(i * 13 + k);
    return hash;
}

std::string hex(const std::vector<unsigned char> &bytes)
{
    static const char d[] = "0123456789ABCDEF";
    std::string s;
    for (unsigned char b : bytes) {
        s += d[b >> 4];
        s += d[b & 15];
    }
    return s;
}

void check(CK_RV rv, const char *what)
{
    if (rv != CKR_OK) throw std::runtime_error(std::string(what) + " failed: " + std::to_string(rv));
}

// The direct sequence: per hash the calls the host makes for one signature.
double directMilliseconds(const std::string &module, const std::string &pin)
{
    void *library = dlopen(module.c_str(), RTLD_NOW);
    if (!library) throw std::runtime_error("cannot load " + module);
    auto getList = reinterpret_cast<CK_RV (*)(CK_FUNCTION_LIST_PTR_PTR)>(dlsym(library, "C_GetFunctionList"));
    CK_FUNCTION_LIST_PTR f = nullptr;
    check(getList(&f), "C_GetFunctionList");
    check(f->C_Initialize(nullptr), "C_Initialize");
    CK_ULONG slotCount = 0;
    check(f->C_GetSlotList(CK_TRUE, nullptr, &slotCount), "C_GetSlotList");
    std::vector<CK_SLOT_ID> slots(slotCount);
    check(f->C_GetSlotList(CK_TRUE, slots.data(), &slotCount), "C_GetSlotList");
    CK_SESSION_HANDLE session;
    check(f->C_OpenSession(slots.at(0), CKF_SERIAL_SESSION, nullptr, nullptr, &session), "C_OpenSession");
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    unsigned char id = 1;
    CK_ATTRIBUTE search[] = {{CKA_CLASS, &keyClass, sizeof keyClass}, {CKA_ID, &id, 1}};

    static const unsigned char sha256Prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                                 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    const auto start = Clock::now();
    for (int i = 0; i < hashCount; ++i) {
        std::vector<unsigned char> data(sha256Prefix, sha256Prefix + sizeof sha256Prefix);
        const std::vector<unsigned char> hash = hashBytes(i);
        data.insert(data.end(), hash.begin(), hash.end());
        check(f->C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR)pin.c_str(), pin.size()), "C_Login");
        // A private key is only visible while logged in.
        check(f->C_FindObjectsInit(session, search, 2), "C_FindObjectsInit");
        CK_OBJECT_HANDLE key;
        CK_ULONG found = 0;
        check(f->C_FindObjects(session, &key, 1, &found), "C_FindObjects");
        if (found != 1) throw std::runtime_error("no private key with CKA_ID 01");
        CK_OBJECT_HANDLE more;
        check(f->C_FindObjects(session, &more, 1, &found), "C_FindObjects");
        check(f->C_FindObjectsFinal(session), "C_FindObjectsFinal");
        CK_KEY_TYPE keyType;
        CK_ATTRIBUTE typeAttribute = {CKA_KEY_TYPE, &keyType, sizeof keyType};
        check(f->C_GetAttributeValue(session, key, &typeAttribute, 1), "C_GetAttributeValue");
        CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
        check(f->C_SignInit(session, &mechanism, key), "C_SignInit");
        CK_ULONG length = 0;
        check(f->C_Sign(session, data.data(), data.size(), nullptr, &length), "C_Sign");
        std::vector<unsigned char> signature(length);
        check(f->C_Sign(session, data.data(), data.size(), signature.data(), &length), "C_Sign");
        check(f->C_Logout(session), "C_Logout");
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    f->C_CloseAllSessions(slots.at(0));
    f->C_Finalize(nullptr);
    dlclose(library);
    return ms;
}

struct Host {
    pid_t pid = -1;
    int in = -1, out = -1;

    explicit Host(const std::string &command)
    {
        int toHost[2], fromHost[2];
        if (pipe(toHost) != 0 || pipe(fromHost) != 0) throw std::runtime_error("pipe");
        pid = fork();
        if (pid == 0) {
            dup2(toHost[0], 0);
            dup2(fromHost[1], 1);
            close(toHost[1]);
            close(fromHost[0]);
            execl(command.c_str(), command.c_str(), (char *)nullptr);
            _exit(127);
        }
        close(toHost[0]);
        close(fromHost[1]);
        in = toHost[1];
        out = fromHost[0];
    }
    ~Host()
    {
        close(in);
        close(out);
        int status;
        waitpid(pid, &status, 0);
    }
    std::string exchange(const std::string &text)
    {
        std::uint32_t length = text.size();
        std::string frame(reinterpret_cast<char *>(&length), 4);
        frame += text;
        if (write(in, frame.data(), frame.size()) != ssize_t(frame.size())) throw std::runtime_error("write");
        readAll(&length, 4);
        std::string response(length, '\0');
        readAll(&response[0], length);
        return response;
    }
    void readAll(void *buffer, std::size_t n)
    {
        char *p = static_cast<char *>(buffer);
        while (n) {
            ssize_t got = read(out, p, n);
            if (got <= 0) throw std::runtime_error("the host ended");
            p += got;
            n -= std::size_t(got);
        }
    }
};

double hostMilliseconds(const std::string &hostPath, const std::string &pin, const std::string &certHex)
{
    char scriptPath[] = "/tmp/sign-bench-XXXXXX";
    const int fd = mkstemp(scriptPath);
    const std::string script = "pin " + pin + "\n";
    if (fd < 0 || write(fd, script.data(), script.size()) != ssize_t(script.size()))
        throw std::runtime_error("cannot write the dialog script");
    close(fd);
    setenv("QUORVANTA_DIALOG_SCRIPT", scriptPath, 1);

    Host host(hostPath);
    const std::string origin = "https://quorvanta.lv";
    // A page asks for the certificate first; that request also loads and
    // initialises the module, which the direct sequence does before its clock
    // starts too.
    const std::string cert = host.exchange(R"({"type":"CERT","nonce":"0","origin":")" + origin + "\"}");
    if (cert.find(certHex) == std::string::npos)
        throw std::runtime_error("the host did not find the certificate: " + cert.substr(0, 300));
    std::string hashes;
    for (int i = 0; i < hashCount; ++i) {
        if (i) hashes += ",";
        char name[16];
        std::snprintf(name, sizeof name, "doc%03d", i);
        hashes += std::string("\"") + name + "\":\"" + hex(hashBytes(i)) + "\"";
    }
    const std::string request = R"({"type":"SIGN","nonce":"1","origin":")" + origin + R"(","cert":")" + certHex
                                + R"(","hash":{)" + hashes + "}}";
    const auto start = Clock::now();
    const std::string response = host.exchange(request);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    unlink(scriptPath);
    if (response.find("\"result\": \"ok\"") == std::string::npos)
        throw std::runtime_error("the host did not sign: " + response.substr(0, 300));
    return ms;
}

// The fastest round: what the work costs without the noise of whatever else
// the machine is doing.
double fastest(const std::vector<double> &values)
{
    return *std::min_element(values.begin(), values.end());
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s HOST MODULE PIN CERT.der [GOAL_RATIO [ROUNDS]]\n", argv[0]);
        return 2;
    }
    try {
        std::ifstream certFile(argv[4], std::ios::binary);
        std::stringstream der;
        der << certFile.rdbuf();
        const std::string derText = der.str();
        const std::string certHex = hex(std::vector<unsigned char>(derText.begin(), derText.end()));
        const double goalRatio = argc > 5 ? std::atof(argv[5]) : 1.10;
        const int rounds = argc > 6 ? std::max(1, std::atoi(argv[6])) : 7;

        std::vector<double> direct, host;
        for (int round = 0; round < rounds; ++round) {
            direct.push_back(directMilliseconds(argv[2], argv[3]));
            host.push_back(hostMilliseconds(argv[1], argv[3], certHex));
        }
        const double d = fastest(direct), h = fastest(host);
        std::printf("batch of %d SHA-256 hashes, RSA-2048 on SoftHSM2, fastest of %d rounds\n", hashCount, rounds);
        std::printf("direct Cryptoki sequence: %8.1f ms\n", d);
        std::printf("through the host:         %8.1f ms\n", h);
        std::printf("host / direct:            %8.3f (goal: at most %.2f)\n", h / d, goalRatio);
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "sign-bench: %s\n", e.what());
        return 1;
    }
}
