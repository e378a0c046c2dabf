#include "engine/core/profile.h"

#include "engine/core/os_platform.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <strings.h>

namespace {

char* trim(char* s) {
    while (*s == ' ' || *s == '\t') s++;
    char* e = s + strlen(s);
    while (e > s && (e[-1] == ' ' || e[-1] == '\t' || e[-1] == '\r' || e[-1] == '\n')) *--e = 0;
    return s;
}

int parse_int(const char* v) {
    bool neg = false;
    if (*v == '-' || *v == '+') neg = *v++ == '-';
    unsigned long long n = 0;
    if (v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
        for (v += 2; isxdigit((unsigned char)*v); v++)
            n = (n * 16 + (unsigned)(isdigit((unsigned char)*v) ? *v - '0' : (tolower(*v) - 'a' + 10))) & 0xFFFFFFFFull;
    } else {
        for (; isdigit((unsigned char)*v); v++) n = (n * 10 + (unsigned)(*v - '0')) & 0xFFFFFFFFull;
    }
    int r = (int)(unsigned)n;
    return neg ? -r : r;
}

}  // namespace

int profile_get_int(const char* file, const char* section, const char* key, int def) {
    if (!file || !section || !key) return def;
    char path[4096];
    FILE* f = fopen(plat_profile_path(file, path, sizeof path), "r");
    if (!f) return def;
    char line[4096];
    bool in_section = false;
    int result = def;
    while (fgets(line, sizeof line, f)) {
        char* s = trim(line);
        if (*s == ';' || *s == 0) continue;
        if (*s == '[') {
            char* end = strchr(s, ']');
            if (!end) continue;
            *end = 0;
            in_section = strcasecmp(trim(s + 1), section) == 0;
            continue;
        }
        if (!in_section) continue;
        char* eq = strchr(s, '=');
        if (!eq) continue;
        *eq = 0;
        if (strcasecmp(trim(s), key) != 0) continue;
        result = parse_int(trim(eq + 1));
        break;
    }
    fclose(f);
    return result;
}
