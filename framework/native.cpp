#include "framework/native.h"

std::recursive_mutex& driver_lock() {
    static std::recursive_mutex lock;
    return lock;
}

int refuse_operation(CXErrorHolder& errors, unsigned site) {
    raise_error(&errors, 8, 9, site, {});
    return 0;
}
