#pragma once
// Tests that need what only the Linux side of this machine has (the python readers,
// a POSIX shell, another user's rights) say so in the Windows suite and are skipped
// there; everything else, other processes included, runs on both.

#include <gtest/gtest.h>

#define QXDB_LINUX_ONLY(why) GTEST_SKIP() << (why) << ": runs on Linux only"

#include <string>

// The python readers of Debian (python3-dbfread, python3-dbf) as independent peers,
// on Linux: whether `modules` ("dbfread" or "dbfread, dbf") import, and what a
// python script prints, its errors included.
bool python_has(const std::string& modules);
std::string run_python(const std::string& script);
// What a POSIX shell command line prints, its errors included (Linux).
std::string shell_output(const std::string& command);
