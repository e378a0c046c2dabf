#pragma once
// Tests that start other programs (fork, popen, the Linux qxdb command, the python
// readers) run on Linux; in the Windows suite they say so and are skipped. Their
// cross-process parts have Windows counterparts in make test-windows (two qxdb.exe
// processes contending for locks).

#include <gtest/gtest.h>

#define QXDB_SKIP_WITHOUT_OTHER_PROGRAMS() \
    GTEST_SKIP() << "starts another program (fork, popen, the qxdb command or python): runs on Linux"
