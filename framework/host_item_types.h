#pragma once
// The item types of the host's table descriptions, as the host numbers them: what
// a description says an item is, read by the host and by the driver alike.

#include <cstdint>

enum HostItemType : int32_t {
    kItemNoType = 0,
    kItemText = 2,
    kItemInt16 = 3,
    kItemInt8 = 4,
    kItemInt32 = 5,
    kItemReal8 = 7,
    kItemAutoId4 = 8,  // automatic identifier, 4-byte integer (filled by adds)
    kItemAutoId8 = 9,  // automatic identifier, 8-byte integer
    kItemDate = 14,
    kItemTextMemo = 15,
    kItemCurrency = 17,
    kItemBinaryMemo = 18,
    kItemInt64 = 19,
    kItemBinary = 23,
    kItemDateTime = 24,
    kItemBoolean = 27,
    kItemDecimal = 31,
};
