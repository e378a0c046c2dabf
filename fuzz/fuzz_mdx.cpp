// libFuzzer target: arbitrary bytes opened as an MDX multi-tag index (fuzz_index.h).

#include "fuzz/fuzz_index.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz_multitag_index(2, "T.MDX", data, size);
}
