#pragma once
// The host's values as this stand-in host keeps them: the item types of table
// descriptions, the type codes of run-time values, and a value of either kind.

#include <cstdint>

#include "driver/interfaces.h"
#include "framework/host_item_types.h"
#include "framework/host_value.h"
#include <string>
#include <vector>


// Type codes of run-time values: the host value type codes (framework/host_value.h).

// A run-time value: its type code and its number or text.
struct HostValue {
    int32_t type = HV_INT32;
    double number = 0;
    std::u16string text;
};

// The host's result value of a listing: the text the library gives, with a state
// word the library updates.
class HostTextResult : public IHostResultValue {
public:
    explicit HostTextResult(uint16_t state = 0) : state(state) {}
    // The length comes in bytes.
    void SetText(const char16_t* t, uint32_t length) override { text.assign(t, length / sizeof(char16_t)); }
    uint16_t GetStateWord() const override { return state; }
    void SetStateWord(uint16_t s) override { state = s; }
    std::u16string text;
    uint16_t state;
};
