#include "agent/Warmup.h"

#include <openssl/decoder.h>
#include <openssl/evp.h>

#include "agent/TokenAgent.h"
#include "platform/text.h"

void PrepareForRequests(CTokenAgent& agent) {
    agent.StartDeferredLibrary();
    agent.Channels().PrepareViews();
    for (const char* digest : {"SHA1", "SHA256"}) {
        EVP_MD_free(EVP_MD_fetch(nullptr, digest, nullptr));
    }
    plat::WidenText("A"); // loads the ANSI code page's converter where one is loaded
    EVP_PKEY* key = nullptr;
    OSSL_DECODER_CTX_free(OSSL_DECODER_CTX_new_for_pkey(&key, "DER", "SubjectPublicKeyInfo", "RSA",
                                                        EVP_PKEY_PUBLIC_KEY, nullptr, nullptr));
}
