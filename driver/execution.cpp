// The component-execution entry: the host opens, closes and drives an execution
// component of this library. Its operations have nothing to do in this driver;
// the entry keeps the host's facilities and tells the host when the component
// goes away.

#include <algorithm>

#include "driver/library.h"
#include "driver/interfaces.h"
#include "driver/library_state.h"
#include "framework/module.h"

namespace {

const int32_t kRequestFacilities = 3053;
const int32_t kRequestGoingAway = 3052;

struct ExecutionComponent {
    void* module = nullptr;
    HostExecution host = nullptr;
    int32_t closed = 0;
    intptr_t facility9 = 0, facility12 = 0, facility13 = 0;

    int Start() { return 1; }
    void Open(int32_t, int32_t) {}
    void Close() {}
    void Refresh() {}
    int Query(intptr_t) { return 1; }
    int Command(intptr_t) { return 0; }
    void Pause() {}
    void Resume() {}
};

ExecutionComponent* g_component = nullptr;
int32_t g_open_count = 0;
intptr_t g_host_context = 0;
intptr_t g_largest_facility8 = 0;  // kept across components

void destroy_component() {
    if (!g_component) return;
    if (!g_component->closed && g_component->host) g_component->host(kRequestGoingAway, 0);
    delete g_component;
    g_component = nullptr;
    g_open_count = 0;
}

// At unload the host is told that a component still open goes away.
struct UnloadNotice {
    ~UnloadNotice() {
        if (g_component && !g_component->closed && g_component->host) g_component->host(kRequestGoingAway, 0);
    }
} g_unload_notice;

int32_t open_component(intptr_t parameter) {
    // The record: size in bytes, module, two open values, and (size >= 12... a quiet flag).
    struct OpenRecord {
        int32_t size;
        void* module;
        int32_t first, second;
        int32_t quiet;
    };
    const OpenRecord* r = (const OpenRecord*)parameter;
    if (!r) return 0;
    if (!g_component) {
        ExecutionComponent* c = new ExecutionComponent();
        c->module = r->module;
        c->host = (HostExecution)module_symbol(r->module, "Execution");
        if (!c->host) {
            delete c;
            return 0;
        }
        for (int sub : {9, 10, 12, 13, 15, 14, 17}) {
            intptr_t answer = c->host(kRequestFacilities, sub);
            if (sub == 9) c->facility9 = answer;
            if (sub == 12) c->facility12 = answer;
            if (sub == 13) c->facility13 = answer;
        }
        bool quiet = r->size >= 12 && r->quiet;
        if (!quiet) c->host(kRequestFacilities, 7);
        for (int sub : {1, 5, 2, 3, 4, 8}) {
            intptr_t answer = c->host(kRequestFacilities, sub);
            if (sub == 8) g_largest_facility8 = std::max(g_largest_facility8, answer);
        }
        c->Start();
        g_component = c;
    }
    g_component->Open(r->first, r->second);
    g_open_count++;
    return 1;
}

}  // namespace

void execution_teardown() { destroy_component(); }

QXDB_EXPORT int32_t QXDB_CALL Execution(int32_t code, intptr_t parameter) {
    switch (code) {
    case 3985: return open_component(parameter);
    case 4875:
        if (g_open_count > 0 && --g_open_count > 0) return 1;
        if (g_component) {
            g_component->closed = 1;
            g_component->Close();
            delete g_component;
            g_component = nullptr;
        }
        return 1;
    case 4878: g_host_context = parameter; return 1;
    case 4879:
        if (g_component) g_component->Refresh();
        return 1;
    case 4963: {
        // The host's answer to facility 9 is an object that knows the host's level.
        auto* facility = g_component ? (IHostExecutionFacility*)g_component->facility9 : nullptr;
        if (facility && facility->Level() >= 2) return g_component->Query(parameter) ? 1 : 2;
        return 2;
    }
    case 5238: return g_component && g_component->Command(parameter) ? 1 : 0;
    case 5684:
        if (g_component) g_component->Pause();
        return 1;
    case 5864:
        if (g_component) g_component->Resume();
        return 1;
    default: return 0;
    }
}
