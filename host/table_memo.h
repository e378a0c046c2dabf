#pragma once
// The memo file of a table, for the file tools: found beside the data file (same
// base name, ".dbt" or ".fpt" in any case), opened in the table's flavour.

#include <cstdint>
#include <string>

#include "engine/core/status.h"

class TableMemo {
public:
    ~TableMemo() { Close(); }
    // Opens the memo file of the table at `dbf_path`, opened as `dialect`, whose
    // header starts with `version`: FoxPro dialects use the FPT file; a DBT is read in
    // the dBASE IV layout when the version byte says dBASE IV memo (0x8B), else in the
    // dBASE III layout. XD_NOFILE when there is none.
    XDSTATUS Open(const std::string& dbf_path, uint8_t dialect, uint8_t version, bool writable);
    // Creates an empty memo file for a new table of `dialect` (when it has M fields).
    static XDSTATUS Create(const std::string& dbf_path, uint8_t dialect);
    XDSTATUS Read(uint32_t block, std::string* text);
    XDSTATUS Append(const std::string& text, uint32_t* block);
    // Packs the memo file against the open table `data_handle`.
    XDSTATUS Rebuild(int16_t data_handle);
    void Close();
    bool IsOpen() const { return handle_ >= 0; }
    const std::string& Path() const { return path_; }

    static bool FoxPro(uint8_t dialect);
    static std::string PathFor(const std::string& dbf_path, uint8_t dialect);

private:
    int16_t handle_ = -1;
    bool fpt_ = false;
    std::string path_;
};
