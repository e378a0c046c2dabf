#pragma once
// The library's message table: French texts by string-table id, compiled in.
// Texts are UTF-8 here; the framework widens them for the host.

// The text of message `id`, or nullptr when the table has no such id.
const char* qxdb_message_text(unsigned id);

#include <cstddef>

// The table's entries in their order (for checks and listings).
size_t qxdb_message_count();
unsigned qxdb_message_id_at(size_t index);
