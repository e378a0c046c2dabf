// Engine context, handle table and memory primitives.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/os.h"
#include "engine/core/os_platform.h"
#include "engine/core/profile.h"

namespace {

struct Slot {
    void* block;            // control block, current
    void* block_allocated;  // control block, as allocated
    uint8_t kind;
};

struct Context {
    uintptr_t process_tag;
    XDSTATUS last_status;
    int16_t date_format;
    Slot* slots;
    int slot_count;
    int16_t occupied;
    int collation;
};

Context* g_ctx = nullptr;
XdbCloseFn g_closers[11] = {nullptr, dbf_close};
void* g_current[11];  // current control block of each kind

const char* const kDateFormatNames[16] = {
    "",
    "Gregorian (mm/dd/yy)",
    "Gregorian (mm/dd/yyyy)",
    "Julian (yyyy/ddd)",
    "dBASE (yyyymmdd)",
    "DMY (ddmmyy)",
    "German (dd.mm.yy)",
    "German (dd.mm.yyyy)",
    "British (dd/mm/yy)",
    "British (dd/mm/yyyy)",
    "French (dd/mm/yy)",
    "French (dd/mm/yyyy)",
    "Italian (dd-mm-yy)",
    "Italian (dd-mm-yyyy)",
    "ENSI (yy.mm.dd)",
    "ENSI (yyyy.mm.dd)",
};

}  // namespace

XDSTATUS xdbinit() {
    uintptr_t tag = plat_process_tag();
    if (g_ctx) xdbterm();
    Context* c = (Context*)calloc(1, sizeof(Context));
    if (!c) return XD_MEMERR;
    c->process_tag = tag;
    c->date_format = 4;
    c->slot_count = XDB_HANDLE_SLOTS;
    c->slots = (Slot*)calloc(XDB_HANDLE_SLOTS, sizeof(Slot));
    if (!c->slots) {
        free(c);
        return XD_MEMERR;
    }
    if (!osl_init()) {
        free(c->slots);
        free(c);
        return XD_MEMERR;
    }
    // Byte order unless the configuration asks for the national order (0).
    c->collation = profile_get_int("QXDB4XX.INI", "sort", "asciisort", 1) != 0 ? 1 : 0;
    g_ctx = c;
    return xdb_report(XD_OK);
}

XDSTATUS xdbterm() {
    if (!g_ctx) return XD_OK;
    for (int h = 0; h < g_ctx->slot_count; h++) {
        uint8_t kind = g_ctx->slots[h].kind;
        if (kind == XDB_KIND_FREE) continue;
        g_ctx->last_status = XD_OK;
        if (kind < 11 && g_closers[kind])
            g_closers[kind]((int16_t)h);
        if (g_ctx->slots[h].kind != XDB_KIND_FREE) xdb_release_slot((int16_t)h);
    }
    free(g_ctx->slots);
    free(g_ctx);
    g_ctx = nullptr;
    memset(g_current, 0, sizeof g_current);
    osl_term();
    return XD_OK;
}

bool xdb_started() { return g_ctx != nullptr; }

XDSTATUS xdb_get_status() { return g_ctx ? g_ctx->last_status : XD_NOTASK; }

XDSTATUS xdb_set_status(XDSTATUS status) {
    if (!g_ctx) return XD_NOTASK;
    return g_ctx->last_status = status;
}

XDSTATUS xdb_pending() {
    if (!g_ctx) return XD_NOTASK;
    return g_ctx->last_status < 0 ? g_ctx->last_status : XD_OK;
}

XDSTATUS xdb_report(XDSTATUS status) {
    if (g_ctx) g_ctx->last_status = status;
    return status;
}

XDSTATUS xdb_status() { return g_ctx ? g_ctx->last_status : XD_NOTASK; }

int xdb_collation_flag() { return g_ctx ? g_ctx->collation : 1; }

void xdb_set_collation_flag(int flag) {
    if (g_ctx) g_ctx->collation = flag;
}

namespace {
XdbProgressFn g_progress = nullptr;
void* g_progress_context = nullptr;
}  // namespace

void xdb_set_progress(XdbProgressFn hook, void* context) {
    g_progress = hook;
    g_progress_context = context;
}

void xdb_report_progress(uint32_t done, uint32_t total) {
    if (g_progress) g_progress(g_progress_context, done, total);
}

int16_t xdb_date_format() { return g_ctx ? g_ctx->date_format : 4; }

int16_t xdb_swap_date_format(int16_t code) {
    if (!g_ctx) return 4;
    int16_t old = g_ctx->date_format;
    if (code >= 1 && code <= 15) g_ctx->date_format = code;
    return old;
}

XDSTATUS xdb_set_date_format(int16_t code) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (code < 1 || code > 15) return xdb_report(XD_BADCOMMAND);
    g_ctx->date_format = code;
    return xdb_status();
}

XDSTATUS xdb_get_date_format(int16_t* code, char* name, size_t cap) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!code || !name || cap == 0) return xdb_report(XD_NULLPARAM);
    *code = g_ctx->date_format;
    snprintf(name, cap, "%s", kDateFormatNames[g_ctx->date_format]);
    return xdb_status();
}

void xdb_register_closer(uint8_t kind, XdbCloseFn close) {
    if (kind >= 1 && kind <= 10) g_closers[kind] = close;
}

namespace {

size_t control_block_size(uint8_t kind) {
    switch (kind) {
    case XDB_KIND_DBF: return dbf_control_block_size();
    default: return 4096;  // formats without a control block of their own yet
    }
}

}  // namespace

XDSTATUS xdb_alloc_slot(uint8_t kind, int16_t* handle, void** block) {
    if (!g_ctx) return XD_NOTASK;
    if (!handle || !block) return xdb_report(XD_NULLPARAM);
    int h = 0;
    while (h < g_ctx->slot_count && g_ctx->slots[h].kind != XDB_KIND_FREE) h++;
    if (h == g_ctx->slot_count) {
        *handle = -1;
        return xdb_report(XD_NOHANDLE);
    }
    if (kind < 1 || kind > 10) return xdb_report(XD_BADPARAM);
    void* b = calloc(1, control_block_size(kind));
    if (!b) {
        *handle = -1;
        return xdb_report(XD_MEMERR);
    }
    g_ctx->slots[h].block = b;
    g_ctx->slots[h].block_allocated = b;
    g_ctx->slots[h].kind = kind;
    g_ctx->occupied++;
    *handle = (int16_t)h;
    *block = b;
    return XD_OK;
}

void xdb_release_slot(int16_t handle) {
    if (!g_ctx || handle < 0 || handle >= g_ctx->slot_count) return;
    Slot& s = g_ctx->slots[handle];
    if (s.kind == XDB_KIND_FREE) return;
    if (g_current[s.kind] == s.block) g_current[s.kind] = nullptr;
    free(s.block_allocated);
    s.block = s.block_allocated = nullptr;
    s.kind = XDB_KIND_FREE;
    g_ctx->occupied--;
}

XDSTATUS xdb_select(int16_t handle, uint8_t kind, void** block) {
    if (!g_ctx) return XD_NOTASK;
    if (handle < 0 || handle >= g_ctx->slot_count || g_ctx->slots[handle].kind != kind)
        return xdb_report(XD_BADHANDLE);
    g_current[kind] = g_ctx->slots[handle].block;
    *block = g_ctx->slots[handle].block;
    return XD_OK;
}

uint8_t xdb_slot_kind(int16_t handle) {
    if (!g_ctx || handle < 0 || handle >= g_ctx->slot_count) return XDB_KIND_FREE;
    return g_ctx->slots[handle].kind;
}

int xdb_slots_in_use() { return g_ctx ? g_ctx->occupied : 0; }

XDSTATUS xdb_alloc(void** p, size_t size) {
    if (!p) return xdb_report(XD_NULLPARAM);
    *p = calloc(1, size ? size : 1);
    if (!*p) return xdb_report(XD_MEMERR);
    return XD_OK;
}

XDSTATUS xdb_realloc(void** p, size_t size) {
    if (!p) return xdb_report(XD_NULLPARAM);
    void* n = realloc(*p, size ? size : 1);
    if (!n) return xdb_report(XD_MEMERR);
    *p = n;
    return XD_OK;
}

void xdb_free(void* p) { free(p); }
