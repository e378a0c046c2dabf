#include <windows.h>
#include <stdio.h>
/* CharToOemBuffA and OemToCharBuffA for every byte, on a system whose pages are
   ANSI 1252 and OEM 850 (under Wine: LC_ALL=fr_FR.UTF-8). */
int main(void) {
    if (GetACP() != 1252 || GetOEMCP() != 850) { fprintf(stderr, "pages %u/%u, not 1252/850\n", GetACP(), GetOEMCP()); return 1; }
    printf("ansi-to-oem");
    for (int b = 0; b < 256; b++) { char c = (char)b; CharToOemBuffA(&c, &c, 1); printf(" %02X", (unsigned char)c); }
    printf("\noem-to-ansi");
    for (int b = 0; b < 256; b++) { char c = (char)b; OemToCharBuffA(&c, &c, 1); printf(" %02X", (unsigned char)c); }
    printf("\n");
    return 0;
}
