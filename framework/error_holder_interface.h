#pragma once
// What a host reads of an object's errors: the current error's identifier, code,
// level and message, and the text dump of the whole holder.

#include <cstdint>

class IXErrorHolder {
public:
    virtual uint32_t CurrentErrorId() const = 0;
    virtual uint32_t CurrentCode() const = 0;
    virtual uint32_t CurrentLevel() const = 0;
    // Valid until the holder changes.
    virtual const char16_t* CurrentMessage() const = 0;
    // The dump of the holder; valid until the next call.
    virtual const char16_t* DumpText() = 0;

protected:
    ~IXErrorHolder() = default;
};
