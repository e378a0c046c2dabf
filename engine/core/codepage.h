#pragma once
// Text between the Windows ANSI character set (code page 1252) and the OEM one
// (code page 850), in place. Without the use-system flag only fifteen accented
// letters change and a byte 0 ends the text; with it, every byte of `length` goes
// through the system's full conversion.

#include <cstddef>

void xdb_ansi_to_oem(char* text, size_t length, int use_system);
void xdb_oem_to_ansi(char* text, size_t length, int use_system);
