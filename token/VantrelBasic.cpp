// The library frame: loading and closing the PKCS#11 module, its description, and the helpers
// every family uses.
#include "token/VantrelBasic.h"

#include <cstring>
#include <new>

#include "p11/p11_key.h"

namespace vantrel {

VR_RESULT CopyPadded(const unsigned char* field, std::size_t width, char* buf, std::uint32_t* len) {
    std::size_t n = width;
    while (n > 0 && (field[n - 1] == ' ' || field[n - 1] == '\0')) {
        --n;
    }
    if (n == 0) {
        return OK;
    }
    if (len == nullptr) {
        return BASIC_ARGUMENTS_BAD;
    }
    if (buf == nullptr || *len < n + 1) {
        *len = static_cast<std::uint32_t>(n);
        return BASIC_BUFFER_TOO_SMALL;
    }
    std::memcpy(buf, field, n);
    buf[n] = '\0';
    *len = static_cast<std::uint32_t>(n);
    return OK;
}

} // namespace vantrel

using vantrel::Basic;

VANTREL_API VR_RESULT InitLibrary(const char* moduleFile, PKCS11* p11) {
    if (p11 == nullptr) {
        return BASIC_ARGUMENTS_BAD;
    }
    std::memset(p11, 0, sizeof *p11);
    if (moduleFile == nullptr) {
        return BASIC_ARGUMENTS_BAD;
    }
    auto* module = new (std::nothrow) PKCS11_MODULE{};
    if (module == nullptr) {
        return BASIC_MALLOC_ERROR;
    }
    const P11_RV rv = p11_load_module(moduleFile, module);
    if (rv != CKR_OK) {
        delete module;
        return Basic(rv);
    }
    p11->module = module;
    return OK;
}

VANTREL_API VR_RESULT CloseLibrary(PKCS11* p11) {
    if (p11 == nullptr) {
        return BASIC_ARGUMENTS_BAD;
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
    return Basic(rv);
}

VANTREL_API VR_RESULT GetLibraryDesc(PKCS11* p11, char* buf, std::uint32_t* len) {
    if (p11 == nullptr) {
        return BASIC_ARGUMENTS_BAD;
    }
    if (p11->module == nullptr) {
        return BASIC_MODULE_NOT_LOADED;
    }
    CK_INFO info;
    std::memset(&info, 0, sizeof info);
    if (const P11_RV rv = p11_get_info(p11->module, &info)) {
        return Basic(rv);
    }
    return vantrel::CopyPadded(info.libraryDescription, sizeof info.libraryDescription, buf, len);
}
