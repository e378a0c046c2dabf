#pragma once
// Byte tables of the system ANSI/OEM conversion (code pages 1252 and 850).
extern const unsigned char kAnsi1252ToOem850[256];
extern const unsigned char kOem850ToAnsi1252[256];
