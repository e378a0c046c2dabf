#pragma once
// The library's exports, with C linkage and the caller-cleans convention (cdecl on
// 32-bit Windows). A host calls them in this order: CheckVersion,
// bExternalInitLibrary, bDLLCompatible, bInitVLCalcFromVM, bInitVLConvFromVM,
// piQueryInterface, then the objects' operations, pQueryProxy, Execution,
// CommandeComposante, and last ExternalTermLibrary.

#include <cstdint>

#if defined(_WIN32)
#define QXDB_EXPORT extern "C" __declspec(dllexport)
#define QXDB_CALL __cdecl
#else
#define QXDB_EXPORT extern "C" __attribute__((visibility("default")))
#define QXDB_CALL
#endif

class IXbaseDriver;
class IXDriverProxy;

// The record of CommandeComposante codes 3 and 4.
struct ComponentCommand {
    uint32_t unused;
    uint32_t message_id;
    char16_t* buffer;   // code 3: receives the text
    uint32_t capacity;  // code 3: in characters
    int32_t result;     // code 3: characters written
};
typedef int32_t(QXDB_CALL* MessageOverrideHandler)(ComponentCommand* command);

QXDB_EXPORT int32_t QXDB_CALL CheckVersion();
QXDB_EXPORT int32_t QXDB_CALL bExternalInitLibrary();
QXDB_EXPORT void QXDB_CALL ExternalTermLibrary();
QXDB_EXPORT IXbaseDriver* QXDB_CALL piQueryInterface(int32_t unused);
QXDB_EXPORT IXDriverProxy* QXDB_CALL pQueryProxy(int32_t proxy_id);
QXDB_EXPORT void QXDB_CALL DeclareProxy(int32_t* first, char16_t* second, int32_t* third, char16_t* fourth);
QXDB_EXPORT int32_t QXDB_CALL Execution(int32_t code, intptr_t parameter);
QXDB_EXPORT int32_t QXDB_CALL CommandeComposante(int32_t code, void* record);
QXDB_EXPORT int32_t QXDB_CALL bDLLCompatible(int32_t kind, int32_t version, int32_t* out);
QXDB_EXPORT int32_t QXDB_CALL bInitVLCalcFromVM(void* module, int32_t low, int32_t high);
QXDB_EXPORT int32_t QXDB_CALL bInitVLConvFromVM(void* module, int32_t low, int32_t high);

// Signatures of the host's routines the library takes by name.
struct HostValue;
typedef int32_t(QXDB_CALL* HostCalcRoutine)(const HostValue* a, const HostValue* b, HostValue* result);
typedef int32_t(QXDB_CALL* HostConversionOverflow)(const HostValue* value, int32_t target_type);
typedef void(QXDB_CALL* HostEndConversion)();
typedef void*(QXDB_CALL* HostQueryProxy)(int32_t proxy_id);
typedef intptr_t(QXDB_CALL* HostExecution)(int32_t request, intptr_t argument);
// Optional in the host module, taken by bInitVLConvFromVM when present:
// "QxdbProgress", told how far a compaction or index rebuild has gone (records
// done of the current step, and the step's records in all).
typedef void(QXDB_CALL* HostProgress)(uint32_t done, uint32_t total);

// The names of the 30 calculation routines, in the order they are looked up.
extern const char* const kHostCalcRoutineNames[30];
