// xBase fields and host items, both ways (see field_types.h).

#include "driver/field_types.h"

#include <cctype>

namespace {

// Numbers with integer digits d and decimals k: the smallest host type that holds
// every value the field can store.
HostItemShape numeric_item(int length, int k) {
    HostItemShape s;
    int d = length - (k > 0 ? 1 : 0) - k;
    if (d < 1) d = 1;
    s.digits = k > 0 ? length - 1 - k : length;
    s.decimals = k;
    if (k == 0 && d < 3) {
        s.type = kItemInt8, s.size = 1;
    } else if (k == 0 && d < 5) {
        s.type = kItemInt16, s.size = 2;
    } else if (k == 0 && d <= 9) {
        s.type = kItemInt32, s.size = 4;
    } else if (k == 0 && d < 20) {
        s.type = kItemInt64, s.size = 8;
    } else if (k < 7 && d < 11) {
        s.type = kItemCurrency, s.size = 10;
    } else if (k < 39 && d < 39 && d + k < 39) {
        s.type = kItemDecimal, s.size = decimal_size(d + k);
    } else {
        s.type = kItemReal8, s.size = 8;
    }
    return s;
}

bool long_numbers(int variant) { return variant == 2 || variant == 4 || variant == 8 || variant == 10; }

// Length and decimals of an N or F field for d integer digits and k decimals.
void numeric_sizing(int d, int k, int variant, XbaseFieldShape* out) {
    int max = long_numbers(variant) ? 20 : 19;
    if (d < 0 || k < 0) {
        out->length = (uint16_t)max;
        out->decimals = 5;
        return;
    }
    int length = d + k + (k > 0 ? 1 : 0);
    if (length > max) {
        out->length = (uint16_t)max;
        out->decimals = 5;
        return;
    }
    out->length = (uint16_t)length;
    out->decimals = (uint16_t)k;
}

}  // namespace

int decimal_size(int digits) {
    if (digits <= 9) return 5;
    if (digits <= 19) return 9;
    if (digits <= 28) return 13;
    return 17;
}

HostItemShape host_item_of_field(char type_letter, int length, int decimals) {
    HostItemShape s;
    switch (toupper((unsigned char)type_letter)) {
    case 'C':
    case 'V': s.type = kItemText, s.size = length; break;
    case 'D': s.type = kItemDate; break;
    case 'T': s.type = kItemDateTime; break;
    case 'L': s.type = kItemBoolean; break;
    case 'M': s.type = kItemTextMemo; break;
    case 'G':
    case 'P':
    case 'W': s.type = kItemBinaryMemo; break;
    case 'Q':
    case '?': s.type = kItemBinary; break;
    case 'B': s.type = kItemReal8, s.size = 8; break;
    case 'I': s.type = kItemInt32, s.size = 4; break;
    case 'Y': s.type = kItemCurrency, s.size = 10; break;
    case 'N':
    case 'F': s = numeric_item(length, decimals); break;
    default: break;
    }
    return s;
}

int host_format_of_variant(int variant_code) {
    switch (variant_code) {
    case 1: return 2;
    case 2: return 3;
    case 3: case 4: case 8: case 10: return 4;
    case 5: return 6;
    case 6: return 5;
    default: return 1;  // 7, 9
    }
}

int creation_variant_of_host_format(int host_format) {
    switch (host_format) {
    case 2: return 1;
    case 3: return 2;
    case 4: return 3;
    case 5: return 6;
    case 6: return 5;
    default: return 1;
    }
}

bool field_of_host_item(int host_type, int host_size, int digits, int decimals, int variant,
                        bool booleans_as_logicals, XbaseFieldShape* out) {
    *out = XbaseFieldShape{};
    switch (host_type) {
    case 26:
        if (booleans_as_logicals) {
            *out = {'L', 1, 0};
            return true;
        }
        [[fallthrough]];
    case 2: case 10: case 11: case 21:
        if (host_size < 1 || host_size > 0xFFFF) return false;
        *out = {'C', (uint16_t)host_size, 0};
        return true;
    case 5:
        if (variant == 10) {
            *out = {'I', 4, 0};
            return true;
        }
        [[fallthrough]];
    case 1: case 3: case 4: case 9: case 12: case 19: case 20: case 22: case 25: case 28:
        out->type = 'N';
        numeric_sizing(digits, decimals, variant, out);
        return true;
    case 6: case 7: case 17:
        if (host_type == 17 && variant == 10) {
            *out = {'Y', 8, 4};
            return true;
        }
        out->type = variant == 2 || variant == 4 || variant == 8 ? 'F' : 'N';
        numeric_sizing(digits, decimals, variant, out);
        return true;
    case 14: *out = {'D', 8, 0}; return true;
    case 15: *out = {'M', 10, 0}; return true;
    case 18:
        if (variant != 10) return false;
        *out = {'P', 4, 0};
        return true;
    case 24: *out = {'C', 18, 0}; return true;
    case 27: *out = {'L', 1, 0}; return true;
    default: return false;
    }
}
