#include "driver/paths.h"

#include <filesystem>


std::filesystem::path filesystem_path(const std::string& system_name) {
#ifdef _WIN32
    // The file-system library's own narrow conversions are not the system's ANSI
    // code page: it is given the wide name.
    const std::u16string w = system_name_to_wide(system_name);
    return std::filesystem::path(std::wstring(w.begin(), w.end()));
#else
    return std::filesystem::path(system_name);
#endif
}

std::u16string wide_name_of(const std::filesystem::path& p) {
#ifdef _WIN32
    const std::wstring w = p.wstring();
    return std::u16string(w.begin(), w.end());
#else
    return system_name_to_wide(p.string());
#endif
}

std::string path_identity(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path p = fs::weakly_canonical(filesystem_path(path), ec);
    if (ec) p = filesystem_path(path);
#ifdef _WIN32
    p.make_preferred();
    return system_name_one_case(system_name_from_wide(wide_name_of(p)));
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
