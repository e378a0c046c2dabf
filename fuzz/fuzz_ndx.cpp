// libFuzzer target: arbitrary bytes opened as an NDX index (see
// fuzz_single_key_index.h).

#include "fuzz/fuzz_index.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz_single_key_index(1, "T.NDX", data, size);
}
