// Shared libraries by file name: dlopen's search order (LD_LIBRARY_PATH, then the system).
#include "platform/module.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include <dlfcn.h>
#include <unistd.h>

namespace plat {

namespace {
thread_local std::string g_loadError;
} // namespace

ModuleHandle LoadModule(const char* fileName) {
    // dlopen(nullptr) would hand back the program itself.
    if (fileName == nullptr || *fileName == '\0') {
        errno = EINVAL;
        g_loadError = std::strerror(EINVAL);
        return nullptr;
    }
    if (std::strlen(fileName) >= PATH_MAX) {
        errno = ENAMETOOLONG;
        g_loadError = std::strerror(ENAMETOOLONG);
        return nullptr;
    }
    void* module = dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* reason = dlerror();
        g_loadError = reason != nullptr ? reason : std::strerror(ENOEXEC);
        const bool missing = reason != nullptr && std::strstr(reason, "No such file") != nullptr;
        errno = missing ? ENOENT : ENOEXEC;
    }
    return module;
}

void* FindSymbol(ModuleHandle module, const char* name) {
    if (module == nullptr || name == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    dlerror();
    void* symbol = dlsym(module, name);
    if (symbol == nullptr) {
        errno = ENOENT;
    }
    return symbol;
}

bool UnloadModule(ModuleHandle module) {
    if (module == nullptr) {
        errno = EINVAL;
        return false;
    }
    if (dlclose(module) != 0) {
        errno = EINVAL;
        return false;
    }
    return true;
}

std::string LastLoadError() {
    return g_loadError;
}

} // namespace plat
