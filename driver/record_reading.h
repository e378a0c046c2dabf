#pragma once
// Reading the data file's current record into the host record: which host item is
// which field, the form each field is read in, the OEM conversion of text, memos.
//
// Value forms, by field type:
//   B                 the stored double
//   F, N              decimal text (the stored digits)
//   I                 32-bit integer
//   L                 truth value (none for '?' and blanks)
//   Y                 decimal text of the exact amount
//   T                 date-time text yyyymmddhhmmssmmm
//   Q                 bytes
//   G, M, P, W        a memo: the text or bytes of the block the field names
//   C, D, V, others   text: the stored characters, OEM to ANSI
// then the framework's value conversion makes the form into the host item's value.

#include <cstdint>
#include <string>
#include <vector>

#include "driver/interfaces.h"
#include "engine/core/dbf.h"

class XbaseTableDescription;
class CXErrorHolder;

// One bound item: the host record's item and the field it reads.
struct BoundItem {
    int host_index = 0;
    int field_index = 0;
    char type_letter = 0;
    int item_type = 0;
    int item_size = 0;
    std::u16string memo_path;  // memo items: the memo file
    std::string text;          // the field's text after the OEM conversion
    std::string scratch;       // the converted value's text
};

// The memo file a table reads memos from, opened on the first memo read.
struct MemoReader {
    int16_t handle = -1;
    bool fpt = false;
    bool writable = false;  // opened for writing
    std::u16string path;
    void Close();
    // Opens `path` (kept open while the same file is asked for, and reopened for
    // writing when a write needs it). 0 with error 1019 (or 1032 for a missing file
    // when `writing`) in `holder`.
    int Use(const std::u16string& path, int16_t data_handle, bool writing, CXErrorHolder* holder);
};

// The host record of a table and its binding to the table's fields. Items whose
// names are no field of the table are left alone.
class HostBinding {
public:
    ~HostBinding();
    // Takes a reference to `record` (null: none), dropping the one held.
    void Attach(IHostRecord* record);
    IHostRecord* Record() const { return record_; }
    // Fills every bound item from the current record of `data_handle` and sets the
    // state word. 0 with the reason in `holder` (a value that does not convert,
    // a memo that cannot be read).
    int Fill(XbaseTableDescription* description, int16_t data_handle, uint32_t recno, bool oem_to_ansi,
             MemoReader* memo, CXErrorHolder* holder);
    // The bound items, bound again first when the record or the description
    // changed (writes go through them too).
    std::vector<BoundItem>& Items(XbaseTableDescription* description, int16_t data_handle);

private:
    void Bind(XbaseTableDescription* description, int16_t data_handle);
    int ReadMemo(BoundItem& item, int16_t data_handle, uint32_t block, uint32_t recno, bool oem_to_ansi,
                 MemoReader* memo, HostItemValue* form, CXErrorHolder* holder);

    IHostRecord* record_ = nullptr;
    uint32_t layout_ = 0;
    const void* bound_to_ = nullptr;  // the description the binding was made for
    uint32_t bound_generation_ = 0;
    std::vector<BoundItem> items_;
    std::vector<DbfValue> values_;
};
