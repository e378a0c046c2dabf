#include <dlfcn.h>

#include "framework/module.h"

void* module_symbol(void* module, const char* name) {
    if (!module || !name) return nullptr;
    return dlsym(module, name);
}
