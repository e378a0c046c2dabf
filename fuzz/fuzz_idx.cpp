// libFuzzer target: arbitrary bytes opened as an IDX index of the FoxPro family,
// either layout (see fuzz_single_key_index.h).

#include "fuzz/fuzz_index.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz_single_key_index(3, "T.IDX", data, size);
}
