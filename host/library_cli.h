#pragma once
// What the commands that go through the library share: starting it as the host
// does, and reporting an object's error.

#include <string>

#include "driver/interfaces.h"
#include "host/record_writer.h"

class HostSession;

// Loads the library and the host module; says why on standard error when it fails.
bool cli_start_session(HostSession* session);
// Prints `what` and the holder's dump on standard error; answers exit status 1.
int cli_fail_holder(IXErrorHolder* holder, const std::string& what);
// Prints a table description as qxdb describe does: one row per item and key.
void print_description(IXbaseTableDescription* description, RecordFormat format);
// The host item type of a name ("text", "int32", ...) or of a number; -1 if neither.
int host_type_from_name(const std::string& name);
