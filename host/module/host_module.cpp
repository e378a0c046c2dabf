// The stand-in host's module: the routines the library takes from its host by
// name (value arithmetic, comparison and logic; conversion; the host's proxy and
// execution entries). The arithmetic works on numbers, the comparisons on texts
// when both values are text, else on numbers.

#include <cmath>
#include <cstdint>
#include <string>

#include "host/host_values.h"

#define HOST_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

bool is_text(const HostValue* v) { return v && (v->type == HV_WIDE_TEXT || host_value_single_byte_text((uint8_t)v->type)); }

std::u16string fold(std::u16string s, bool blanks) {
    std::u16string out;
    for (char16_t c : s) {
        if (c >= u'a' && c <= u'z') c = (char16_t)(c - 32);
        if (blanks && c == u' ') continue;
        out += c;
    }
    return out;
}

int compare(const HostValue* a, const HostValue* b) {
    if (is_text(a) && is_text(b)) return a->text < b->text ? -1 : a->text > b->text ? 1 : 0;
    return a->number < b->number ? -1 : a->number > b->number ? 1 : 0;
}

int32_t number_result(HostValue* r, double v) {
    if (!r) return 0;
    r->type = HV_REAL;
    r->number = v;
    return std::isfinite(v) ? 1 : 0;
}

// Text tests: 0 exact, 1 ignoring case, 2 ignoring case and blanks.
int32_t text_test(const HostValue* a, const HostValue* b, int looseness, int where) {
    if (!a || !b) return 0;
    std::u16string x = looseness ? fold(a->text, looseness == 2) : a->text;
    std::u16string y = looseness ? fold(b->text, looseness == 2) : b->text;
    switch (where) {
    case 0: return x == y;
    case 1: return x.compare(0, y.size(), y) == 0;
    case 2: return x.find(y) != std::u16string::npos;
    default: return x.size() >= y.size() && x.compare(x.size() - y.size(), y.size(), y) == 0;
    }
}

int g_going_away = 0;
int g_facility_requests = 0;

struct ConversionProxy {
    int32_t id = 102;
} g_conversion_proxy;

}  // namespace

#define BINARY(name, expr) \
    HOST_EXPORT int32_t name(const HostValue* a, const HostValue* b, HostValue* r) { \
        (void)r;                                                                 \
        return (a && b) ? (expr) : 0;                                            \
    }

BINARY(bCanCompareEx, (is_text(a) == is_text(b)) ? 1 : 0)
BINARY(wAjouteEx, number_result(r, a->number + b->number))
BINARY(wSoustraitEx, number_result(r, a->number - b->number))
BINARY(wMultiplieEx, number_result(r, a->number * b->number))
BINARY(wDiviseEx, b->number == 0 ? 0 : number_result(r, a->number / b->number))
BINARY(wModuloEx, b->number == 0 ? 0 : number_result(r, std::fmod(a->number, b->number)))
BINARY(nComparaisonEx, compare(a, b))
BINARY(nEgaliteEx, compare(a, b) == 0)
BINARY(nSuperieurEx, compare(a, b) > 0)
BINARY(nInferieurEx, compare(a, b) < 0)
BINARY(nPresqueEgalEx, is_text(a) ? text_test(a, b, 1, 0) : std::fabs(a->number - b->number) < 1e-9)
BINARY(nSoupleEgalEx, text_test(a, b, 2, 0))
BINARY(nCommenceParEx, text_test(a, b, 0, 1))
BINARY(nCommenceParSoupleEx, text_test(a, b, 1, 1))
BINARY(nCommenceParTresSoupleEx, text_test(a, b, 2, 1))
BINARY(nContientEx, text_test(a, b, 0, 2))
BINARY(nContientSoupleEx, text_test(a, b, 1, 2))
BINARY(nContientTresSoupleEx, text_test(a, b, 2, 2))
BINARY(nTermineParEx, text_test(a, b, 0, 3))
BINARY(nTermineParSoupleEx, text_test(a, b, 1, 3))
BINARY(nTermineParTresSoupleEx, text_test(a, b, 2, 3))
BINARY(nETLogiqueEx, (a->number != 0 && b->number != 0) ? 1 : 0)
BINARY(nOULogiqueEx, (a->number != 0 || b->number != 0) ? 1 : 0)
BINARY(nNONLogiqueEx, a->number == 0 ? 1 : 0)
BINARY(nNegationEx, number_result(r, -a->number))
BINARY(nAdditionEx, number_result(r, a->number + b->number))
BINARY(nSoustractionEx, number_result(r, a->number - b->number))
BINARY(nMultiplicationEx, number_result(r, a->number * b->number))
BINARY(nDivisionEx, b->number == 0 ? 0 : number_result(r, a->number / b->number))
BINARY(nModuloEx, b->number == 0 ? 0 : number_result(r, std::fmod(a->number, b->number)))

HOST_EXPORT int32_t nConversionDepassementExt(const HostValue*, int32_t) { return 0; }
HOST_EXPORT void FinConversion() {}

HOST_EXPORT void* pQueryProxy(int32_t id) { return id == 102 ? &g_conversion_proxy : nullptr; }

// The host's facility 9: the object the library asks for the host's level.
struct ExecutionFacility final : IHostExecutionFacility {
    int32_t level = 2;
    int32_t Level() override { return level; }
} g_facility9;

// The host's execution entry: request 3053 asks for a facility (the answer is the
// sub-code's own number; for 9, the facility object); 3052 says a component is
// going away.
HOST_EXPORT intptr_t Execution(int32_t request, intptr_t argument) {
    if (request == 3053) {
        g_facility_requests++;
        return argument == 9 ? (intptr_t)&g_facility9 : argument;
    }
    if (request == 3052) {
        g_going_away++;
        return 1;
    }
    return 0;
}

// The host's view of a long operation (a compaction, a rebuild): forwarded to the
// sink a program using this module set (the C interface's progress callback).
namespace {
void (*g_progress_sink)(void*, uint64_t, uint64_t) = nullptr;
void* g_progress_context = nullptr;
}  // namespace

HOST_EXPORT void QxdbProgress(uint32_t done, uint32_t total) {
    if (g_progress_sink) g_progress_sink(g_progress_context, done, total);
}

HOST_EXPORT void qxdbhost_set_progress_sink(void (*sink)(void*, uint64_t, uint64_t), void* context) {
    g_progress_sink = sink;
    g_progress_context = context;
}

// For tests: the level the host's facility 9 answers.
HOST_EXPORT void qxdbhost_set_level(int32_t level) { g_facility9.level = level; }

// For tests: what the library told this host.
HOST_EXPORT int qxdbhost_going_away_count() { return g_going_away; }
HOST_EXPORT int qxdbhost_facility_requests() { return g_facility_requests; }
