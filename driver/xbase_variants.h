#pragma once
// The xBase variant table: the 11 rows tried, in this order, wherever the driver
// must find the variant of a DBF file. A table keeps the row number (not the code)
// of the variant under which its data file opened.

#include <cstdint>

struct XbaseVariant {
    uint16_t code;  // the engine's DBF dialect code
    const char* name;
};

const int kXbaseVariantCount = 11;
extern const XbaseVariant kXbaseVariants[kXbaseVariantCount];
