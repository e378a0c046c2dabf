#pragma once
// Retrying an operation that another program's lock refused (library errors 1041
// for a record, 1054 for a file), for as long as the caller is willing to wait.

#include <chrono>
#include <thread>

#include "driver/interfaces.h"

// Retries `operation` (answering 1 or 0, the reason in `holder`) every 100 ms
// while it fails for a lock and `seconds` have not passed; answers its last answer.
template <class F>
int retry_while_locked_for(IXErrorHolder* holder, double seconds, F operation) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (operation()) return 1;
        const uint32_t id = holder->CurrentErrorId();
        if ((id != 1041 && id != 1054) || std::chrono::steady_clock::now() >= deadline) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}
