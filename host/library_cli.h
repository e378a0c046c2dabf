#pragma once
// What the commands that go through the library share: starting it as the host
// does, and reporting an object's error.

#include <string>

#include "driver/interfaces.h"

class HostSession;

// Loads the library and the host module; says why on standard error when it fails.
bool cli_start_session(HostSession* session);
// Prints `what` and the holder's dump on standard error; answers exit status 1.
int cli_fail_holder(IXErrorHolder* holder, const std::string& what);
