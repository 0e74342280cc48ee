// The library frame: loading and closing the PKCS#11 module, its description, and the helpers
// every family uses.
#include "token/VantrelBasic.h"

#include <cstring>
#include <new>

#include "p11/p11_key.h"

namespace vantrel {

namespace {

VR_RESULT Prefix(Family family) {
    switch (family) {
    case Family::Basic:
    case Family::BareIds:
        return BASIC_ERRORS;
    case Family::Cert:
    case Family::Extension:
        return CERT_ERRORS;
    default:
        return CRYPTO_ERRORS;
    }
}

// The named code of an operation's own failure in each family.
VR_RESULT OperationError(Family family) {
    switch (family) {
    case Family::Sign:
        return CRYPTO_SIGN_ERROR;
    case Family::Verify:
        return CRYPTO_VERIFY_ERROR;
    case Family::Encrypt:
        return CRYPTO_ENCRYPT_ERROR;
    case Family::Decrypt:
        return CRYPTO_DECRYPT_ERROR;
    case Family::Cert:
    case Family::Extension:
        return CERT_PARSE_ERROR;
    case Family::Pkcs7:
        return CRYPTO_PKCS7_TYPE_ERROR;
    default:
        return BASIC_CONVERT_ERROR;
    }
}

} // namespace

VR_RESULT ToResult(const Status& status, Family family) {
    if (status.Ok()) {
        return OK;
    }
    if (status.p11 != 0) {
        return Prefix(family) | status.p11;
    }
    if (family == Family::Extension) {
        switch (status.fault) {
        case Fault::NotFound:
            return CERT_NO_SUCH_EXTENSION;
        case Fault::Index:
            return CERT_INDEX_ERROR;
        case Fault::BadInput: // an identifier text that is not one
            return CERT_TO_OBJ_ERROR;
        case Fault::Invalid: // an extension without the entry it must hold
            return CERT_STACK_ERROR;
        case Fault::OpenSsl: // an identifier that cannot be printed
            return CERT_TO_TEXT_ERROR;
        case Fault::Unsupported: // a value of a type not offered
            return CERT_DATA_TYPE_INVALID;
        default:
            break;
        }
    }
    switch (status.fault) {
    case Fault::None:
        return OK;
    case Fault::Argument:
        return BASIC_ARGUMENTS_BAD;
    case Fault::BadInput:
        return family == Family::Basic || family == Family::BareIds ? BASIC_ARGUMENTS_BAD
                                                                    : OperationError(family);
    case Fault::NoModule:
        return BASIC_MODULE_NOT_LOADED;
    case Fault::NotLoggedIn:
        return BASIC_USER_NOT_LOGGED_IN;
    case Fault::AlreadyLoggedIn:
        return BASIC_USER_ALREADY_LOGGED_IN;
    case Fault::BufferTooSmall:
        return family == Family::BareIds ? CKR_BUFFER_TOO_SMALL : BASIC_BUFFER_TOO_SMALL;
    case Fault::Memory:
        return BASIC_MALLOC_ERROR;
    case Fault::NotFound:
        return family == Family::Pkcs7 ? CRYPTO_PKCS7_GET_SIGNER : BASIC_OBJECT_NOT_FOUND;
    case Fault::Index:
        return BASIC_INDEX_ERROR;
    case Fault::OpenSsl:
        // A certificate check that OpenSSL could not carry out gives no verdict: -1, all bits.
        return family == Family::Cert ? 0xFFFFFFFFu : OperationError(family);
    case Fault::Convert:
    case Fault::Unsupported:
    case Fault::Invalid:
        return OperationError(family);
    case Fault::Refused:
    case Fault::BrokenModule:
        break;
    }
    // A module failure without a code of its own: the general PKCS#11 failure.
    return Prefix(family) | CKR_FUNCTION_FAILED;
}

Status CopyPadded(const unsigned char* field, std::size_t width, char* buf, std::uint32_t* len) {
    std::size_t n = width;
    while (n > 0 && (field[n - 1] == ' ' || field[n - 1] == '\0')) {
        --n;
    }
    if (n == 0) {
        return Status::Done();
    }
    if (len == nullptr) {
        return Status::Fail(Fault::Argument, "length");
    }
    if (buf == nullptr || *len < n + 1) {
        *len = static_cast<std::uint32_t>(n);
        return Status::Fail(Fault::BufferTooSmall, "text");
    }
    std::memcpy(buf, field, n);
    buf[n] = '\0';
    *len = static_cast<std::uint32_t>(n);
    return Status::Done();
}

} // namespace vantrel

using vantrel::Fault;
using vantrel::Status;
using vantrel::ToResult;

namespace {

Status OpenLibrary(const char* moduleFile, PKCS11* p11) {
    if (p11 == nullptr) {
        return Status::Fail(Fault::Argument, "record");
    }
    std::memset(p11, 0, sizeof *p11);
    if (moduleFile == nullptr) {
        return Status::Fail(Fault::Argument, "module file");
    }
    auto* module = new (std::nothrow) PKCS11_MODULE{};
    if (module == nullptr) {
        return Status::Fail(Fault::Memory, "module record");
    }
    const Status loaded = Status::FromRv(p11_load_module(moduleFile, module), "load module");
    if (!loaded.Ok()) {
        delete module;
        return loaded;
    }
    p11->module = module;
    return loaded;
}

Status ShutLibrary(PKCS11* p11) {
    if (p11 == nullptr) {
        return Status::Fail(Fault::Argument, "record");
    }
    P11_RV rv = CKR_OK;
    if (p11->module != nullptr) {
        rv = p11_unload_module(p11->module);
        delete p11->module;
    }
    // Finalising the module ends a session still open; its record (and a PIN kept in it, which
    // its destructor wipes) would be lost here.
    delete p11->session;
    p11->module = nullptr;
    p11->session = nullptr;
    return Status::FromRv(rv, "unload module");
}

Status LibraryDesc(PKCS11* p11, char* buf, std::uint32_t* len) {
    if (p11 == nullptr) {
        return Status::Fail(Fault::Argument, "record");
    }
    if (p11->module == nullptr) {
        return Status::Fail(Fault::NoModule, "library description");
    }
    CK_INFO info;
    std::memset(&info, 0, sizeof info);
    const Status read = Status::FromRv(p11_get_info(p11->module, &info), "C_GetInfo");
    if (!read.Ok()) {
        return read;
    }
    return vantrel::CopyPadded(info.libraryDescription, sizeof info.libraryDescription, buf, len);
}

} // namespace

VANTREL_API VR_RESULT InitLibrary(const char* moduleFile, PKCS11* p11) {
    return ToResult(OpenLibrary(moduleFile, p11));
}

VANTREL_API VR_RESULT CloseLibrary(PKCS11* p11) {
    return ToResult(ShutLibrary(p11));
}

VANTREL_API VR_RESULT GetLibraryDesc(PKCS11* p11, char* buf, std::uint32_t* len) {
    return ToResult(LibraryDesc(p11, buf, len));
}
