// The exports: version, counted start and stop, the driver object and its proxy,
// the compatibility answer, the host's routines, and the message service.

#include "driver/library.h"

#include <cstring>

#include "driver/driver_proxy.h"
#include "driver/library_state.h"
#include "driver/xbase_driver.h"
#include "engine/core/engine.h"
#include "engine/core/profile.h"
#include "framework/codepage.h"
#include "framework/module.h"
#include "framework/native.h"
#include "resources/messages.h"

const char* const kHostCalcRoutineNames[30] = {
    "bCanCompareEx",        "wAjouteEx",          "wSoustraitEx",
    "wMultiplieEx",         "wDiviseEx",          "wModuloEx",
    "nComparaisonEx",       "nEgaliteEx",         "nSuperieurEx",
    "nInferieurEx",         "nPresqueEgalEx",     "nSoupleEgalEx",
    "nCommenceParEx",       "nCommenceParSoupleEx", "nCommenceParTresSoupleEx",
    "nContientEx",          "nContientSoupleEx",  "nContientTresSoupleEx",
    "nTermineParEx",        "nTermineParSoupleEx", "nTermineParTresSoupleEx",
    "nETLogiqueEx",         "nOULogiqueEx",       "nNONLogiqueEx",
    "nNegationEx",          "nAdditionEx",        "nSoustractionEx",
    "nMultiplicationEx",    "nDivisionEx",        "nModuloEx",
};

LibraryState& library() {
    static LibraryState state;
    return state;
}

int16_t library_start_engine() {
    LibraryState& L = library();
    if (L.engine_started) return XD_OK;
    XDSTATUS s = xdbinit();
    if (s == XD_OK) {
        L.engine_started = true;
        L.engine_starts++;
    }
    return s;
}

namespace {

void startup() {
    LibraryState& L = library();
    // The start-up work runs once; a start after a complete stop repeats it (see
    // ExternalTermLibrary), so the guard counts per start rather than per load.
    if (++L.startup_guard > 1) return;
    L.framework_started = true;
    L.compatibility_version = 0;
    // qxdbins.ini is named without a directory: where it is looked for is the
    // platform's rule for private-profile files (os_platform.h).
    L.delete_index = profile_get_int("qxdbins.ini", "OPTION", "DELETEINDEX", 0);
    L.duplicates_on = profile_get_int("qxdbins.ini", "OPTION", "DUPLICATESON", 0);
}

void teardown() {
    LibraryState& L = library();
    if (L.engine_started) {
        xdbterm();
        L.engine_started = false;
    }
    if (L.framework_started) {
        L.framework_started = false;
        execution_teardown();
    }
    // A later start runs the start-up again (options re-read, engine restarted on
    // the next connection): the library is usable after a complete stop.
    L.startup_guard = 0;
}

}  // namespace

QXDB_EXPORT int32_t QXDB_CALL CheckVersion() { return 23; }

QXDB_EXPORT int32_t QXDB_CALL bExternalInitLibrary() {
    LibraryState& L = library();
    if (L.start_count++ <= 0) startup();
    return 1;
}

QXDB_EXPORT void QXDB_CALL ExternalTermLibrary() {
    LibraryState& L = library();
    if (L.start_count <= 0) return;  // a stop without a start changes nothing
    if (--L.start_count == 0) teardown();
}

QXDB_EXPORT IXbaseDriver* QXDB_CALL piQueryInterface(int32_t) {
    QXDB_DRIVER_ENTRY;
    LibraryState& L = library();
    XbaseDriver* d = new XbaseDriver();
    d->AddRef();
    L.current_driver = d;
    d->RenewErrorHolder();
    return d;
}

QXDB_EXPORT IXDriverProxy* QXDB_CALL pQueryProxy(int32_t proxy_id) {
    if (proxy_id != 191) return nullptr;
    DriverProxy* p = new DriverProxy(library().current_driver);
    p->AddRef();
    return p;
}

QXDB_EXPORT void QXDB_CALL DeclareProxy(int32_t* first, char16_t* second, int32_t* third, char16_t* fourth) {
    if (first) *first = 0;
    if (second) *second = 0;
    if (third) *third = 0;
    if (fourth) *fourth = 0;
}

QXDB_EXPORT int32_t QXDB_CALL CommandeComposante(int32_t code, void* record) {
    LibraryState& L = library();
    switch (code) {
    case 2:
        L.message_override = (MessageOverrideHandler)record;
        return 1;
    case 3: {
        ComponentCommand* c = (ComponentCommand*)record;
        if (!c) return 0;
        if (L.message_override) {
            int32_t answer = L.message_override(c);
            if (answer > 0) return answer;
        }
        const char* text = qxdb_message_text(c->message_id);
        if (!text) {
            c->result = 0;
            return 0;
        }
        std::u16string wide = utf8_to_wide(text);
        if (!c->buffer || c->capacity == 0) {
            c->result = 0;
            return 0;
        }
        uint32_t n = (uint32_t)wide.size();
        if (n >= c->capacity) {
            n = c->capacity - 1;  // cut: the last place holds the terminator
        }
        memcpy(c->buffer, wide.data(), n * sizeof(char16_t));
        c->buffer[n] = 0;
        c->result = (int32_t)n;
        return (int32_t)n;
    }
    case 4: {
        ComponentCommand* c = (ComponentCommand*)record;
        const char* text = c ? qxdb_message_text(c->message_id) : nullptr;
        return text ? (int32_t)utf8_to_wide(text).size() : -1;
    }
    default:
        return 0;
    }
}

QXDB_EXPORT int32_t QXDB_CALL bDLLCompatible(int32_t kind, int32_t version, int32_t* out) {
    if (kind != 7 && kind != 28) return 0;
    if (out) *out = 36;
    if (kind == 28) library().compatibility_version = version;
    return version >= 36 ? 1 : 0;
}

QXDB_EXPORT int32_t QXDB_CALL bInitVLCalcFromVM(void* module, int32_t low, int32_t high) {
    if (low < 2 || high > 2) return 0;
    LibraryState& L = library();
    for (int i = 0; i < 30; i++) {
        void* p = module_symbol(module, kHostCalcRoutineNames[i]);
        if (!p) return 0;  // the routines found so far stay
        L.calc[i] = (HostCalcRoutine)p;
    }
    return 1;
}

QXDB_EXPORT int32_t QXDB_CALL bInitVLConvFromVM(void* module, int32_t low, int32_t high) {
    if (low < 2 || high > 2) return 0;
    LibraryState& L = library();
    void* overflow = module_symbol(module, "nConversionDepassementExt");
    if (!overflow) return 0;
    L.conversion_overflow = (HostConversionOverflow)overflow;
    void* end = module_symbol(module, "FinConversion");
    if (!end) return 0;
    L.end_conversion = (HostEndConversion)end;
    HostQueryProxy query = (HostQueryProxy)module_symbol(module, "pQueryProxy");
    if (!query) return 0;
    L.conversion_proxy = query(102);
    // Not every host follows long operations; one that does exports QxdbProgress.
    L.progress = (HostProgress)module_symbol(module, "QxdbProgress");
    return 1;
}
