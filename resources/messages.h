#pragma once
// The library's message table: French texts by string-table id, compiled in.
// Texts are UTF-8 here; the framework widens them for the host.

// The text of message `id`, or nullptr when the table has no such id.
const char* qxdb_message_text(unsigned id);
