#pragma once
// Process-wide state of the loaded library.

#include <cstdint>

#include "driver/library.h"

class XbaseDriver;

struct LibraryState {
    int32_t start_count = 0;
    int32_t startup_guard = 0;  // the start-up work runs when it becomes 1
    bool framework_started = false;
    bool engine_started = false;
    uint32_t engine_starts = 0;  // counts the engine's starts: a connection opened under an
                                 // earlier one is closed, whatever it remembers
    int32_t delete_index = 0;   // DELETEINDEX of qxdbins.ini
    int32_t duplicates_on = 0;  // DUPLICATESON of qxdbins.ini
    XbaseDriver* current_driver = nullptr;
    HostProgress progress = nullptr;  // the host module's QxdbProgress, when it has one
    int32_t compatibility_version = 0;
    HostCalcRoutine calc[30] = {};
    HostConversionOverflow conversion_overflow = nullptr;
    HostEndConversion end_conversion = nullptr;
    void* conversion_proxy = nullptr;
    MessageOverrideHandler message_override = nullptr;
};

LibraryState& library();

// Starts the xBase engine once for the whole library (connections call it).
// Answers the engine status.
int16_t library_start_engine();
// Closes the execution component at teardown or unload.
void execution_teardown();
