// Loading a shared library by file name at run time.
#pragma once

#include "platform/types.h"

namespace plat {

// Platform's normal search order (LoadLibraryA / dlopen). Null on failure, last error set.
ModuleHandle LoadModule(const char* fileName);
// Null when the symbol is missing or the module is null.
void* FindSymbol(ModuleHandle module, const char* name);
bool UnloadModule(ModuleHandle module);

} // namespace plat
