// libFuzzer target: arbitrary bytes opened as an NTX index of the Clipper family
// (see fuzz_single_key_index.h).

#include "fuzz/fuzz_index.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz_single_key_index(5, "T.NTX", data, size);
}
