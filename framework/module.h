#pragma once
// Library loading seam: entry points of a loaded module by name (GetProcAddress on
// Windows, dlsym elsewhere).

void* module_symbol(void* module, const char* name);
