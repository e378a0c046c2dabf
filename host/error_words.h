#pragma once
// English words for the library's error identifiers (1000..1071) and the engine's
// statuses, for the first line of qxdb's failure reports; null for a code that
// has none.

#include <cstdint>
#include <string>

const char* cli_error_words(uint32_t error_id);
const char* cli_status_words(int status);

class IXErrorHolder;

// The engine status a library error carries (its dump's "EIT_BASECODE : <n>"
// line); false when it carries none.
bool holder_engine_status(IXErrorHolder* holder, int* status);
// What went wrong in English: the error's words, with the engine status's words
// after them when it carries one ("a record is locked by another program (...)").
std::string holder_english(IXErrorHolder* holder);
