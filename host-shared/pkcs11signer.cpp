#include "pkcs11signer.h"

#include "errors.h"
#include "pkcs11cardmanager.h"

std::unique_ptr<Signer> getSigner(const jsonxx::Value &, const std::string &, const std::string &,
                                  bool, bool)
{
    throw TechnicalException("Signing requests are not available");
}
