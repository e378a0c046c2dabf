#pragma once
// English words for the library's error identifiers (1000..1071) and the engine's
// statuses, for the first line of qxdb's failure reports; null for a code that
// has none.

#include <cstdint>

const char* cli_error_words(uint32_t error_id);
const char* cli_status_words(int status);
