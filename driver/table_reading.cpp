// Reading and browsing a table: records by number, physical and key order, ranges,
// searches, counts and saved positions. The cursor keeps where a browse stands;
// these operations move it and read records into the table's host record.
//
// A key browse keeps its own copy of the index position (the key and record
// number last returned) and hands it back to every move: the index finds its
// place again from it, so other work on the same index, or another process's
// changes, between two moves do not lose the browse.

#include <cstring>

#include "driver/paths.h"
#include "driver/xbase_cursor.h"
#include "driver/xbase_objects.h"
#include "engine/core/codepage.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/index/index.h"
#include "framework/codepage.h"
#include "framework/error.h"
#include "framework/host_item_types.h"
#include "framework/index_keys.h"
#include "resources/messages.h"

namespace {

const int64_t kLastRecordNumber = 0x7FFFFFFE;

bool lands_on_key(XDSTATUS s) { return s == XD_OK || s == XD_KEYNOTFOUND || s == XD_KEYNOTFOUNDEND; }
bool no_keys(XDSTATUS s) { return s == XD_EMPTYFILE || s == XD_NOMOREKEYS; }

// Layout of a saved position (the host keeps the bytes unread). The host's record
// holds a key of up to 100 bytes; a longer one (a CDX tag's) is not kept, and the
// restore finds the key's place again from the record.
const size_t kSavedKeyBytes = 101;
struct SavedPosition {
    uint32_t magic;
    int32_t key_item;  // the browse key's item number in the description, 0: none
    int64_t current;
    int32_t direction;
    uint8_t end_of_data, positioned, position_valid, place_from_record;
    uint32_t position_recno;
    uint8_t position[kSavedKeyBytes];
};
static_assert(sizeof(SavedPosition) <= sizeof(HostCursorPosition), "a saved position fits the host's record");
const uint32_t kSavedMagic = 0x50435851;  // "QXCP"

// The host's text of a value, for messages.
std::u16string value_text(const HostItemValue& v) {
    std::string t;
    if (v.bytes) t.assign(v.bytes, v.length);
    else if (v.type == HV_REAL) t = std::to_string(v.real);
    else t = std::to_string(v.integer);
    std::u16string w = codepage_to_wide(1252, t.data(), t.size());
    if (w.size() > 99) w.resize(99);
    return w;
}

// A host value in the form the key makers take; text goes to the file's code page.
FxValue search_value(const HostItemValue& v, bool oem_to_ansi) {
    FxValue f;
    switch (v.type) {
    case HV_INT32:
    case HV_INT64:
    case HV_BOOLEAN:
        // A logical stays one: its key is the letter T or F, not a digit.
        f.type = v.type == HV_BOOLEAN ? HV_BOOLEAN : HV_INT64;
        f.integer = v.integer;
        f.real = (double)v.integer;
        break;
    case HV_REAL:
        f.type = HV_REAL;
        f.real = v.real;
        break;
    case HV_CURRENCY:
    case HV_DECIMAL:
        f.type = HV_REAL;
        f.real = strtod(std::string(v.bytes ? v.bytes : "", v.length).c_str(), nullptr);
        break;
    case HV_DATE:
    case HV_DATETIME:
        f.type = v.type;
        f.text.assign(v.bytes ? v.bytes : "", v.length);
        break;
    default:
        f.type = HV_TEXT;
        f.text.assign(v.bytes ? v.bytes : "", v.length);
        // Raw bytes are the file's bytes already, as a raw-byte item reads them.
        if (v.type != HV_BYTES && !f.text.empty()) xdb_ansi_to_oem(f.text.data(), f.text.size(), oem_to_ansi ? 1 : 0);
        break;
    }
    return f;
}

}  // namespace

// ---- Records by number ----

int XbaseTable::FillHost(uint32_t recno, bool deleted, CXErrorHolder* holder) {
    IHostRecord* record = binding_.Record();
    if (!record) return 1;
    record->SetStateWord(deleted ? 0x40 : 0);
    return binding_.Fill(description_, DataHandle(), recno, oem_to_ansi_, &memo_, holder);
}

int XbaseTable::ReadRecord(CursorState* cursor, int64_t n, bool number_only, int* deleted, bool* got,
                           CXErrorHolder* holder) {
    if (deleted) *deleted = 0;
    *got = false;
    if (!open_ || DataHandle() < 0) {
        const char* task = qxdb_message_text(2658);
        raise_error(holder, 1014, 106, 1,
                    {utf8_to_wide(task ? task : ""), description_ ? description_->GetPhysicalPath() : u""});
        return 0;
    }
    const int64_t target = n != 0 ? n : (cursor ? cursor->current : current_record_);
    XDSTATUS s = XD_SEEKERR;
    if (target >= 1 && target <= kLastRecordNumber) {
        xdb_set_status(XD_OK);
        s = dbf_read_record(DataHandle(), (uint32_t)target);  // a number beyond the count reads the count again
        xdb_set_status(XD_OK);
    }
    if (s == XD_SEEKERR) {
        if (cursor) cursor->end_of_data = true;
        return 1;
    }
    if (s != XD_OK && s != XD_DELETEDREC) {
        int status = s;
        raise_error(holder, 1015, 106, 2, {(long)target, description_->GetPhysicalPath(), status}, &status);
        return 0;
    }
    *got = true;
    if (deleted) *deleted = s == XD_DELETEDREC;
    current_record_ = target;
    if (cursor) {
        cursor->current = target;
        cursor->end_of_data = false;
        cursor->positioned = true;
    }
    return number_only ? 1 : FillHost((uint32_t)target, s == XD_DELETEDREC, holder);
}

int XbaseTable::RecordCount(int64_t* count, CXErrorHolder* holder) {
    uint32_t n = 0;
    xdb_set_status(XD_OK);
    XDSTATUS s = open_ && DataHandle() >= 0 ? dbf_refresh_count(DataHandle(), &n) : XD_BADHANDLE;
    xdb_set_status(XD_OK);
    if (s < 0) {
        int status = s;
        raise_error(holder, 1028, 106, 3, {description_ ? description_->GetTableName() : u""}, &status);
        return 0;
    }
    *count = n;
    return 1;
}

// ---- Physical order ----

int XbaseTable::PhysicalMove(CursorState* c, int mode, int options, CXErrorHolder* holder) {
    int64_t n = 0, step = 1;
    switch (mode) {
    case kBrowseFirst: n = 1; break;
    case kBrowseLast:
        if (!RecordCount(&n, holder)) return 0;
        step = -1;
        break;
    case kBrowseNext: n = c->current + 1; break;
    case kBrowsePrevious:
        n = c->current - 1;  // from record 1 the browse ends at once
        step = -1;
        break;
    default: n = c->current, step = 0; break;
    }
    c->direction = mode;
    for (;;) {
        if (n < 1) {
            c->end_of_data = true;
            return 1;
        }
        int deleted = 0;
        bool got = false;
        if (!ReadRecord(c, n, true, &deleted, &got, holder)) return 0;
        if (!got) return 1;  // past the last record: end of data
        if (!deleted || step == 0) {
            if (options & kBrowseLock) {
                // Locked, then read again: the host gets the record as it is under the lock.
                if (!LockRecordFor((uint32_t)n, 2, holder)) return 0;
                if (!ReadRecord(c, n, true, &deleted, &got, holder)) return 0;
            }
            if (!FillHost((uint32_t)n, deleted != 0, holder)) return 0;
            if (!c->filter || c->filter->Accepts(binding_.Record())) return 1;
            if (step == 0) {
                c->end_of_data = true;
                return 1;
            }
        }
        n += step;
    }
}

// ---- Key order ----

int XbaseTable::PrepareKey(CursorState* c, const std::u16string& key, CXErrorHolder* holder) {
    KeyBrowseState& b = c->browse;
    if (b.key == key && b.indexes_generation == indexes_generation_ && !key.empty()) return 1;
    XbaseItemDescription* item = description_ ? description_->Find(key) : nullptr;
    if (!item) {
        raise_error(holder, 1023, 106, 10, {key, description_ ? description_->GetTableName() : u""});
        return 0;
    }
    if (item->key_number <= 0) {
        raise_error(holder, 1018, 106, 11, {key});
        return 0;
    }
    IndexAccess access;
    if (!UseKey(key, &access, holder)) return 0;
    // What the index file does not say, the item does: a date field's keys are
    // dates, a numeric field's search values round to its width.
    // (An NTX says nothing of its key's type: a numeric field's keys there are
    // numbers in the NTX text form, searched with values made into that form.)
    if (access.key_type == 'C') access.key_host_type = HV_TEXT;
    if (item->field && item->type_letter == 'D') access.key_type = 'D';
    if (item->field && (item->type_letter == 'N' || item->type_letter == 'F')) {
        access.key_type = 'N';
        access.key_width = (uint32_t)item->field_length;
        access.key_decimals = (uint32_t)item->decimals;
    }
    if (b.key != key) b = KeyBrowseState{};  // another key: its position and range do not carry over
    b.key = key;
    b.access = access;
    b.indexes_generation = indexes_generation_;
    return 1;
}

int XbaseTable::MakeBoundKey(CursorState* c, const HostItemValue* value, uint8_t* key, uint32_t* length,
                             CXErrorHolder* holder) {
    IndexAccess a = c->browse.access;
    FxValue f = search_value(*value, oem_to_ansi_);
    a.value_host_type = f.type;
    a.raw_character_key = 1;  // bounds and prefixes are not blank-padded
    memset(key, 0, kIndexKeyBuffer);
    xdb_set_status(XD_OK);
    XDSTATUS s = MakeKeyFromValue(&a, f, key);
    xdb_set_status(XD_OK);
    if (s != XD_OK) {
        int status = s;
        raise_error(holder, 1066, 106, 12, {value_text(*value)}, &status);
        return 0;
    }
    *length = a.key_type == 'C' ? (uint32_t)strnlen((const char*)key, a.key_length - 1) : IndexKeySize(&a);
    return 1;
}

namespace {

// Whether a key lies within the cursor's range.
bool within_range(const KeyBrowseState& b, const uint8_t* key) {
    if (b.has_from && IndexCompareKeys(&b.access, key, b.from, b.from_length) < 0) return false;
    if (b.has_to && IndexCompareKeys(&b.access, key, b.to, b.to_length) > 0) return false;
    return true;
}

// Positions on the first key at or after the lower bound.
XDSTATUS seek_first_in_range(KeyBrowseState& b, uint8_t* key, uint32_t* recno) {
    IndexAccess& a = b.access;
    memcpy(key, b.from, kIndexKeyBuffer);
    *recno = 0;
    XDSTATUS s = IndexSeek(&a, key, 0, recno, 0);
    if (s == XD_KEYNOTFOUND) s = IndexNext(&a, key, recno);  // stands on the key before the bound's place
    else if (s == XD_KEYNOTFOUNDEND) s = XD_OK;               // on the first key, which is past the bound
    return s;
}

// Positions on the last key at or before the upper bound.
XDSTATUS seek_last_in_range(KeyBrowseState& b, uint8_t* key, uint32_t* recno) {
    IndexAccess& a = b.access;
    const bool text = a.key_type == 'C';
    memset(key, 0, kIndexKeyBuffer);
    if (text) MakeLastKeyWithPrefix(&a, b.to, b.to_length, key);
    else memcpy(key, b.to, IndexKeySize(&a));
    *recno = 0;
    XDSTATUS s = IndexSeek(&a, key, 0, recno, 0);
    if (s == XD_KEYNOTFOUNDEND) {
        // No key is smaller than the bound's greatest form: the first may still
        // equal it.
        return IndexCompareKeys(&a, key, b.to, b.to_length) <= 0 ? XD_OK : XD_NOMOREKEYS;
    }
    if (!lands_on_key(s)) return s;
    // Keys equal to the bound (and, in the national order, bytes that weigh as
    // much as the filler) follow: step over them.
    for (;;) {
        uint8_t next[kIndexKeyBuffer];
        uint32_t next_recno = *recno;
        memcpy(next, key, kIndexKeyBuffer);
        XDSTATUS t = IndexNext(&a, next, &next_recno);
        if (t != XD_OK || IndexCompareKeys(&a, next, b.to, b.to_length) > 0) break;
        memcpy(key, next, kIndexKeyBuffer);
        *recno = next_recno;
    }
    return XD_OK;
}

}  // namespace

int XbaseTable::ReadKeyedRecord(CursorState* c, uint32_t recno, unsigned site, CXErrorHolder* holder) {
    bool got = false;
    if (!ReadRecord(c, recno, false, nullptr, &got, holder)) return 0;
    if (got) return 1;
    // The index names a record the data file does not hold.
    int status = XD_SEEKERR;
    raise_error(holder, 1015, 106, site, {(long)recno, description_->GetPhysicalPath(), status}, &status);
    return 0;
}

int XbaseTable::KeyMove(CursorState* c, int mode, int options, CXErrorHolder* holder) {
    KeyBrowseState& b = c->browse;
    IndexAccess& a = b.access;
    uint8_t key[kIndexKeyBuffer] = {0};
    uint32_t recno = 0;
    XDSTATUS s;
    xdb_set_status(XD_OK);
    if (mode == kBrowseFirst) {
        s = b.has_from ? seek_first_in_range(b, key, &recno) : IndexFirst(&a, key, &recno);
    } else if (mode == kBrowseLast) {
        s = b.has_to ? seek_last_in_range(b, key, &recno) : IndexLast(&a, key, &recno);
    } else {
        if (!b.position_valid) {
            raise_error(holder, 1042, 106, 13, {b.key, description_->GetTableName()});
            return 0;
        }
        memcpy(key, b.position, kIndexKeyBuffer);
        recno = b.position_recno;
        s = mode == kBrowseNext ? IndexNext(&a, key, &recno)
            : mode == kBrowsePrevious ? IndexPrevious(&a, key, &recno)
                                      : IndexResync(&a, key, &recno);
    }
    xdb_set_status(XD_OK);
    c->direction = mode;
    if (no_keys(s)) {
        c->end_of_data = true;
        return 1;
    }
    if (!lands_on_key(s)) {
        int status = s;
        raise_error(holder, 1043, 106, 14, {b.key}, &status);
        return 0;
    }
    memcpy(b.position, key, kIndexKeyBuffer);
    b.position_recno = recno;
    b.position_valid = true;
    if ((b.has_from || b.has_to) && !within_range(b, key)) {
        c->end_of_data = true;
        return 1;
    }
    if ((options & kBrowseLock) && !LockRecordFor(recno, 2, holder)) return 0;
    if (!ReadKeyedRecord(c, recno, 15, holder)) return 0;
    if (c->filter && !c->filter->Accepts(binding_.Record())) c->end_of_data = true;
    return 1;
}

int XbaseTable::BrowseCursor(CursorState* c, const std::u16string& key, int mode, int options, CXErrorHolder* holder) {
    QXDB_DRIVER_ENTRY;
    holder->Reset();
    if (mode < kBrowseFirst || mode > kBrowseCurrent) return refuse_operation(*holder, 32);
    if (!open_ || DataHandle() < 0) {
        bool got;
        return ReadRecord(c, 1, true, nullptr, &got, holder);  // says why (1014)
    }
    if (key.empty()) return PhysicalMove(c, mode, options, holder);
    if (!PrepareKey(c, key, holder)) return 0;
    return KeyMove(c, mode, options, holder);
}

int XbaseTable::SetRange(CursorState* c, const std::u16string& key, const HostItemValue* from, const HostItemValue* to,
                         CXErrorHolder* holder) {
    QXDB_DRIVER_ENTRY;
    holder->Reset();
    if (!PrepareKey(c, key, holder)) return 0;
    KeyBrowseState& b = c->browse;
    b.has_from = from && from->type != HV_NULL;
    b.has_to = to && to->type != HV_NULL;
    if (b.has_from && !MakeBoundKey(c, from, b.from, &b.from_length, holder)) return b.has_from = b.has_to = false, 0;
    if (b.has_to && !MakeBoundKey(c, to, b.to, &b.to_length, holder)) return b.has_from = b.has_to = false, 0;
    return 1;
}

// ---- Searches ----

int XbaseTable::BuildSearch(CursorState* c, const std::u16string& key, const HostItemValue* value, int options,
                            CXErrorHolder* holder) {
    QXDB_DRIVER_ENTRY;
    holder->Reset();
    if (!value) return refuse_operation(*holder, 33);
    if (!PrepareKey(c, key, holder)) return 0;
    KeyBrowseState& b = c->browse;
    if (!MakeBoundKey(c, value, b.search, &b.search_length, holder)) return 0;
    // An exact text search is for the whole key: the value blank-padded to its length.
    if (b.access.key_type == 'C' && !(options & kSearchGeneric)) {
        const uint32_t size = b.access.key_length - 1;
        memset(b.search + b.search_length, ' ', size - b.search_length);
        b.search[size] = 0;
        b.search_length = size;
    }
    return 1;
}

int XbaseTable::SearchCursor(CursorState* c, const std::u16string& key, const HostItemValue* value, int options,
                             int* outcome, CXErrorHolder* holder) {
    QXDB_DRIVER_ENTRY;
    if (outcome) *outcome = kSearchNotFound;
    if (!BuildSearch(c, key, value, options, holder)) return 0;
    if (!open_ || DataHandle() < 0) {
        bool got;
        return ReadRecord(c, 1, true, nullptr, &got, holder);
    }
    KeyBrowseState& b = c->browse;
    b.has_from = b.has_to = false;  // a search starts a browse of the whole key
    const bool generic = options & kSearchGeneric;
    uint8_t found[kIndexKeyBuffer];
    memcpy(found, b.search, kIndexKeyBuffer);
    uint32_t recno = 0;
    IndexAccess a = b.access;
    a.value_host_type = a.key_host_type;  // the search key is text of the key's own form
    xdb_set_status(XD_OK);
    XDSTATUS s = IndexSeek(&a, found, generic ? 0 : 1, &recno, 0);
    xdb_set_status(XD_OK);
    c->direction = kBrowseCurrent;
    if (no_keys(s)) {
        c->end_of_data = true;
        if (outcome) *outcome = kSearchEmpty;
        return 1;
    }
    if (!lands_on_key(s)) {
        int status = s;
        raise_error(holder, 1066, 106, 16, {value_text(*value)}, &status);
        return 0;
    }
    // The key found is compared once more with the value sought.
    if (s == XD_OK && b.access.key_type == 'C' && IndexCompareKeys(&b.access, found, b.search, b.search_length) != 0)
        s = XD_KEYNOTFOUND;
    memcpy(b.position, found, kIndexKeyBuffer);
    b.position_recno = recno;
    b.position_valid = true;
    if (s != XD_OK) {
        // The cursor stays where the search stopped, with no record read.
        c->end_of_data = false;
        if (outcome) *outcome = s == XD_KEYNOTFOUNDEND ? kSearchNotFoundAtFirst : kSearchNotFound;
        return 1;
    }
    if (!ReadKeyedRecord(c, recno, 17, holder)) return 0;
    if (outcome) *outcome = kSearchFound;
    return 1;
}

int XbaseTable::ChangeKey(CursorState* c, const std::u16string& key, CXErrorHolder* holder) {
    QXDB_DRIVER_ENTRY;
    holder->Reset();
    if (!PrepareKey(c, key, holder)) return 0;  // an item of the table (1023) and a key (1018)
    if (c->current < 1) {
        raise_error(holder, 1029, 106, 22, {});
        return 0;
    }
    int deleted;
    bool got = false;
    if (!ReadRecord(c, c->current, true, &deleted, &got, holder)) return 0;
    if (!got) {
        raise_error(holder, 1029, 106, 23, {});
        return 0;
    }
    KeyBrowseState& b = c->browse;
    uint8_t k[kIndexKeyBuffer] = {0};
    uint32_t recno = (uint32_t)c->current;
    xdb_set_status(XD_OK);
    IndexAccess a = b.access;
    a.value_host_type = a.key_host_type;  // the record's key, blank-padded back to the key's length
    XDSTATUS s = IndexKeyFromRecord(&a, DataHandle(), k);
    if (s >= 0) s = IndexSeek(&a, k, 1, &recno, 2 /* the record number decides among equal keys */);
    xdb_set_status(XD_OK);
    if (!lands_on_key(s) && !no_keys(s)) {
        int status = s;
        raise_error(holder, 1043, 106, 24, {key}, &status);
        return 0;
    }
    b.has_from = b.has_to = false;
    b.position_valid = lands_on_key(s);
    memcpy(b.position, k, kIndexKeyBuffer);
    b.position_recno = recno;
    return 1;
}

// ---- Counts, positions ----

int XbaseTable::CountFor(CursorState* c, int64_t* count, int options, CXErrorHolder* holder) {
    QXDB_DRIVER_ENTRY;
    holder->Reset();
    *count = 0;
    if (!open_ || DataHandle() < 0) {
        bool got;
        return ReadRecord(c, 1, true, nullptr, &got, holder);
    }
    if (options & kCountAll) return RecordCount(count, holder);
    if (options & kCountRange) {
        KeyBrowseState& b = c->browse;
        if (b.key.empty() || !PrepareKey(c, b.key, holder)) {
            if (b.key.empty()) raise_error(holder, 1042, 106, 30, {u"", description_->GetTableName()});
            return 0;
        }
        KeyBrowseState walk = b;  // the cursor's own position stays where it is
        uint8_t key[kIndexKeyBuffer] = {0};
        uint32_t recno = 0;
        xdb_set_status(XD_OK);
        XDSTATUS s = walk.has_from ? seek_first_in_range(walk, key, &recno) : IndexFirst(&walk.access, key, &recno);
        int64_t n = 0;
        while (s == XD_OK || s == XD_KEYNOTFOUND || s == XD_KEYNOTFOUNDEND) {
            if (walk.has_to && !within_range(walk, key)) break;
            n++;
            s = IndexNext(&walk.access, key, &recno);
        }
        xdb_set_status(XD_OK);
        if (!no_keys(s) && !lands_on_key(s)) {
            int status = s;
            raise_error(holder, 1043, 106, 31, {b.key}, &status);
            return 0;
        }
        *count = n;
        return 1;
    }
    // Without an option: the deleted records, read one by one from the first. The
    // read-ahead serves this one count only.
    int64_t deleted = 0;
    const int16_t h = DataHandle();
    xdb_set_status(XD_OK);
    dbf_read_ahead_setup(h);
    XDSTATUS s = XD_OK;
    for (uint32_t n = 1;; n++) {
        xdb_set_status(XD_OK);
        s = dbf_read_ahead(h, n);
        if (s == XD_DELETEDREC) deleted++;
        else if (s != XD_OK) break;
    }
    xdb_set_status(XD_OK);
    dbf_read_ahead_release(h);
    xdb_set_status(XD_OK);
    if (s != XD_SEEKERR) {
        int status = s;
        raise_error(holder, 1028, 106, 32, {description_->GetTableName()}, &status);
        return 0;
    }
    *count = deleted;
    return 1;
}

int XbaseTable::SaveCursor(const CursorState* c, HostCursorPosition* position, CXErrorHolder* holder) {
    QXDB_DRIVER_ENTRY;
    holder->Reset();
    if (!position) return refuse_operation(*holder, 34);
    SavedPosition p{};
    p.magic = kSavedMagic;
    if (!c->browse.key.empty() && description_) {
        for (int i = 1; i <= description_->GetItemCount(); i++)
            if (c->browse.key == description_->GetItem(i)->GetName()) p.key_item = i;
    }
    p.current = c->current;
    p.direction = c->direction;
    p.end_of_data = c->end_of_data;
    p.positioned = c->positioned;
    p.position_valid = c->browse.position_valid && p.key_item > 0;
    p.place_from_record = 0;
    if (p.position_valid && c->browse.access.key_length > kSavedKeyBytes) {
        p.position_valid = 0;
        p.place_from_record = 1;
    }
    p.position_recno = c->browse.position_recno;
    memcpy(p.position, c->browse.position, kSavedKeyBytes);
    memset(position->bytes, 0, sizeof position->bytes);
    memcpy(position->bytes, &p, sizeof p);
    return 1;
}

int XbaseTable::RestoreCursor(CursorState* c, const HostCursorPosition* position, CXErrorHolder* holder) {
    QXDB_DRIVER_ENTRY;
    holder->Reset();
    SavedPosition p;
    if (position) memcpy(&p, position->bytes, sizeof p);
    if (!position || p.magic != kSavedMagic || !description_ || p.key_item < 0 ||
        p.key_item > description_->GetItemCount())
        return refuse_operation(*holder, 35);
    if (p.key_item > 0) {
        const std::u16string key = description_->GetItem(p.key_item)->GetName();
        if (!PrepareKey(c, key, holder)) return 0;
        KeyBrowseState& b = c->browse;
        b.has_from = b.has_to = false;
        b.position_valid = p.position_valid;
        b.position_recno = p.position_recno;
        memset(b.position, 0, kIndexKeyBuffer);
        memcpy(b.position, p.position, kSavedKeyBytes);
        if (b.position_valid) {
            uint8_t key_bytes[kIndexKeyBuffer] = {0};
            memcpy(key_bytes, p.position, kSavedKeyBytes);
            uint32_t recno = p.position_recno;
            xdb_set_status(XD_OK);
            XDSTATUS s = IndexResync(&b.access, key_bytes, &recno);
            xdb_set_status(XD_OK);
            if (!lands_on_key(s) && !no_keys(s)) {
                int status = s;
                raise_error(holder, 1043, 106, 36, {key}, &status);
                return 0;
            }
        }
    }
    c->current = p.current;
    c->direction = p.direction;
    c->end_of_data = p.end_of_data;
    c->positioned = p.positioned;
    if (c->current >= 1 && c->positioned && !c->end_of_data) {
        int deleted;
        bool got = false;
        if (!ReadRecord(c, c->current, false, &deleted, &got, holder)) return 0;
        // A key too long to keep: its place found again from the record read.
        if (p.key_item > 0 && p.place_from_record && got &&
            !ChangeKey(c, description_->GetItem(p.key_item)->GetName(), holder))
            return 0;
    }
    return 1;
}

int XbaseTable::RefreshEnd(CursorState* c, CXErrorHolder* holder) {
    QXDB_DRIVER_ENTRY;
    holder->Reset();
    int64_t count = 0;
    if (!RecordCount(&count, holder)) return 0;
    c->end_of_data = c->current < 1 || c->current > count;
    return 1;
}

// ---- The table's own operations ----

XbaseCursor* XbaseTable::CursorOf(IXbaseCursor* cursor) {
    auto* c = dynamic_cast<XbaseCursor*>(cursor);
    if (!c || c->Table() != this) {
        refuse_operation(errors_, 36);
        return nullptr;
    }
    return c;
}

int XbaseTable::GoToRecord(int64_t recno) {
    QXDB_DRIVER_ENTRY;
    errors_.Reset();
    bool got;
    return ReadRecord(nullptr, recno, false, nullptr, &got, &errors_);
}

int XbaseTable::ReadCurrentRecord() { return GoToRecord(0); }

int XbaseTable::CountRecords(int64_t* count) {
    QXDB_DRIVER_ENTRY;
    errors_.Reset();
    if (!count) return refuse();
    return RecordCount(count, &errors_);
}

int XbaseTable::CurrentRecordNumber(int64_t* recno) {
    QXDB_DRIVER_ENTRY;
    if (!recno) return refuse();
    *recno = current_record_;
    return 1;
}

int XbaseTable::ValidateRecordNumber(int64_t recno) {
    QXDB_DRIVER_ENTRY;
    errors_.Reset();
    if (recno >= 1 && recno <= kLastRecordNumber) return 1;
    raise_error(&errors_, 1060, 106, 40, {});
    return 0;
}

int XbaseTable::AttachHostRecord(IHostRecord* record) {
    QXDB_DRIVER_ENTRY;
    binding_.Attach(record);
    return 1;
}

int XbaseTable::Browse(IXbaseCursor* cursor, const char16_t* key, int mode, int options) {
    XbaseCursor* c = CursorOf(cursor);
    return c ? BrowseCursor(&c->state, key ? key : u"", mode, options, &errors_) : 0;
}

int XbaseTable::StartKeyBrowse(IXbaseCursor* cursor, const char16_t* key) {
    return Browse(cursor, key, kBrowseFirst, 0);
}

int XbaseTable::BrowseRange(IXbaseCursor* cursor, const char16_t* key, int mode, const HostItemValue* from,
                            const HostItemValue* to, int options) {
    XbaseCursor* c = CursorOf(cursor);
    return c ? RangeBrowse(&c->state, key ? key : u"", mode, from, to, options, &errors_) : 0;
}

int XbaseTable::RangeBrowse(CursorState* c, const std::u16string& key, int mode, const HostItemValue* from,
                            const HostItemValue* to, int options, CXErrorHolder* holder) {
    QXDB_DRIVER_ENTRY;
    // First and last set the bounds; next and previous keep them.
    if ((mode == kBrowseFirst || mode == kBrowseLast) && !SetRange(c, key, from, to, holder)) return 0;
    return BrowseCursor(c, key, mode, options, holder);
}

int XbaseTable::BuildSearchValue(IXbaseCursor* cursor, const char16_t* key, const HostItemValue* value, int options) {
    XbaseCursor* c = CursorOf(cursor);
    return c ? BuildSearch(&c->state, key ? key : u"", value, options, &errors_) : 0;
}

int XbaseTable::ChangeBrowseKey(IXbaseCursor* cursor, const char16_t* key) {
    XbaseCursor* c = CursorOf(cursor);
    return c ? ChangeKey(&c->state, key ? key : u"", &errors_) : 0;
}
