// The cursor's operations: each goes to its table with the cursor's state and
// leaves the reason of a failure in the cursor's own error holder.

#include "driver/xbase_cursor.h"

#include "driver/xbase_objects.h"

XbaseCursor::XbaseCursor(IXbaseTable* table) : table_(dynamic_cast<XbaseTable*>(table)) {
    if (table_) {
        table_->AddRef();
        int64_t current = 0;
        table_->CurrentRecordNumber(&current);
        state.current = current > 0 ? current : -1;
    }
}

void XbaseCursor::Destroy() {
    if (table_) {
        QXDB_DRIVER_ENTRY;
        table_->Release();
    }
    delete this;
}

// The table's operations reset the holder they are given.
XbaseTable* XbaseCursor::RequireTable() {
    if (!table_) raise_error(&errors_, 1005, 106, 50, {u""});
    return table_;
}

int XbaseCursor::Count(int64_t* count, int options) {
    XbaseTable* t = RequireTable();
    if (!t || !count) return count ? 0 : refuse_operation(errors_, 45);
    return t->CountFor(&state, count, options, &errors_);
}

int XbaseCursor::FillHostRecord() {
    XbaseTable* t = RequireTable();
    if (!t) return 0;
    QXDB_DRIVER_ENTRY;
    errors_.Reset();
    if (state.current < 1) {
        raise_error(&errors_, 1060, 106, 51, {});
        return 0;
    }
    bool got = false;
    return t->ReadRecord(&state, state.current, false, nullptr, &got, &errors_);
}

int XbaseCursor::SavePosition(HostCursorPosition* position) {
    XbaseTable* t = RequireTable();
    return t ? t->SaveCursor(&state, position, &errors_) : 0;
}

int XbaseCursor::RestorePosition(const HostCursorPosition* position) {
    XbaseTable* t = RequireTable();
    return t ? t->RestoreCursor(&state, position, &errors_) : 0;
}

int XbaseCursor::RefreshEndFlag() {
    XbaseTable* t = RequireTable();
    return t ? t->RefreshEnd(&state, &errors_) : 0;
}

int XbaseCursor::Read(int64_t recno, int number_only, int* deleted) {
    XbaseTable* t = RequireTable();
    if (!t) return 0;
    QXDB_DRIVER_ENTRY;
    errors_.Reset();
    bool got = false;
    // The current record when there is none is no record at all.
    const int64_t n = recno != 0 ? recno : (state.current < 1 ? -1 : state.current);
    return t->ReadRecord(&state, n, number_only != 0, deleted, &got, &errors_);
}

int XbaseCursor::Browse(const char16_t* key, int mode, int options) {
    XbaseTable* t = RequireTable();
    return t ? t->BrowseCursor(&state, key ? key : u"", mode, options, &errors_) : 0;
}

int XbaseCursor::BrowseRange(const char16_t* key, int mode, const HostItemValue* from, const HostItemValue* to,
                             int options) {
    XbaseTable* t = RequireTable();
    return t ? t->RangeBrowse(&state, key ? key : u"", mode, from, to, options, &errors_) : 0;
}

int XbaseCursor::Search(const char16_t* key, const HostItemValue* value, int options, int* outcome) {
    XbaseTable* t = RequireTable();
    return t ? t->SearchCursor(&state, key ? key : u"", value, options, outcome, &errors_) : 0;
}

int XbaseCursor::ChangeBrowseKey(const char16_t* key) {
    XbaseTable* t = RequireTable();
    return t ? t->ChangeKey(&state, key ? key : u"", &errors_) : 0;
}
