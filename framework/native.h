#pragma once
// The least of the native-access framework that the xBase driver needs: reference
// counting and an error holder for every object handed to the host, and the
// process-wide driver lock.

#include <atomic>
#include <mutex>

#include "framework/error.h"

// The one process-wide lock around every entry through the driver's objects.
std::recursive_mutex& driver_lock();
#define QXDB_DRIVER_ENTRY std::lock_guard<std::recursive_mutex> driver_entry_guard(driver_lock())

// Reference counting and the error holder, for an interface whose Destroy frees
// the object. The count starts at 0; the creating call adds the first reference.
template <class Interface>
class CXRefObject : public Interface {
public:
    uint32_t AddRef() override { return ++refs_; }
    uint32_t Release() override {
        uint32_t left = --refs_;
        if (left == 0) this->Destroy();
        return left;
    }
    IXErrorHolder* GetErrorHolder() override { return &errors_; }
    CXErrorHolder& Errors() { return errors_; }
    uint32_t References() const { return refs_; }

protected:
    std::atomic<uint32_t> refs_{0};
    CXErrorHolder errors_;
};

// Raises framework error 8 ("Opération non supportée.") for an operation that
// this library does not offer (yet), and answers 0.
int refuse_operation(CXErrorHolder& errors, unsigned site);
