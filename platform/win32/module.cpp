// Loading a shared library by file name on Windows.
#include "platform/module.h"

#include "platform/win32/win.h"

namespace plat {

ModuleHandle LoadModule(const char* fileName) {
    if (fileName == nullptr || *fileName == '\0') {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return ::LoadLibraryA(fileName);
}

void* FindSymbol(ModuleHandle module, const char* name) {
    if (module == nullptr || name == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(module), name));
}

bool UnloadModule(ModuleHandle module) {
    if (module == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return ::FreeLibrary(static_cast<HMODULE>(module)) != 0;
}

std::string LastLoadError() {
    return ErrorText(::GetLastError());
}

} // namespace plat
