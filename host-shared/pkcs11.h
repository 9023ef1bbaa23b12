// The Cryptoki types of the distribution's header. Windows modules pack their
// structures to one byte.
#pragma once

#if defined(_WIN32)
#pragma pack(push, cryptoki, 1)
#endif

#include <p11-kit/pkcs11.h>

#if defined(_WIN32)
#pragma pack(pop, cryptoki)
#endif
