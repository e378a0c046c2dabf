#include "driver/xbase_connection.h"

#include <filesystem>

#include "driver/library_state.h"
#include "driver/paths.h"
#include "driver/xbase_driver.h"
#include "framework/codepage.h"

namespace fs = std::filesystem;

// Paths use the platform's separator ('\' on Windows).
#if defined(_WIN32)
const char16_t kPathSeparator = u'\\';
#else
const char16_t kPathSeparator = u'/';
#endif

namespace {

std::u16string upper_ascii(std::u16string s) {
    for (char16_t& c : s)
        if (c >= u'a' && c <= u'z') c = (char16_t)(c - 32);
    return s;
}

std::u16string trim(const std::u16string& s) {
    size_t a = s.find_first_not_of(u" \t"), b = s.find_last_not_of(u" \t");
    return a == std::u16string::npos ? u"" : s.substr(a, b - a + 1);
}

bool is_separator(char16_t c) { return c == u'/' || c == u'\\'; }

// A ':' ends a drive letter only where there are drive letters; elsewhere it is an
// ordinary character of a file name.
#if defined(_WIN32)
const bool kDriveLetters = true;
#else
const bool kDriveLetters = false;
#endif

}  // namespace

bool oem_to_ansi_requested(const std::u16string& extended_info) {
    // Options are NAME=VALUE pairs separated by ';' (or line breaks).
    size_t start = 0;
    while (start <= extended_info.size()) {
        size_t end = extended_info.find_first_of(u";\r\n", start);
        if (end == std::u16string::npos) end = extended_info.size();
        std::u16string item = extended_info.substr(start, end - start);
        size_t eq = item.find(u'=');
        if (eq != std::u16string::npos && upper_ascii(trim(item.substr(0, eq))) == u"OEMTOANSI")
            return upper_ascii(trim(item.substr(eq + 1))) == u"WINDOWS";
        start = end + 1;
    }
    return false;
}

int start_engine_or_raise(CXErrorHolder* holder) {
    int16_t s = library_start_engine();
    if (s == 0) return 1;
    int status = s;
    raise_error(holder, 1000, 103, 1, {}, &status);
    return 0;
}

XbaseConnection::XbaseConnection(XbaseDriver* driver, const HostConnectionDescription* d) : owner(driver) {
    if (d) {
        name_ = d->name ? d->name : u"";
        source_ = d->source ? d->source : u"";
        extended_info_ = d->extended_info ? d->extended_info : u"";
    }
    oem_to_ansi_ = oem_to_ansi_requested(extended_info_);
}

void XbaseConnection::Destroy() {
    {
        QXDB_DRIVER_ENTRY;  // the owner may be going away on another thread
        if (owner) owner->Unregister(this);
    }
    delete this;
}

int XbaseConnection::Open() {
    QXDB_DRIVER_ENTRY;
    errors_.Reset();
    if (!start_engine_or_raise(&errors_)) return 0;
    open_ = true;
    opened_under_ = library().engine_starts;
    return 1;
}

int XbaseConnection::IsOpen() {
    QXDB_DRIVER_ENTRY;
    return open_ && library().engine_started && opened_under_ == library().engine_starts ? 1 : 0;
}

int XbaseConnection::IsEngineStarted() {
    QXDB_DRIVER_ENTRY;
    return library().engine_started ? 1 : 0;
}

int XbaseConnection::Close() {
    QXDB_DRIVER_ENTRY;
    open_ = false;  // the engine stays: only the library's teardown stops it
    return 1;
}

bool XbaseConnection::Resolve(const std::u16string& name, const std::u16string& default_extension,
                              std::u16string* path, CXErrorHolder* holder) {
    size_t cut = name.size();
    while (cut > 0 && !is_separator(name[cut - 1]) && !(kDriveLetters && name[cut - 1] == u':')) cut--;
    std::u16string dir = name.substr(0, cut), file = name.substr(cut);
    size_t dot = file.rfind(u'.');
    std::u16string base = dot == std::u16string::npos ? file : file.substr(0, dot);
    std::u16string ext = dot == std::u16string::npos ? u"" : file.substr(dot);
    if (dir.empty()) dir = source_;
    if (ext.empty()) ext = default_extension;
    if (dir.empty()) dir = u".";
    if (ext.empty()) ext = u".dbf";
    while (dir.size() > 1 && is_separator(dir.back())) dir.pop_back();
    std::error_code ec;
    if (!fs::is_directory(filesystem_path(system_name_from_wide(dir)), ec)) {
        raise_error(holder, 1031, 101, 26, {dir});
        return false;
    }
    *path = dir + kPathSeparator + base + ext;
    // Names compare as Windows compares them (see path_matching_case).
    *path = system_name_to_wide(path_matching_case(system_name_from_wide(*path)));
    return true;
}

int XbaseConnection::ResolveTablePath(const char16_t* name, const char16_t* default_extension, char16_t* out,
                                      uint32_t cap, IXErrorHolder* holder) {
    QXDB_DRIVER_ENTRY;
    std::u16string path;
    CXErrorHolder* h = holder ? static_cast<CXErrorHolder*>(holder) : &errors_;
    if (!Resolve(name ? name : u"", default_extension ? default_extension : u"", &path, h)) return 0;
    if (!out || cap == 0 || path.size() >= cap) {
        // The caller's buffer cannot take the path: said, not left to guess.
        refuse_operation(*h, 27);
        return 0;
    }
    std::copy(path.begin(), path.end(), out);
    out[path.size()] = 0;
    return 1;
}
