#pragma once
// Calls into the library the way a host compiled elsewhere makes them, knowing only
// the layout of the interface tables: slot n of the table the object points at,
// called with the object as its hidden first argument. On 32-bit Windows that is
// the thiscall convention (the object in ECX, the callee removes the arguments);
// the exports are cdecl. Elsewhere both are the platform's plain C call.

#if defined(_WIN32) && defined(__i386__)
#define HOST_THISCALL __attribute__((thiscall))
#define HOST_CDECL __attribute__((cdecl))
#else
#define HOST_THISCALL
#define HOST_CDECL
#endif

template <class R, class... A>
R call_slot(void* object, int slot, A... args) {
    typedef R(HOST_THISCALL * Fn)(void*, A...);
    Fn* table = *(Fn**)object;
    return table[slot](object, args...);
}
