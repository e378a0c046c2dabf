#pragma once
// The framework's value conversion: a value in the form a driver read it (text,
// decimal text, an integer, a double, a truth value, a date-time text, bytes) made
// into the value of a host item type. Conversions never guess: a value the item
// cannot hold (a text that is no number into a numeric item, a number out of the
// item's range, a date that is no calendar date) fails.

#include <cstdint>
#include <string>

#include "framework/host_value.h"

// Converts `from` into the value an item of `item_type` holds (a text item keeps
// at most `item_size` bytes when that is above 0, ending at the first byte 0).
// Text the result points at is either `from`'s or kept in `scratch`. False when
// the value does not convert.
bool convert_to_item(const HostItemValue& from, int item_type, int item_size, std::string* scratch,
                     HostItemValue* out);

// Decimal text in its plain form: blanks around it and a leading '+' removed, a
// point with no digit before it given a 0 ("-.5" -> "-0.5"), "-0" made 0, nothing
// else changed. *out points into `text` when that is plain already, else into
// `scratch`. False when the text is no decimal number (empty: false with *empty
// set).
struct DecimalView {
    const char* text;
    size_t length;
};
bool plain_decimal(const char* text, size_t length, std::string* scratch, DecimalView* out, bool* empty);
