// Loading a shared library by file name at run time.
#pragma once

#include <string>

#include "platform/types.h"

namespace plat {

// Platform's normal search order (LoadLibraryA / dlopen). Null on failure, last error set.
ModuleHandle LoadModule(const char* fileName);
// Null when the symbol is missing or the module is null.
void* FindSymbol(ModuleHandle module, const char* name);
bool UnloadModule(ModuleHandle module);
// Why the thread's last LoadModule failed, as the system says it (dlerror, or the Windows
// error's message).
std::string LastLoadError();

} // namespace plat
