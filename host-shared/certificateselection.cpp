#include "certificateselection.h"

#include "errors.h"

std::string CertificateSelection::getCertPKCS11(bool, const std::string &)
{
    throw TechnicalException("Certificate requests are not available");
}
