#include "framework/index_keys.h"

#include <cstring>

XDSTATUS MakeKeyFromValue(const IndexAccess* a, const FxValue& v, void* key) {
    if (!a || !key) return XD_NULLPARAM;
    XDSTATUS s;
    switch (a->key_type) {
    case 10: s = MakeCurrencyKey(a, v.ToDouble(), key); break;
    case 11: s = MakeIntegerKey(a, v.ToInt32(), key); break;
    case 12: s = MakeDateTimeKey(a, v.ToText().c_str(), key); break;
    case 'D': s = MakeDateKey(a, v.ToDateText().c_str(), key); break;
    case 'N': s = MakeNumericKey(a, v.ToDouble(), key); break;
    case 'L':
        // A logical key (FoxPro's) is the letter alone, as made from a field.
        s = MakeKeyFromField(a, 'L', v.ToText().c_str(), key);
        break;
    case 'C': s = MakeCharacterKey(a, v.ToText().c_str(), key); break;
    default: return XD_EMPTYFILE;
    }
    // A value that was not text, made into a text key of a text host: padded.
    if (s == XD_OK && !host_value_single_byte_text(a->value_host_type) && host_value_single_byte_text(a->key_host_type) &&
        !a->raw_character_key && a->key_length > 0) {
        char* k = (char*)key;
        size_t n = strnlen(k, a->key_length - 1);
        memset(k + n, ' ', a->key_length - 1 - n);
        k[a->key_length - 1] = 0;
    }
    return s;
}
