#pragma once
// Tests that need what only the Linux side of this machine has (the python readers,
// a POSIX shell, another user's rights) say so in the Windows suite and are skipped
// there; everything else, other processes included, runs on both.

#include <gtest/gtest.h>

#define QXDB_LINUX_ONLY(why) GTEST_SKIP() << (why) << ": runs on Linux only"
