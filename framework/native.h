#pragma once
// The least of the native-access framework that the xBase driver needs: reference
// counting and an error holder for every object handed to the host, and the
// process-wide driver lock.

#include <atomic>
#include <mutex>
#include <vector>

#include "framework/error.h"
#include "framework/object_interface.h"

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

// The framework's generic driver: reference counted, with an error holder, and the
// registries of the live connections and tables it created (non-owning: objects
// leave them when they are destroyed).
template <class Interface>
class NativeDriver : public CXRefObject<Interface> {
public:
    NativeDriver() {
        connections_.reserve(7);
        tables_.reserve(7);
        descriptions_.reserve(7);
    }
    // The registries change and are read under the driver lock only: objects are
    // released on whatever thread the host likes.
    void RegisterConnection(IXObject* o) {
        QXDB_DRIVER_ENTRY;
        connections_.push_back(o);
    }
    void RegisterTable(IXObject* o) {
        QXDB_DRIVER_ENTRY;
        tables_.push_back(o);
    }
    void RegisterDescription(IXObject* o) {
        QXDB_DRIVER_ENTRY;
        descriptions_.push_back(o);
    }
    void Unregister(IXObject* o) {
        QXDB_DRIVER_ENTRY;
        for (auto* list : {&connections_, &tables_, &descriptions_})
            for (size_t i = 0; i < list->size(); i++)
                if ((*list)[i] == o) list->erase(list->begin() + (long)i--);
    }
    // Calls f(object, 0 connection / 1 table / 2 description) for every live object.
    template <class F>
    void ForEachRegistered(F f) {
        QXDB_DRIVER_ENTRY;
        for (IXObject* o : connections_) f(o, 0);
        for (IXObject* o : tables_) f(o, 1);
        for (IXObject* o : descriptions_) f(o, 2);
    }
    size_t LiveConnections() const {
        QXDB_DRIVER_ENTRY;
        return connections_.size();
    }
    size_t LiveTables() const {
        QXDB_DRIVER_ENTRY;
        return tables_.size();
    }

private:
    std::vector<IXObject*> connections_, tables_, descriptions_;
};

// Raises framework error 8 ("Opération non supportée.") for an operation that
// this library does not offer (yet), and answers 0.
int refuse_operation(CXErrorHolder& errors, unsigned site);
