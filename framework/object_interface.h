#pragma once
// The base of every object handed to the host: reference counting and the holder
// of the object's current error.

#include <cstdint>

#include "framework/error_holder_interface.h"

class IXObject {
public:
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;
    // The holder of this object's current error (never null).
    virtual IXErrorHolder* GetErrorHolder() = 0;

protected:
    ~IXObject() = default;
};
