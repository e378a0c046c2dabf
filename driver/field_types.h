#pragma once
// How xBase fields and host items map onto each other: the host item type and
// size of a field when a table is described, the field a host item becomes when a
// table is created, and the host's format codes of the xBase variants.

#include <cstdint>

#include "framework/host_item_types.h"


// A field as the host sees it. `digits` and `decimals` are set for N and F
// fields (integer digits: the length less the point and the decimals).
struct HostItemShape {
    int type = kItemNoType;
    int size = 0;
    int digits = 0;
    int decimals = 0;
};

// Describing: the host item of a field (type letter in any case, length,
// decimal count).
HostItemShape host_item_of_field(char type_letter, int length, int decimals);

// The size of the host's decimal type for this many digits (1 to 38): the bytes
// of a 38-digit decimal store, 5 up to 9 digits, 9 up to 19, 13 up to 28, 17 above.
int decimal_size(int digits);

// The host format code of a variant code (1..10) when a table is described, and
// the variant code a table is created with for a host format code.
int host_format_of_variant(int variant_code);
int creation_variant_of_host_format(int host_format);

// Creating: the field a host item becomes on the creation variant. `digits` or
// `decimals` negative: not known. `booleans_as_logicals`: the caller asked for
// host type 26 as L. False when the type has no field (the item is refused).
struct XbaseFieldShape {
    char type = 0;
    uint16_t length = 0;
    uint16_t decimals = 0;
};
bool field_of_host_item(int host_type, int host_size, int digits, int decimals, int creation_variant,
                        bool booleans_as_logicals, XbaseFieldShape* out);
