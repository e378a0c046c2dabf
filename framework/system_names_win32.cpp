#include <windows.h>

#include "framework/system_names.h"

std::u16string system_name_to_wide(const std::string& name) {
    if (name.empty()) return std::u16string();
    int n = MultiByteToWideChar(CP_ACP, 0, name.data(), (int)name.size(), nullptr, 0);
    std::wstring wide((size_t)(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, name.data(), (int)name.size(), &wide[0], n);
    return std::u16string(wide.begin(), wide.end());
}

std::string system_name_from_wide(const std::u16string& name) {
    if (name.empty()) return std::string();
    const std::wstring wide(name.begin(), name.end());
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), (int)wide.size(), nullptr, 0, "?", nullptr);
    std::string out((size_t)(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), (int)wide.size(), &out[0], n, "?", nullptr);
    return out;
}

std::string system_name_one_case(const std::string& name) {
    // Upper case without a language's rules, as file names compare.
    const std::u16string w = system_name_to_wide(name);
    const std::wstring wide(w.begin(), w.end());
    std::wstring upper(wide.size(), L'\0');
    if (!wide.empty() && LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, wide.data(), (int)wide.size(), &upper[0],
                                      (int)upper.size()) != (int)wide.size())
        upper = wide;
    return system_name_from_wide(std::u16string(upper.begin(), upper.end()));
}
