#include "hostloop.h"

#include "errors.h"
#include "iocommunicator.h"
#include "jsonxx.h"
#include "log.h"
#include "requesthandler.h"

#include <exception>
#include <string>

int runHost(std::FILE *in, std::FILE *out)
{
    IOCommunicator io(in, out);
    // The nonce of the last request that parsed; the error response that
    // ends the host carries it.
    std::string nonce;
    jsonxx::Object errorResponse;
    try {
        for (;;) {
            writeLog("main", __FILE__, __LINE__, "Parsing input...");
            const std::string text = io.readMessage();
            RequestHandler handler(text);
            nonce = handler.getNonce();
            writeLog("main", __FILE__, __LINE__, "got nonce %s", nonce.c_str());
            io.sendMessage(handler.handleRequest().json());
        }
    } catch (const InvalidArgumentException &e) {
        errorResponse << "result" << e.getErrorCode() << "message" << e.getErrorMessage();
    } catch (const std::exception &e) {
        // Every other runtime error (card, registry, hex, token), and also
        // allocation failures and the like: one clear answer, then exit.
        errorResponse << "result" << "technical_error" << "message" << e.what();
    }
    if (!nonce.empty()) errorResponse << "nonce" << nonce;
    io.sendMessage(errorResponse.json());
    return 1;
}
