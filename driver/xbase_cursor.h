#pragma once
// The cursor: a browse over one table. It keeps the browse state; the table's
// reading operations (table_reading.cpp) move it.

#include <cstdint>
#include <string>

#include "driver/interfaces.h"
#include "engine/index/index.h"
#include "framework/native.h"

class XbaseTable;

// Where a key browse stands: the key item, its index, the position in it (the key
// and record number last returned, which the index operations find again) and the
// bounds of a range browse.
struct KeyBrowseState {
    std::u16string key;  // empty: no key browse started
    IndexAccess access{};
    uint32_t indexes_generation = 0;  // the table's open indexes the access belongs to
    uint8_t position[kIndexKeyBuffer] = {0};
    uint32_t position_recno = 0;
    bool position_valid = false;
    bool has_from = false, has_to = false;
    uint8_t from[kIndexKeyBuffer] = {0}, to[kIndexKeyBuffer] = {0};
    uint32_t from_length = 0, to_length = 0;  // character bounds compare over these
    // The search key last built (BuildSearchValue) and its length.
    uint8_t search[kIndexKeyBuffer] = {0};
    uint32_t search_length = 0;
};

struct CursorState {
    int64_t current = -1;  // record number, -1 before any
    int direction = kBrowseFirst;
    bool end_of_data = false;
    bool positioned = false;
    KeyBrowseState browse;
    IHostRecordFilter* filter = nullptr;  // the host's, not owned
};

class XbaseCursor final : public CXRefObject<IXbaseCursor> {
public:
    // Holds a reference to the table (null: a cursor without a table).
    explicit XbaseCursor(IXbaseTable* table);
    void Destroy() override;
    int Count(int64_t* count, int options) override;
    int FillHostRecord() override;
    int SavePosition(HostCursorPosition* position) override;
    int RestorePosition(const HostCursorPosition* position) override;
    int RefreshEndFlag() override;
    int Read(int64_t recno, int number_only, int* deleted) override;
    int Browse(const char16_t* key, int mode, int options) override;
    int BrowseRange(const char16_t* key, int mode, const HostItemValue* from, const HostItemValue* to,
                    int options) override;
    int Search(const char16_t* key, const HostItemValue* value, int options, int* outcome) override;
    int ChangeBrowseKey(const char16_t* key) override;
    int IsEndOfData() override { return state.end_of_data ? 1 : 0; }
    int IsPositioned() override { return state.positioned ? 1 : 0; }
    int64_t GetRecordNumber() override { return state.current; }
    int SetFilter(IHostRecordFilter* filter) override {
        state.filter = filter;
        return 1;
    }

    XbaseTable* Table() const { return table_; }
    CursorState state;

private:
    // 0 with error 1005 when the cursor has no table.
    XbaseTable* RequireTable();
    XbaseTable* table_;
};
