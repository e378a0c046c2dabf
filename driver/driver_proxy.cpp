#include "driver/driver_proxy.h"

#include "driver/library_state.h"
#include "driver/xbase_connection.h"
#include "driver/xbase_driver.h"
#include "engine/core/keyexpr.h"

DriverProxy::DriverProxy(XbaseDriver* driver) : driver_(driver) {
    if (driver_) driver_->AttachProxy(this);
}

void DriverProxy::Destroy() {
    {
        QXDB_DRIVER_ENTRY;
        if (driver_) driver_->DetachProxy(this);
    }
    delete this;
}

uint32_t DriverProxy::Release() {
    uint32_t left = --refs_;
    if (left == 0) Destroy();
    return left;
}

IXErrorHolder* DriverProxy::GetDriverErrorHolder() {
    QXDB_DRIVER_ENTRY;
    return driver_ ? driver_->GetErrorHolder() : &errors_;
}

int DriverProxy::OpenTable(const char16_t* connection, const char16_t* table, const char16_t* path, int options) {
    QXDB_DRIVER_ENTRY;
    if (!driver_) return refuse_operation(errors_, 60);
    return driver_->DeclareTable(connection, table, path, options);
}

int DriverProxy::AssociateIndex(const char16_t* connection, const char16_t* table, const char16_t* index,
                                const char16_t* key) {
    QXDB_DRIVER_ENTRY;
    if (!driver_) return refuse_operation(errors_, 61);
    return driver_->DeclareIndex(connection, table, index, key);
}

int DriverProxy::AsciiSort(int request) {
    QXDB_DRIVER_ENTRY;
    // The flag lives in the engine, which the first connection starts.
    // -1, not 0, when the engine cannot start: 0 means "the flag was clear".
    if (!library().engine_started && !start_engine_or_raise(driver_ ? &driver_->Errors() : &errors_)) return -1;
    if (request == -1) return xdb_collation(0, 0);
    return xdb_collation(request == 1 ? 1 : 0, 1);
}
