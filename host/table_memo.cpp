#include "host/table_memo.h"

#include <cctype>
#include <filesystem>


#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/memo/memo.h"

bool TableMemo::FoxPro(uint8_t dialect) {
    dialect &= 0x7F;
    return dialect == DBF_FOXPRO1 || dialect == DBF_FOXPRO2 || dialect == DBF_VFP;
}

namespace {

std::string lower(std::string s) {
    for (char& c : s) c = (char)tolower((unsigned char)c);
    return s;
}

uint8_t dbt_dialect(uint8_t dialect) {
    dialect &= 0x7F;
    return dialect == 1 || dialect == 2 || dialect == 3 || dialect == 5 || dialect == 6 || dialect == 7 ? dialect : 1;
}

}  // namespace

std::string TableMemo::PathFor(const std::string& dbf_path, uint8_t dialect) {
    size_t slash = dbf_path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : dbf_path.substr(0, slash);
    std::string file = slash == std::string::npos ? dbf_path : dbf_path.substr(slash + 1);
    std::string base = file.substr(0, file.rfind('.'));
    std::string ext = FoxPro(dialect) ? ".fpt" : ".dbt";
    // The memo file may be named in another case than the table (Windows does not care).
    std::error_code ec;
    const std::string wanted = lower(base + ext);
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (lower(name) == wanted) return dir + "/" + name;
    }
    return dir + "/" + base + ext;
}

XDSTATUS TableMemo::Open(const std::string& dbf_path, uint8_t dialect, uint8_t version, bool writable) {
    Close();
    fpt_ = FoxPro(dialect);
    path_ = PathFor(dbf_path, dialect);
    if (!xdb_fexists(path_.c_str())) return XD_NOFILE;
    uint16_t mode = writable ? XDB_OPEN_SHORTHAND : (XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND);
    xdb_set_status(XD_OK);
    uint8_t layout = version == 0x8B ? 2 : 1;
    XDSTATUS s = fpt_ ? fpt_open(&handle_, path_.c_str(), mode) : dbt_open(&handle_, path_.c_str(), (uint16_t)(mode | layout));
    if (s < 0) handle_ = -1;
    xdb_set_status(XD_OK);
    return s;
}

XDSTATUS TableMemo::Create(const std::string& dbf_path, uint8_t dialect) {
    std::string path = PathFor(dbf_path, dialect);
    xdb_set_status(XD_OK);
    XDSTATUS s = FoxPro(dialect) ? fpt_create(path.c_str(), 2) : dbt_create(path.c_str(), 2, dbt_dialect(dialect));
    xdb_set_status(XD_OK);
    return s;
}

XDSTATUS TableMemo::Read(uint32_t block, std::string* text) {
    const char* p = nullptr;
    uint32_t n = 0;
    xdb_set_status(XD_OK);
    XDSTATUS s = fpt_ ? fpt_read(handle_, block, &p, &n) : dbt_read(handle_, block, &p, &n);
    if (s >= 0) text->assign(p, n);
    xdb_set_status(XD_OK);
    return s;
}

XDSTATUS TableMemo::Append(const std::string& text, uint32_t* block) {
    *block = 0;
    xdb_set_status(XD_OK);
    XDSTATUS s = fpt_ ? fpt_write(handle_, text.data(), (uint32_t)text.size(), block)
                      : dbt_write(handle_, text.data(), (uint32_t)text.size(), block, 0);
    xdb_set_status(XD_OK);
    return s;
}

XDSTATUS TableMemo::Rebuild(int16_t data_handle) {
    xdb_set_status(XD_OK);
    XDSTATUS s = fpt_ ? fpt_rebuild(data_handle, &handle_) : dbt_rebuild(data_handle, &handle_);
    xdb_set_status(XD_OK);
    return s;
}

void TableMemo::Close() {
    if (handle_ < 0) return;
    xdb_set_status(XD_OK);
    if (fpt_) fpt_close(handle_);
    else dbt_close(handle_);
    xdb_set_status(XD_OK);
    handle_ = -1;
}
