// libFuzzer target: arbitrary bytes opened as a CDX compound index (fuzz_index.h).

#include "fuzz/fuzz_index.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz_multitag_index(10, "T.CDX", data, size);
}
