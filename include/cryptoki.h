// Cryptoki (PKCS#11 v2.x) types, constants and structures from p11-kit's published header.
// Under _WIN32 that header packs its structures to 1 byte and CK_ULONG is 32-bit, which is the
// Windows Cryptoki ABI; on Linux CK_ULONG is the platform's 64-bit unsigned long.
#pragma once

#include <p11-kit/pkcs11.h>
