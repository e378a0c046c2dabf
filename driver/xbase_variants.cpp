#include "driver/xbase_variants.h"

const XbaseVariant kXbaseVariants[kXbaseVariantCount] = {
    {1, "dBASE III"},   {2, "dBASE IV"},         {3, "FoxBASE"},          {4, "FoxPro 1.0"},
    {8, "FoxPro 2.0"},  {5, "Clipper"},          {5, "Clip Summer 1987"}, {6, "Clipper 5.0"},
    {7, "dBXL/Quicksilver"}, {9, "Omnis"},       {10, "Visual FoxPro"},
};
