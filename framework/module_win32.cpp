#include <windows.h>

#include "framework/module.h"

void* module_symbol(void* module, const char* name) {
    if (!module || !name) return nullptr;
    return (void*)GetProcAddress((HMODULE)module, name);
}
