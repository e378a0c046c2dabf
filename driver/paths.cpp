#include "driver/paths.h"

#include <filesystem>

#include "framework/codepage.h"

std::u16string path_to_wide(const std::string& s) {
    std::u16string out;
    const unsigned char* p = (const unsigned char*)s.data();
    for (size_t i = 0; i < s.size();) {
        uint32_t c;
        size_t len = utf8_sequence(p + i, s.size() - i, &c);
        if (len == 0) {
            out += (char16_t)(0xDC00 + p[i]);  // p[i] >= 0x80 here: U+DC80..U+DCFF
            i++;
            continue;
        }
        append_utf16(out, c);
        i += len;
    }
    return out;
}

std::string path_from_wide(const std::u16string& w) {
    std::string out;
    for (size_t i = 0; i < w.size(); i++) {
        char16_t c = w[i];
        bool lone_low = c >= 0xDC80 && c <= 0xDCFF && (i == 0 || w[i - 1] < 0xD800 || w[i - 1] > 0xDBFF);
        if (lone_low) {
            out += (char)(c - 0xDC00);
            continue;
        }
        size_t len = c >= 0xD800 && c <= 0xDBFF && i + 1 < w.size() ? 2 : 1;
        out += wide_to_utf8(w.substr(i, len));
        i += len - 1;
    }
    return out;
}

std::string path_identity(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path p = fs::weakly_canonical(fs::path(path), ec);
    if (ec) p = fs::path(path);
#ifdef _WIN32
    p.make_preferred();
    std::string key = p.string();
    for (char& c : key)
        if (c >= 'a' && c <= 'z') c = (char)(c - 32);
    return key;
#else
    return p.string();
#endif
}

std::string path_matching_case(const std::string& path) {
#ifdef _WIN32
    return path;
#else
    namespace fs = std::filesystem;
    std::error_code ec;
    if (path.empty() || fs::exists(fs::path(path), ec)) return path;
    size_t cut = path.find_last_of('/');
    std::string dir = cut == std::string::npos ? "." : path.substr(0, cut == 0 ? 1 : cut);
    std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    auto fold = [](std::string s) {
        for (char& c : s)
            if (c >= 'a' && c <= 'z') c = (char)(c - 32);
        return s;
    };
    const std::string wanted = fold(name);
    std::string found;
    int matches = 0;
    for (fs::directory_iterator it(fs::path(dir), ec), end; !ec && it != end; it.increment(ec)) {
        std::string file = it->path().filename().string();
        if (fold(file) == wanted) {
            found = file;
            matches++;
        }
    }
    if (matches != 1) return path;
    return cut == std::string::npos ? found : path.substr(0, cut + 1) + found;
#endif
}

bool same_name_ignoring_case(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        char16_t x = a[i], y = b[i];
        if (x >= u'a' && x <= u'z') x = (char16_t)(x - 32);
        if (y >= u'a' && y <= u'z') y = (char16_t)(y - 32);
        if (x != y) return false;
    }
    return true;
}
