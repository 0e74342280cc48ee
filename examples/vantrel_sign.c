/*
 * vantrel_sign: signs a file with the signature key of a smart card through libvantrel.
 *
 * It opens the card's PKCS#11 module, lists the slots (readers), logs in to the card in the
 * named reader (or the first reader holding a card) with the PIN read from standard input,
 * prints the holder's name from the signature certificate, and writes the RSA PKCS#1 v1.5
 * signature of the file's SHA-256 digest.
 *
 *   cc vantrel_sign.c $(pkg-config --cflags --libs vantrel) -o vantrel_sign
 *   echo "$PIN" | ./vantrel_sign /usr/lib/x86_64-linux-gnu/opensc-pkcs11.so data data.sig
 *   openssl dgst -sha256 -verify holder.pub.pem -signature data.sig data
 *
 * usage: vantrel_sign MODULE FILE SIGNATURE-FILE [READER]
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vantrel.h>

#define MAX_SLOTS 32
#define CKM_SHA256_RSA_PKCS 64 /* the PKCS#11 mechanism number BasicSign takes */

static int Fail(const char* what, VR_RESULT rv) {
    fprintf(stderr, "vantrel_sign: %s failed: 0x%08lX\n", what, (unsigned long)rv);
    return 1;
}

/* Reads a whole file into memory; the caller frees it. */
static unsigned char* ReadFile(const char* path, long* size) {
    FILE* file = fopen(path, "rb");
    unsigned char* data = NULL;
    if (file == NULL)
        return NULL;
    if (fseek(file, 0, SEEK_END) == 0 && (*size = ftell(file)) >= 0 && *size < 0x7FFFFFFF &&
        fseek(file, 0, SEEK_SET) == 0) {
        data = malloc((size_t)*size + 1);
        if (data != NULL && fread(data, 1, (size_t)*size, file) != (size_t)*size) {
            free(data);
            data = NULL;
        }
    }
    fclose(file);
    return data;
}

/* Lists the slots and picks the one described as reader, or the first one holding a card. */
static int ChooseSlot(PKCS11* p11, const char* reader, VR_SLOT_ID* chosen) {
    VR_SLOT_ID slots[MAX_SLOTS];
    uint32_t count = MAX_SLOTS, i;
    int found = 0;
    VR_RESULT rv = GetSlotID(p11, slots, &count);
    if (rv != OK)
        return Fail("GetSlotID", rv);
    for (i = 0; i < count; i++) {
        char desc[65] = "", label[33] = "";
        uint32_t descLen = sizeof desc, labelLen = sizeof label;
        VR_RESULT present = IsTokenPresent(p11, slots[i]);
        if (GetSlotDesc(p11, slots[i], desc, &descLen) != OK)
            desc[0] = '\0';
        if (present == 1 && GetTokenLabel(p11, slots[i], label, &labelLen) != OK)
            label[0] = '\0';
        printf("slot %lu: %s%s%s\n", (unsigned long)slots[i], desc,
               present == 1 ? ", card " : ", no card", label);
        if (!found && present == 1 && (reader == NULL || strcmp(reader, desc) == 0)) {
            *chosen = slots[i];
            found = 1;
        }
    }
    if (!found) {
        fprintf(stderr, "vantrel_sign: no card in %s\n", reader ? reader : "any reader");
        return 1;
    }
    return 0;
}

/* Logged in: prints the holder, signs the data and writes the signature. */
static int SignWithCard(PKCS11* p11, const unsigned char* data, long size, const char* sigPath) {
    VR_CERT cert = NULL;
    VR_KEY key = NULL;
    unsigned char* sig = NULL;
    int32_t sigLen = 0;
    char name[512];
    int32_t nameLen = sizeof name;
    int status = 1;
    FILE* out;
    VR_RESULT rv;

    if ((rv = GetSignatureCert(p11, &cert)) != OK)
        return Fail("GetSignatureCert", rv);
    if (GetSubjectDN(cert, 1, name, &nameLen) == OK)
        printf("signer: %s\n", name);
    FreeCert(cert);

    if ((rv = GetSignatureKey(p11, &key)) != OK)
        return Fail("GetSignatureKey", rv);
    /* Asked without a buffer, BasicSign tells the signature's size. */
    if ((rv = BasicSign(CKM_SHA256_RSA_PKCS, data, (int32_t)size, key, NULL, &sigLen)) != OK) {
        status = Fail("BasicSign (size)", rv);
    } else if ((sig = malloc((size_t)sigLen)) == NULL) {
        fprintf(stderr, "vantrel_sign: out of memory\n");
    } else if ((rv = BasicSign(CKM_SHA256_RSA_PKCS, data, (int32_t)size, key, sig, &sigLen)) !=
               OK) {
        status = Fail("BasicSign", rv);
    } else if ((out = fopen(sigPath, "wb")) == NULL) {
        perror(sigPath);
    } else {
        status = fwrite(sig, 1, (size_t)sigLen, out) == (size_t)sigLen ? 0 : 1;
        if (fclose(out) != 0 || status != 0) {
            perror(sigPath);
            status = 1;
        } else {
            printf("signature: %ld bytes in %s\n", (long)sigLen, sigPath);
        }
    }
    free(sig);
    FreeKey(key);
    return status;
}

int main(int argc, char** argv) {
    PKCS11 p11;
    VR_SLOT_ID slot = 0;
    char pin[64];
    uint32_t deviceError = 0;
    unsigned char* data;
    long size = 0;
    int status = 1;
    VR_RESULT rv;

    if (argc < 4 || argc > 5) {
        fprintf(stderr,
                "usage: vantrel_sign MODULE FILE SIGNATURE-FILE [READER]  (PIN on stdin)\n");
        return 2;
    }
    if ((data = ReadFile(argv[2], &size)) == NULL) {
        perror(argv[2]);
        return 1;
    }
    if (fgets(pin, sizeof pin, stdin) == NULL) {
        fprintf(stderr, "vantrel_sign: no PIN on standard input\n");
        free(data);
        return 1;
    }
    pin[strcspn(pin, "\r\n")] = '\0';

    if ((rv = InitLibrary(argv[1], &p11)) != OK) {
        free(data);
        return Fail("InitLibrary", rv);
    }
    if (ChooseSlot(&p11, argc == 5 ? argv[4] : NULL, &slot) == 0) {
        rv = LoginToken(&p11, slot, pin, &deviceError);
        if (rv == BASIC_PIN_INCORRECT) {
            fprintf(stderr, "vantrel_sign: wrong PIN\n");
        } else if (rv != OK) {
            Fail("LoginToken", rv);
        } else {
            status = SignWithCard(&p11, data, size, argv[3]);
            if ((rv = LogoutToken(&p11)) != OK)
                status = Fail("LogoutToken", rv);
        }
    }
    memset(pin, 0, sizeof pin);
    CloseLibrary(&p11);
    free(data);
    return status;
}
