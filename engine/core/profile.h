#pragma once
// Private-profile (INI) files, read by our own small reader with the rules of
// GetPrivateProfileInt: section and key names compare without regard to case,
// blanks around names and values are ignored, lines starting with ';' are comments.
// A bare file name is looked for where the platform seam says (os_platform.h).

// The integer value of `key` in `section`, or `def` when the file, the section or
// the key is missing. A value that does not start with a number reads as 0; a
// leading "0x" reads hexadecimal; a sign is honoured.
int profile_get_int(const char* file, const char* section, const char* key, int def);
