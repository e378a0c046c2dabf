// Writing a table: the host record stored as a record (added, written at a
// number, modified), its memos, every index of the table kept in step, deletes;
// and the locks that coordinate with other programs.
//
// Order of a write, so that a stop between any two steps loses nothing reported
// written: memos first (a memo no record points at is only unused space), then the
// record (appended and counted in one step by the engine), then the keys. A write
// on a shared file holds the append lock throughout, so that another program's
// appends and key changes wait for it.

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "driver/index_names.h"
#include "driver/library_state.h"
#include "driver/paths.h"
#include "driver/xbase_driver.h"
#include "driver/physical_files.h"
#include "driver/xbase_objects.h"
#include "engine/core/codepage.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/keyexpr.h"
#include "engine/index/index.h"
#include "engine/index/table_compact.h"
#include "engine/memo/memo.h"
#include "framework/codepage.h"
#include "framework/error.h"
#include "framework/host_item_types.h"
#include "framework/value_conversion.h"

namespace {

const uint16_t kWriteAt = 0x0100;

bool is_memo_type(char t) { return t == 'M' || t == 'G' || t == 'P' || t == 'W'; }

// File lock kinds of the engine (the append lock is kind 1).
const int kAppendLock = 1;

// The append lock, waited for a little while another program holds it.
XDSTATUS take_append_lock(int16_t h) {
    XDSTATUS s = XD_LOCKVIOLATION;
    for (int attempt = 0; attempt < 100; attempt++) {
        xdb_set_status(XD_OK);
        s = dbf_lock_file(h, kAppendLock);
        if (s != XD_LOCKVIOLATION) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    xdb_set_status(XD_OK);
    return s;
}

// A host value as the text of a text field, in the file's code page.
bool text_of(const HostItemValue& v, bool oem_to_ansi, std::string* out) {
    switch (v.type) {
    case HV_TEXT:
    case HV_BYTES:
    case HV_DATE:
    case HV_DATETIME:
    case HV_CURRENCY:
    case HV_DECIMAL: out->assign(v.bytes ? v.bytes : "", v.length); break;
    case HV_INT32:
    case HV_INT64: *out = std::to_string(v.integer); break;
    case HV_BOOLEAN: out->assign(1, v.integer ? 'T' : 'F'); break;
    case HV_REAL: {
        char b[40];
        snprintf(b, sizeof b, "%.15g", v.real);
        *out = b;
        break;
    }
    default: return false;
    }
    // Stored text ends at its first byte 0.
    if (size_t z = out->find('\0'); z != std::string::npos) out->resize(z);
    if (v.type == HV_TEXT && !out->empty()) xdb_ansi_to_oem(out->data(), out->size(), oem_to_ansi ? 1 : 0);
    return true;
}

// A host value as a number; false for a value that is no number.
bool number_of(const HostItemValue& v, double* out) {
    switch (v.type) {
    case HV_REAL: *out = v.real; return true;
    case HV_INT32:
    case HV_INT64:
    case HV_BOOLEAN: *out = (double)v.integer; return true;
    case HV_TEXT:
    case HV_DECIMAL:
    case HV_CURRENCY: {
        std::string scratch;
        DecimalView d;
        bool empty;
        if (!plain_decimal(v.bytes ? v.bytes : "", v.length, &scratch, &d, &empty)) return false;
        *out = strtod(std::string(d.text, d.length).c_str(), nullptr);
        return true;
    }
    default: return false;
    }
}

// Digits of a date or date-time value (yyyymmdd[hhmmss[mmm]]).
bool date_digits_of(const HostItemValue& v, std::string* out) {
    if (v.type != HV_DATE && v.type != HV_DATETIME && v.type != HV_TEXT) return false;
    out->clear();
    for (uint32_t i = 0; i < v.length; i++) {
        char c = v.bytes[i];
        if (c >= '0' && c <= '9') *out += c;
        else if (c != '-' && c != ':' && c != 'T' && c != ' ') return false;
    }
    return out->size() >= 8;
}

// Puts one host value into field `field` of the record buffer. The engine's
// answers: 0, or 5 (text cut) and 6 (number rounded), which the write accepts;
// XD_BADDATA for a value the field cannot take.
XDSTATUS put_value(int16_t h, int16_t field, char type, const HostItemValue& v, bool oem_to_ansi) {
    std::string text;
    double number;
    xdb_set_status(XD_OK);
    switch (type) {
    case 'N':
    case 'F':
    case 'B':
    case 'Y':
        if (!number_of(v, &number)) return XD_BADDATA;
        return dbf_put_field(h, field, &number);
    case 'I': {
        if (!number_of(v, &number) || number < -2147483648.0 || number > 2147483647.0) return XD_BADDATA;
        int32_t i = (int32_t)number;
        return dbf_put_field(h, field, &i);
    }
    case 'L': {
        char c;
        if (v.type == HV_BOOLEAN || v.type == HV_INT32 || v.type == HV_INT64) c = v.integer ? 'T' : 'F';
        else if (v.type == HV_TEXT && v.length > 0) c = v.bytes[0];
        else return XD_BADDATA;
        return dbf_put_field(h, field, &c);
    }
    case 'D': {
        if (!date_digits_of(v, &text)) return XD_BADDATA;
        text.resize(8);
        // The engine reads the text in its current date format: yyyymmdd here.
        int16_t before = xdb_swap_date_format(4);
        XDSTATUS s = dbf_put_field(h, field, text.c_str());
        xdb_swap_date_format(before);
        return s;
    }
    case 'T': {
        if (!date_digits_of(v, &text)) return XD_BADDATA;
        text.resize(17, '0');
        auto part = [&](size_t at, size_t n) { return (int16_t)atoi(text.substr(at, n).c_str()); };
        DbfDateTime t = {part(0, 4), part(4, 2), part(6, 2), part(8, 2), part(10, 2), part(12, 2), part(14, 3)};
        return dbf_put_field(h, field, &t);
    }
    case 'Q': {
        if (v.type != HV_BYTES && v.type != HV_TEXT) return XD_BADDATA;
        std::string q(2, '\0');
        uint16_t n = (uint16_t)(v.length > 65535 ? 65535 : v.length);
        memcpy(q.data(), &n, 2);
        q.append(v.bytes ? v.bytes : "", n);
        return dbf_put_field(h, field, q.data());
    }
    default:
        if (!text_of(v, oem_to_ansi, &text)) return XD_BADDATA;
        return dbf_put_field(h, field, text.c_str());
    }
}

}  // namespace

// ---- Writing a record ----

int XbaseTable::WriteLockTake(CXErrorHolder* holder, bool* taken) {
    *taken = false;
    // A file lock of kind 2 covers the append lock's byte already (and releasing
    // that byte would open a hole in it).
    if (file_->file_locks & (1u << 2)) return 1;
    XDSTATUS s = take_append_lock(DataHandle());
    if (s < 0) {
        raise_error(holder, 1054, 106, 60, {description_->GetTableName()});
        return 0;
    }
    *taken = true;
    return 1;
}

void XbaseTable::WriteLockRelease(bool taken) {
    if (!taken) return;
    xdb_set_status(XD_OK);
    dbf_unlock_file(DataHandle(), kAppendLock);
    xdb_set_status(XD_OK);
}

uint64_t XbaseTable::KeysStamp() const {
    return description_->IndexSetStamp() ^ ((uint64_t)indexes_generation_ << 1) ^ (uint64_t)(uintptr_t)description_;
}

void XbaseTable::HoldIndexesForWholeLock() {
    const uint32_t whole = dbf_whole_lock(DataHandle());
    for (OpenIndex& open : indexes_) {
        if (open.held_for == whole) continue;
        xdb_set_status(XD_OK);
        IndexHold(open.type, open.handle, whole ? DataHandle() : (int16_t)-1);
        xdb_set_status(XD_OK);
        open.held_for = whole;
    }
}

int XbaseTable::KeysOfTable(std::vector<KeyWork>* keys, CXErrorHolder* holder) {
    keys->clear();
    // The keys made for the last write stand when nothing they were made from
    // changed. Another program may make or remove a tag of a shared multi-tag
    // file: its list of tags is asked again.
    const uint64_t stamp = KeysStamp();
    if (keys_made_.valid && keys_made_.stamp == stamp) {
        HoldIndexesForWholeLock();
        bool same = true;
        for (const KeysMade::TagFile& t : keys_made_.tag_files) {
            int16_t tags = -1;
            uint64_t listed = 0;
            xdb_set_status(XD_OK);
            same = same && TagListStamp(t.type, t.handle, &tags, &listed) >= 0 && tags == t.tags && listed == t.stamp;
            xdb_set_status(XD_OK);
        }
        if (same) {
            *keys = keys_made_.keys;
            return 1;
        }
    }
    keys_made_.valid = false;
    keys_made_.tag_files.clear();
    keys->reserve(4);
    for (const IndexSetEntry& entry : description_->IndexSet()) {
        if (!entry.writable) {
            // An index of the table that cannot be kept in step: the write would
            // leave it stale, so nothing is written.
            int status = XD_NOTSUPPORTED;
            raise_error(holder, 1058, 106, 23, {entry.path}, &status);
            return 0;
        }
        // Every tag of a multi-tag file is kept in step; a single-key file is its
        // one tag.
        int16_t tags = 1;
        uint64_t listed = 0;
        IndexAccess first;
        IndexDescription d;
        if (!UseIndexFile(entry.path, 0, &first, &d, holder)) return 0;
        const int type = first.type;
        if (index_is_multitag(type)) {
            xdb_set_status(XD_OK);
            if (TagListStamp(type, (int16_t)first.file_handle, &tags, &listed) < 0 || tags < 1) {
                xdb_set_status(XD_OK);
                raise_error(holder, 1019, 102, 5, {entry.path});
                return 0;
            }
            if (RenumberTags(entry.path, tags, listed) && !UseIndexFile(entry.path, 0, &first, &d, holder)) return 0;
            keys_made_.tag_files.push_back(KeysMade::TagFile{type, (int16_t)first.file_handle, tags, listed});
        }
        for (int16_t tag = 0; tag < tags; tag++) {
            KeyWork k;
            // The key that names the file (or tag) gives its name (and, for a
            // field, the quick way to the key's bytes).
            for (int i = 1; i <= description_->GetItemCount() && !k.item; i++) {
                auto* item = static_cast<XbaseItemDescription*>(description_->GetItem(i));
                if (item->key_number > 0 && (tags == 1 || item->tag_number == tag) &&
                    same_name_ignoring_case(item->index_path, entry.path))
                    k.item = item;
            }
            IndexDescription desc = d;
            k.access = first;  // the file's first (or one) tag is in use already
            if (tag > 0 && !UseIndexFile(entry.path, tag, &k.access, &desc, holder)) return 0;
            if (k.item && k.item->field) {
                k.access.single_field = (int16_t)k.item->field_index;
                k.access.single_field_type = k.item->type_letter;
            }
            k.name = k.item ? k.item->name
                   : index_is_multitag(type) ? codepage_to_wide(1252, desc.name, strlen(desc.name))
                                             : path_stem(entry.path);
            k.path = entry.path;
            k.expression = desc.key_expression;
            k.unique = (desc.flags & 128) != 0;
            if (k.access.key_type == 'C') k.access.key_host_type = k.access.value_host_type = HV_TEXT;
            keys->push_back(std::move(k));
        }
    }
    keys_made_.keys = *keys;
    keys_made_.stamp = KeysStamp();  // tags opened again change it
    keys_made_.valid = true;
    return 1;
}

int XbaseTable::MakeRecordKey(KeyWork& k, uint8_t* key, bool* included, CXErrorHolder* holder) {
    memset(key, 0, kIndexKeyBuffer);
    xdb_set_status(XD_OK);
    *included = true;
    XDSTATUS s = IndexRecordIncluded(&k.access, DataHandle(), included);
    if (s >= 0) s = IndexKeyFromRecord(&k.access, DataHandle(), key);
    xdb_set_status(XD_OK);
    if (s < 0) {
        int status = s;
        raise_error(holder, 1048, 106, 25,
                    {k.name, k.expression.empty() ? k.name : codepage_to_wide(1252, k.expression.data(), k.expression.size())},
                    &status);
        return 0;
    }
    return 1;
}

int XbaseTable::StoreFields(bool modify, bool memos, std::vector<uint32_t>* new_blocks,
                             std::vector<uint32_t>* old_blocks, CXErrorHolder* holder) {
    IHostRecord* record = binding_.Record();
    const int16_t h = DataHandle();
    std::vector<BoundItem>& items = binding_.Items(description_, h);
    std::vector<DbfValue> current;
    for (BoundItem& item : items) {
        HostItemValue v;
        if (!record->GetItemValue(item.host_index, &v)) {
            raise_error(holder, 1006, 106, 26, {item.field_index, description_->GetTableName()});
            return 0;
        }
        if (is_memo_type(item.type_letter) != memos) continue;
        if (is_memo_type(item.type_letter)) {
            if (modify && !record->IsItemChanged(item.host_index)) continue;
            if (!memo_.Use(item.memo_path, h, true, holder)) return 0;
            std::string text;
            const bool binary = item.item_type == kItemBinaryMemo || item.item_type == kItemBinary;
            if (v.type != HV_NULL && !(binary ? (text.assign(v.bytes ? v.bytes : "", v.length), true)
                                              : text_of(v, oem_to_ansi_, &text))) {
                raise_error(holder, 1047, 106, 27, {item.field_index});
                return 0;
            }
            uint32_t old_block = 0;
            if (modify) {
                if (current.empty()) {
                    uint16_t count = 0;
                    dbf_field_count(h, &count);
                    current.assign(count, DbfValue{});
                    xdb_set_status(XD_OK);
                    dbf_get_record_forms(h, current.data(), count);
                    xdb_set_status(XD_OK);
                }
                if ((size_t)item.field_index < current.size()) old_block = current[(size_t)item.field_index].block;
            }
            // An empty memo is no block at all.
            uint32_t block = 0;
            XDSTATUS s = XD_OK;
            xdb_set_status(XD_OK);
            // A memo is never written over its old text while the record names it:
            // the new text takes new blocks, and the old ones are given back once
            // the record names the new (a stop in between loses neither).
            if (!text.empty()) {
                s = memo_.fpt ? fpt_write(memo_.handle, text.data(), (uint32_t)text.size(), &block)
                              : dbt_write(memo_.handle, text.data(), (uint32_t)text.size(), &block, 0);
                if (s >= 0) new_blocks->push_back(block);
            }
            if (s >= 0 && old_block) old_blocks->push_back(old_block);
            xdb_set_status(XD_OK);
            if (s >= 0) s = dbf_put_field(h, (int16_t)item.field_index, &block);
            xdb_set_status(XD_OK);
            if (s < 0) {
                int status = s;
                raise_error(holder, 1047, 106, 28, {item.field_index}, &status);
                return 0;
            }
            continue;
        }
        if (v.type == HV_NULL) continue;  // no value: the field keeps what it holds
        XDSTATUS s = put_value(h, (int16_t)item.field_index, item.type_letter, v, oem_to_ansi_);
        xdb_set_status(XD_OK);
        if (s != XD_OK && s != XD_TRUNCATED && s != XD_ROUNDED) {
            const char16_t* name = record->GetItemName(item.host_index);
            int status = s;
            raise_error(holder, 1045, 105, 14, {name ? name : u""}, &status);
            return 0;
        }
    }
    return 1;
}

int XbaseTable::ComputeNewKeys(std::vector<KeyWork>& keys, bool modify, uint32_t recno, CXErrorHolder* holder) {
    // The record buffer holds the record as it will be written: live (an add is
    // appended deleted and made live once its keys are in, but its keys are
    // those of the live record).
    for (KeyWork& k : keys) {
        if (!modify) k.old_in = false;
        if (!MakeRecordKey(k, k.new_key, &k.new_in, holder)) return 0;
        const bool changed = k.revived || k.old_in != k.new_in ||
                             (k.new_in && memcmp(k.old_key, k.new_key, k.access.key_length) != 0);
        // A unique key another record holds is refused before anything is written.
        if (!changed || !k.new_in || !k.unique || library().duplicates_on != 1) continue;
        uint8_t copy[kIndexKeyBuffer];
        memcpy(copy, k.new_key, kIndexKeyBuffer);
        uint32_t found = 0;
        xdb_set_status(XD_OK);
        XDSTATUS s = IndexSeek(&k.access, copy, 1, &found, 0);
        xdb_set_status(XD_OK);
        if (s == XD_OK && !(modify && found == recno)) {
            raise_error(holder, 1053, 106, 62, {k.name});
            return 0;
        }
    }
    return 1;
}

namespace {

// The files whose several tags a record's write changes, each under one update
// lock from the first tag's change to the last (and any putting back); a file
// whose lock cannot be had at once is left to lock at each change, as alone.
struct WriteBrackets {
    using File = std::pair<int32_t, int16_t>;  // index type, file handle
    std::vector<File> open;
    // `changed`: the file of each tag the write changes, in the write's order.
    explicit WriteBrackets(const std::vector<File>& changed) {
        for (const File& file : changed) {
            if (!index_is_multitag(file.first) || std::count(changed.begin(), changed.end(), file) < 2 ||
                std::count(open.begin(), open.end(), file))
                continue;
            xdb_set_status(XD_OK);
            if (IndexWriteBegin(file.first, file.second) == XD_OK) open.push_back(file);
            xdb_set_status(XD_OK);
        }
    }
    ~WriteBrackets() {
        for (auto it = open.rbegin(); it != open.rend(); ++it) IndexWriteEnd(it->first, it->second);
        xdb_set_status(XD_OK);
    }
};

}  // namespace

int XbaseTable::ApplyKeyChanges(std::vector<KeyWork>& keys, uint32_t recno, CXErrorHolder* holder) {
    // A record made live again may lack its entries whatever its keys were
    // (deleted with DELETEINDEX 1, a failed add, a filler): its old entry goes if
    // it is there, its new one is added (an entry there already stays one).
    std::vector<WriteBrackets::File> changed;
    for (KeyWork& k : keys) {
        k.changed = k.revived || k.old_in != k.new_in ||
                    (k.new_in && memcmp(k.old_key, k.new_key, k.access.key_length) != 0);
        if (k.changed) changed.push_back({k.access.type, (int16_t)k.access.file_handle});
    }
    WriteBrackets brackets(changed);
    size_t done = 0;
    bool ok = true;
    for (; done < keys.size(); done++) {
        KeyWork& k = keys[done];
        if (!k.changed) continue;
        xdb_set_status(XD_OK);
        if (k.old_in && IndexDeleteKey(&k.access, k.old_key, recno) < 0) {
            xdb_set_status(XD_OK);
            int status = XD_CORRUPT;
            raise_error(holder, 1049, 106, 28, {k.name}, &status);
            ok = false;
            break;
        }
        if (!k.new_in) continue;  // left out of the index now
        xdb_set_status(XD_OK);
        XDSTATUS s = IndexAddKey(&k.access, k.new_key, recno);
        xdb_set_status(XD_OK);
        if (s < 0) {
            int status = s;
            raise_error(holder, 1049, 106, 28, {k.name}, &status);
            if (k.old_in) IndexAddKey(&k.access, k.old_key, recno);
            xdb_set_status(XD_OK);
            ok = false;
            break;
        }
    }
    if (ok) return 1;
    // The keys already changed for this record are put back.
    for (size_t i = 0; i < done; i++) {
        KeyWork& k = keys[i];
        if (!k.changed) continue;
        xdb_set_status(XD_OK);
        if (k.new_in) IndexDeleteKey(&k.access, k.new_key, recno);
        if (k.old_in) IndexAddKey(&k.access, k.old_key, recno);
    }
    xdb_set_status(XD_OK);
    return 0;
}

// The automatic identifier of an add: one more than the identifier of the record
// the item's last key points to, 1 for an empty index.
int XbaseTable::FillAutomaticIdentifier(uint16_t mode, CXErrorHolder* holder) {
    const bool wanted = (mode & 0x0200) || (!(mode & kWriteAt) && !(mode & 0x0400));
    if (!wanted) return 1;
    IHostRecord* record = binding_.Record();
    const int16_t h = DataHandle();
    for (BoundItem& item : binding_.Items(description_, h)) {
        if (item.item_type != kItemAutoId4 && item.item_type != kItemAutoId8) continue;
        const char16_t* name = record->GetItemName(item.host_index);
        const std::u16string item_name = name ? name : u"";
        auto fail = [&](int status) {
            holder->Reset();
            raise_error(holder, 1061, 106, 70, {item_name}, &status);
            return 0;
        };
        IndexAccess access;
        if (!UseKey(item_name, &access, holder)) return fail(XD_BADKEYEXPR);
        uint8_t key[kIndexKeyBuffer];
        uint32_t last = 0;
        xdb_set_status(XD_OK);
        XDSTATUS s = IndexLast(&access, key, &last);
        xdb_set_status(XD_OK);
        int64_t value = 1;
        if (s == XD_OK) {
            if ((s = dbf_read_record(h, last)) < 0) return fail(s);
            xdb_set_status(XD_OK);
            std::vector<DbfValue> values((size_t)item.field_index + 1);
            dbf_get_record_forms(h, values.data(), (uint16_t)values.size());
            xdb_set_status(XD_OK);
            const DbfValue& v = values[(size_t)item.field_index];
            std::string scratch;
            HostItemValue stored, as_integer;
            if (v.type == 'I') stored = host_integer_value(HV_INT32, v.integer);
            else stored = host_bytes_value(HV_DECIMAL, v.field_text, v.field_length);
            if (!convert_to_item(stored, kItemAutoId8, 0, &scratch, &as_integer)) return fail(XD_BADDATA);
            value = (as_integer.type == HV_NULL ? 0 : as_integer.integer) + 1;
        } else if (s != XD_EMPTYFILE && s != XD_NOMOREKEYS) {
            return fail(s);
        }
        const HostItemValue id = host_integer_value(item.item_type == kItemAutoId8 ? HV_INT64 : HV_INT32, value);
        record->SetItemValue(item.host_index, &id);
        return 1;  // one automatic identifier at most
    }
    return 1;
}

int XbaseTable::WriteRecord(int64_t* recno, bool keys_too, uint16_t mode, CXErrorHolder* holder) {
    QXDB_DRIVER_ENTRY;
    holder->Reset();
    const bool modify = mode & kWriteAt;
    if (!open_ || DataHandle() < 0 || !file_->writable || open_mode_ != 3) {
        int status = XD_READONLY;
        raise_error(holder, 1046, 106, 21, {description_ ? description_->GetTableName() : u""}, &status);
        return 0;
    }
    if (!binding_.Record()) return refuse_operation(*holder, 37);
    const int16_t h = DataHandle();
    uint32_t n = 0;
    if (modify) {
        // A record another program (or another table of this process) holds is
        // not rewritten under it.
        if (*recno < 0 || *recno > 0x7FFFFFFE) {
            raise_error(holder, 1020, 106, 42, {(long)*recno});
            return 0;
        }
        n = (uint32_t)(*recno != 0 ? *recno : current_record_);
        if (!LockRecordFor(n, 5, holder)) return 0;
    }
    bool locked = false;
    if (!WriteLockTake(holder, &locked)) return 0;
    std::vector<KeyWork> keys;
    int ok = FillAutomaticIdentifier(mode, holder);
    if (ok && keys_too) ok = KeysOfTable(&keys, holder);
    std::string old_record;  // a modify's record as it was, put back if its keys fail
    bool old_deleted = false;
    if (ok && modify) {
        xdb_set_status(XD_OK);
        XDSTATUS s = dbf_read_record(h, n);
        xdb_set_status(XD_OK);
        if (s != XD_OK && s != XD_DELETEDREC) {
            int status = s;
            raise_error(holder, 1015, 106, 20, {(long)n, description_->GetPhysicalPath(), status}, &status);
            ok = 0;
        } else {
            char* bytes = nullptr;
            uint16_t length = 0, fields = 0;
            if (dbf_record_layout(h, &bytes, &length, &fields) == XD_OK) old_record.assign(bytes, length);
            xdb_set_status(XD_OK);
            old_deleted = s == XD_DELETEDREC;
        }
        for (KeyWork& k : keys) {
            if (ok && !MakeRecordKey(k, k.old_key, &k.old_in, holder)) ok = 0;
            k.revived = s == XD_DELETEDREC;
        }
        // The rewrite makes the record live: its new keys are the live record's.
        if (ok) dbf_set_buffer_mark(h, 0);
    } else if (ok) {
        xdb_set_status(XD_OK);
        dbf_blank_record(h);
        xdb_set_status(XD_OK);
    }
    // The fields first, then the new keys, checked for unique duplicates before
    // anything is written, then the memos, the record and the keys.
    std::vector<uint32_t> blocks, old_blocks;
    if (ok) ok = StoreFields(modify, false, &blocks, &old_blocks, holder);
    if (ok && keys_too) ok = ComputeNewKeys(keys, modify, n, holder);
    if (ok) ok = StoreFields(modify, true, &blocks, &old_blocks, holder);
    // An add appends its record marked deleted and recalls it once its keys are
    // in: a stop between leaves a deleted record (keys or not, as any deleted
    // record may be), never a live record missing from an index. A filler (mode
    // 0x0400 without 0x0100) stays deleted.
    const bool filler = !modify && (mode & 0x0400) && !keys_too;
    bool record_written = false;
    if (ok) {
        xdb_set_status(XD_OK);
        XDSTATUS s = dbf_write_record(h, &n, modify ? DBF_WRITE_REWRITE : DBF_WRITE_APPEND_DELETED);
        xdb_set_status(XD_OK);
        if (s != XD_OK && s != XD_DELETEDREC) {
            int status = s;
            raise_error(holder, 1046, 106, 21, {description_->GetTableName()}, &status);
            ok = 0;
        } else {
            record_written = true;
        }
    }
    if (ok && keys_too) ok = ApplyKeyChanges(keys, n, holder);
    if (!ok && modify && record_written && keys_too && !old_record.empty()) {
        // The keys are back as they were: so goes the record, naming its old memos.
        char* bytes = nullptr;
        uint16_t length = 0, fields = 0;
        xdb_set_status(XD_OK);
        if (dbf_record_layout(h, &bytes, &length, &fields) == XD_OK && length == old_record.size()) {
            memcpy(bytes, old_record.data(), length);
            uint32_t at = n;
            if (dbf_write_record(h, &at, old_deleted ? DBF_WRITE_REWRITE_DELETED : DBF_WRITE_REWRITE) >= 0)
                record_written = false;
        }
        xdb_set_status(XD_OK);
    }
    if (ok && !modify && !filler) {
        xdb_set_status(XD_OK);
        XDSTATUS s = dbf_recall_record(h, n);
        xdb_set_status(XD_OK);
        if (s < 0) {
            int status = s;
            raise_error(holder, 1046, 106, 22, {description_->GetTableName()}, &status);
            // The record stays deleted: its keys go again.
            for (KeyWork& k : keys) {
                xdb_set_status(XD_OK);
                if (k.new_in) IndexDeleteKey(&k.access, k.new_key, n);
            }
            xdb_set_status(XD_OK);
            ok = 0;
        }
    }
    if (!ok && !modify && !blocks.empty() && n != 0) {
        // The record appended (deleted) names the memos: it is rewritten without
        // them first, so that no record, deleted or not, names a memo given back.
        for (BoundItem& item : binding_.Items(description_, h)) {
            if (!is_memo_type(item.type_letter)) continue;
            const uint32_t none = 0;
            xdb_set_status(XD_OK);
            dbf_put_field(h, (int16_t)item.field_index, &none);
        }
        xdb_set_status(XD_OK);
        if (dbf_write_record(h, &n, DBF_WRITE_REWRITE_DELETED) < 0) blocks.clear();  // they stay named: kept
        xdb_set_status(XD_OK);
    }
    // A modify's new memos are given back when its record was not rewritten; its
    // old memos once the record names the new ones.
    // Memos are given back the last written first (so that each is the last of
    // its file again); the last failure is the one the host sees.
    auto give_back = [&](const std::vector<uint32_t>& unnamed, bool report) {
        for (size_t i = unnamed.size(); i-- > 0;) {
            xdb_set_status(XD_OK);
            XDSTATUS s = memo_.fpt ? fpt_free(memo_.handle, unnamed[i]) : dbt_free(memo_.handle, unnamed[i]);
            xdb_set_status(XD_OK);
            int status = s;
            if (s < 0 && report) raise_error(holder, 1052, 106, 29, {}, &status);
        }
    };
    if (modify && (ok || !record_written)) give_back(ok ? old_blocks : blocks, false);
    if (!ok && !modify) give_back(blocks, true);
    WriteLockRelease(locked);
    if (!ok) return 0;
    *recno = n;
    current_record_ = n;
    binding_.Record()->SetStateWord(0);
    return 1;
}

int XbaseTable::AddRecord() {
    int64_t n = 0;
    return WriteRecord(&n, true, 0, &errors_);
}

int XbaseTable::ModifyRecord(int64_t recno) { return WriteRecord(&recno, true, kWriteAt, &errors_); }

// Beyond the end, the records between are appended from the same host record and
// marked deleted at once; then the record itself is appended.
int XbaseTable::WriteRecordAt(int64_t recno) {
    QXDB_DRIVER_ENTRY;
    int64_t count = 0;
    if (!RecordCount(&count, &errors_)) return 0;
    if (recno < 1 || recno > 0x7FFFFFFE) {
        raise_error(&errors_, 1020, 106, 22, {(long)recno});
        return 0;
    }
    if (recno <= count) return ModifyRecord(recno);
    for (int64_t n = count + 1; n < recno; n++) {
        int64_t written = 0;
        // A filler: no identifier, no keys, appended deleted and left so.
        if (!WriteRecord(&written, false, 0x0400, &errors_)) return 0;
    }
    int64_t n = 0;
    return WriteRecord(&n, true, 0, &errors_);
}

// ---- Deleting ----

// A delete changes the keys of the record from what it holds now to what it holds
// deleted: with DELETEINDEX 1 out of every index, else out of those whose
// condition leaves deleted records out.
int XbaseTable::DeleteWithKeys(int64_t recno, int lock_type, CXErrorHolder* holder) {
    QXDB_DRIVER_ENTRY;
    holder->Reset();
    if (!open_ || DataHandle() < 0 || !file_->writable || open_mode_ != 3) {
        int status = XD_READONLY;
        raise_error(holder, 1051, 106, 35, {(long)recno}, &status);
        return 0;
    }
    const uint32_t n = (uint32_t)(recno != 0 ? recno : current_record_);
    const int16_t h = DataHandle();
    // Locked as asked; tested at least: no other program may hold the record.
    if (!LockRecordFor(n, lock_type == 2 || lock_type == 3 ? lock_type : 5, holder)) return 0;
    bool locked = false;
    if (!WriteLockTake(holder, &locked)) return 0;
    // Every index of the table is opened first: one that cannot be kept in step
    // refuses the delete before anything is written.
    std::vector<KeyWork> keys;
    int ok = KeysOfTable(&keys, holder);
    XDSTATUS s = XD_OK;
    if (ok) {
        xdb_set_status(XD_OK);
        s = dbf_read_record(h, n);
        xdb_set_status(XD_OK);
        if (s != XD_OK && s != XD_DELETEDREC) {
            int status = s;
            raise_error(holder, 1015, 106, 36, {(long)n, description_->GetPhysicalPath(), status}, &status);
            ok = 0;
        }
    }
    const bool was_deleted = s == XD_DELETEDREC;
    for (KeyWork& k : keys) {
        if (!ok) break;
        ok = MakeRecordKey(k, k.old_key, &k.old_in, holder);
        // A record deleted already may hold its keys or not (DELETEINDEX): its
        // entries are looked for as if it held them.
        memcpy(k.new_key, k.old_key, kIndexKeyBuffer);
    }
    if (ok && !was_deleted) {
        dbf_set_buffer_mark(h, 1);
        for (KeyWork& k : keys) {
            if (!ok) break;
            uint8_t scratch[kIndexKeyBuffer];
            ok = MakeRecordKey(k, scratch, &k.new_in, holder);
            if (library().delete_index == 1) k.new_in = false;
        }
        dbf_set_buffer_mark(h, 0);
        xdb_set_status(XD_OK);
    } else if (ok) {
        for (KeyWork& k : keys) k.new_in = library().delete_index == 1 ? false : k.old_in;
    }
    if (ok) {
        xdb_set_status(XD_OK);
        s = dbf_delete_record(h, n);
        xdb_set_status(XD_OK);
        if (s != XD_OK && s != XD_DELETEDREC) {
            int status = s;
            raise_error(holder, 1051, 106, 35, {(long)n}, &status);
            ok = 0;
        } else if (!ApplyKeyChanges(keys, n, holder)) {
            if (!was_deleted) {
                xdb_set_status(XD_OK);
                dbf_recall_record(h, n);
                xdb_set_status(XD_OK);
            }
            if (holder->CurrentErrorId() == 1049) {
                holder->Reset();
                int status = XD_CORRUPT;
                raise_error(holder, 1025, 106, 38, {(long)n, keys.empty() ? u"" : keys[0].name, status}, &status);
            }
            ok = 0;
        }
    }
    WriteLockRelease(locked);
    if (!ok) return 0;
    current_record_ = n;
    if (IHostRecord* record = binding_.Record()) record->SetStateWord(0x40);
    return 1;
}

int XbaseTable::DeleteRecord(int64_t recno, int lock_type) { return DeleteWithKeys(recno, lock_type, &errors_); }
int XbaseTable::DeleteRecordAt(int64_t recno, int lock_type) { return DeleteWithKeys(recno, lock_type, &errors_); }

// ---- Compacting ----

namespace {

// While a compaction runs, the engine's progress goes to the host's QxdbProgress.
struct HostProgressRelay {
    HostProgressRelay() {
        if (library().progress) xdb_set_progress(&Relay, nullptr);
    }
    ~HostProgressRelay() {
        if (library().progress) xdb_set_progress(nullptr, nullptr);
    }
    static void Relay(void*, uint32_t done, uint32_t total) {
        if (HostProgress progress = library().progress) progress(done, total);
    }
};

}  // namespace

int XbaseTable::Compact(int options) {
    QXDB_DRIVER_ENTRY;
    errors_.Reset();
    HostProgressRelay relay;
    if (!description_) return refuse();
    bool opened_here = false;
    if (!open_) {
        open_mode_ = 3;
        if (!Open()) return 0;
        opened_here = true;
    }
    auto fail = [&](XDSTATUS status) {
        int s = status;
        raise_error(&errors_, 1063, 106, 50, {description_->GetTableName()}, &s);
        if (opened_here) Close();
        return 0;
    };
    // The files are replaced under their names: no other table of the process may
    // be using them (the engine refuses when another program is).
    if (!file_->writable || open_mode_ != 3 || file_->open_count > 1) return fail(XD_ACCESSDENIED);
    struct Rebuild {
        int type;
        std::string path, expression;
        uint8_t key_type;
        uint16_t key_length, decimals;
    };
    // Every index of the table's index set is built again; one that cannot be
    // refuses the compaction before anything is written.
    std::vector<KeyWork> keys;
    if (!KeysOfTable(&keys, &errors_)) return opened_here ? (Close(), 0) : 0;
    std::vector<Rebuild> rebuilds;
    std::u16string memo_path;
    for (int i = 1; i <= description_->GetItemCount(); i++) {
        auto* item = static_cast<XbaseItemDescription*>(description_->GetItem(i));
        if (!item->memo_path.empty()) memo_path = item->memo_path;
    }
    int64_t count = 0;
    RecordCount(&count, &errors_);
    for (KeyWork& k : keys) {
        const std::string path = system_name_from_wide(k.path);
        // A multi-tag file is built again whole, every tag from its own expression.
        bool listed = false;
        for (const Rebuild& r : rebuilds) listed = listed || (index_is_multitag(r.type) && r.path == path);
        if (listed) continue;
        IndexDescription d;
        xdb_set_status(XD_OK);
        XDSTATUS s = IndexDescribe(k.access.type, IndexTreeHandle(&k.access), &d);
        xdb_set_status(XD_OK);
        if (s < 0) return fail(s);
        // The expression's value tells what the keys are (an NDX holds dates as numbers).
        uint8_t type = (uint8_t)d.key_type;
        if (k.item && k.item->field && k.item->type_letter == 'D') type = 'D';
        if (count > 0 && dbf_read_record(file_->handle, 1) >= 0) {
            std::string text = d.key_expression;
            XdbKeyValue v{};
            xdb_set_status(XD_OK);
            if (!text.empty() && xdb_eval_key(file_->handle, &text[0], 0, &v) >= 0 && v.type == 'D') type = 'D';
        }
        xdb_set_status(XD_OK);
        const uint16_t length = (uint16_t)(d.key_type == 'C' ? d.key_length - 1 : d.key_length);
        rebuilds.push_back({k.access.type, path, d.key_expression, (uint8_t)(type | ((d.flags & 128) ? 0x80 : 0)), length,
                            (uint16_t)d.decimals});
    }
    CloseIndexes();
    memo_.Close();
    int16_t h = file_->handle;
    xdb_set_status(XD_OK);
    XDSTATUS s = XD_OK;
    if (options & 0x01) {
        // The table, its memo file and every index switch in together: after a
        // stop they are all old or all new.
        if (!memo_path.empty() && xdb_fexists(system_name_from_wide(memo_path).c_str()) &&
            !memo_.Use(memo_path, h, true, &errors_))
            return opened_here ? (Close(), 0) : 0;
        std::vector<CompactIndex> list;
        for (const Rebuild& r : rebuilds)
            list.push_back(CompactIndex{r.type, r.path.c_str(), r.expression.c_str(), r.key_type, r.key_length, r.decimals});
        int16_t memo = memo_.handle;
        s = table_compact(&h, &memo, memo_.fpt ? 1 : 0, list.data(), (int)list.size());
        memo_.handle = memo;
        file_->handle = h;
        xdb_set_status(XD_OK);
        memo_.Close();
        if (s < 0) return fail(s);
        if (opened_here) Close();
        return 1;
    }
    for (const Rebuild& r : rebuilds) {
        s = IndexRebuild(r.type, h, r.path.c_str(), r.expression.c_str(), r.key_type, r.key_length, r.decimals, nullptr);
        xdb_set_status(XD_OK);
        if (s < 0) return fail(s);
    }
    if (opened_here) Close();
    return 1;
}

// ---- Locks ----

namespace {

// The kind a host file-lock request takes, and the kinds that satisfy it already.
int kind_of_request(int request, uint32_t* satisfied_by) {
    switch (request) {
    case 3: *satisfied_by = 1u << 2; return 2;
    case 2: *satisfied_by = (1u << 2) | (1u << 3); return 3;
    case 4: *satisfied_by = (1u << 2) | (1u << 3) | (1u << 4); return 4;
    default: *satisfied_by = 0; return 0;
    }
}

}  // namespace

int XbaseTable::ReleaseFileLocks() {
    const int16_t h = DataHandle();
    int ok = 1;
    for (int kind : {2, 3, 4}) {
        if (!(file_->file_locks & (1u << kind))) continue;
        xdb_set_status(XD_OK);
        if (dbf_unlock_file(h, (int16_t)kind) >= 0) file_->file_locks &= ~(1u << kind);
        else ok = 0;
    }
    xdb_set_status(XD_OK);
    if (dbf_lock_record(h, DBF_RECORD_UNLOCK, 0) < 0) ok = 0;
    xdb_set_status(XD_OK);
    file_->record_locks.clear();
    return ok;
}

int XbaseTable::LockFile(int request) {
    QXDB_DRIVER_ENTRY;
    errors_.Reset();
    if (lock_mode_ == 0) return 1;
    return TakeFileLock(request, &errors_);
}

int XbaseTable::TakeFileLock(int request, CXErrorHolder* holder) {
    uint32_t satisfied_by = 0;
    const int kind = kind_of_request(request, &satisfied_by);
    if (kind == 0) return 1;
    if (!open_ || DataHandle() < 0) return refuse_operation(*holder, 30);
    if (file_->file_locks & satisfied_by) return 1;
    ReleaseFileLocks();
    xdb_set_status(XD_OK);
    XDSTATUS s = dbf_lock_file(DataHandle(), (int16_t)kind);
    xdb_set_status(XD_OK);
    if (s < 0) {
        int status = s;
        raise_error(holder, 1054, 106, 40, {description_->GetTableName()}, &status);
        return 0;
    }
    file_->file_locks |= 1u << kind;
    return 1;
}

int XbaseTable::UnlockFile() {
    QXDB_DRIVER_ENTRY;
    if (open_ && DataHandle() >= 0) ReleaseFileLocks();
    return 1;
}

int XbaseTable::FileLockState() {
    QXDB_DRIVER_ENTRY;
    if (!file_) return 0;
    if (file_->file_locks & (1u << 2)) return 3;
    if (file_->file_locks & (1u << 3)) return 2;
    return 0;
}

int XbaseTable::LockRecordFor(uint32_t n, int type, CXErrorHolder* holder) {
    if (type == 0 || lock_mode_ == 0) return 1;
    int64_t count = 0;
    if (!open_ || DataHandle() < 0 || !RecordCount(&count, holder)) {
        holder->Reset();
        raise_error(holder, 1019, 106, 41, {description_ ? description_->GetTableName() : u""});
        return 0;
    }
    if (n < 1 || n > count) {
        raise_error(holder, 1020, 106, 42, {(long)n});
        return 0;
    }
    const int16_t h = DataHandle();
    auto& locks = file_->record_locks;
    auto entry = locks.begin();
    while (entry != locks.end() && entry->recno != n) ++entry;
    if (entry == locks.end()) {
        // Not held by this table: tested like any request (an unlock too, so that
        // the caller learns another program holds the record).
        xdb_set_status(XD_OK);
        XDSTATUS s = dbf_lock_record(h, DBF_RECORD_TEST, n);
        if (s >= 0 && (type == 2 || type == 3)) s = dbf_lock_record(h, DBF_RECORD_LOCK, n);
        xdb_set_status(XD_OK);
        if (s == XD_LOCKVIOLATION) {
            raise_error(holder, 1041, 106, 43, {(long)n});
            return 0;
        }
        if (s < 0) {
            int status = s;
            raise_error(holder, 1019, 106, 44, {description_->GetTableName()}, &status);
            return 0;
        }
        if (type == 2 || type == 3) locks.push_back(RecordLock{n, this, type});
    } else if (entry->table == this) {
        if (type == 1) {
            xdb_set_status(XD_OK);
            XDSTATUS s = dbf_lock_record(h, DBF_RECORD_UNLOCK, n);
            xdb_set_status(XD_OK);
            if (s >= 0) locks.erase(entry);
            else if (s != XD_LOCKVIOLATION) {
                int status = s;
                raise_error(holder, 1022, 106, 45, {(long)n}, &status);
                return 0;
            }
        } else {
            entry->type = type;
        }
    } else {
        raise_error(holder, 1041, 106, 46, {(long)n});
        return 0;
    }
    if (IHostRecord* record = binding_.Record()) record->SetLockType(type);
    return 1;
}

void XbaseTable::ReleaseRecordLocksOfTable() {
    if (!file_ || DataHandle() < 0) return;
    auto& locks = file_->record_locks;
    for (size_t i = 0; i < locks.size();) {
        if (locks[i].table != this) {
            i++;
            continue;
        }
        xdb_set_status(XD_OK);
        dbf_lock_record(DataHandle(), DBF_RECORD_UNLOCK, locks[i].recno);
        xdb_set_status(XD_OK);
        locks.erase(locks.begin() + (long)i);
    }
}

int XbaseTable::LockOrUnlockRecord(int64_t recno, int type) {
    QXDB_DRIVER_ENTRY;
    errors_.Reset();
    if (recno < 0 || recno > 0x7FFFFFFE) {
        raise_error(&errors_, 1020, 106, 42, {(long)recno});
        return 0;
    }
    return LockRecordFor((uint32_t)recno, type, &errors_);
}

int XbaseTable::LockRecord(int64_t recno, int type) { return LockOrUnlockRecord(recno, type); }
int XbaseTable::UnlockRecord(int64_t recno) { return LockOrUnlockRecord(recno, 1); }

// ---- Key values for the host ----

int XbaseTable::GiveKeyToHost(const std::u16string& key, const KeyWork& work, const uint8_t* bytes) {
    IHostRecord* record = binding_.Record();
    if (!record) return 1;
    // Character keys keep their whole length, blanks included, as the index holds them.
    size_t length = work.access.key_type == 'C' ? work.access.key_length - 1 : work.access.key_length;
    std::string value((const char*)bytes, length);
    if (work.access.key_type == 'C')
        for (char& c : value)
            if (c == 0) c = ' ';
    for (int i = 0; i < record->GetItemCount(); i++) {
        const char16_t* name = record->GetItemName(i);
        if (!name || key != name) continue;
        const HostItemValue v = host_bytes_value(HV_BYTES, value.data(), value.size());
        record->SetItemValue(i, &v);
    }
    return 1;
}

int XbaseTable::ComputeKeyValue(const char16_t* key) {
    QXDB_DRIVER_ENTRY;
    errors_.Reset();
    const std::u16string name = key ? key : u"";
    KeyWork work;
    work.item = description_ ? description_->Find(name) : nullptr;
    if (!UseKey(name, &work.access, &errors_)) return 0;
    if (work.access.key_type == 'C') work.access.key_host_type = HV_TEXT;
    bool got = false;
    if (!ReadRecord(nullptr, current_record_ > 0 ? current_record_ : -1, true, nullptr, &got, &errors_)) return 0;
    if (!got) {
        raise_error(&errors_, 1060, 106, 90, {});
        return 0;
    }
    uint8_t bytes[kIndexKeyBuffer];
    bool included = true;  // the key's value, whether or not a condition takes the record in
    if (!MakeRecordKey(work, bytes, &included, &errors_)) return 0;
    return GiveKeyToHost(name, work, bytes);
}

int XbaseTable::BuildCompositeSearchValue(const std::u16string& key, CXErrorHolder* holder) {
    QXDB_DRIVER_ENTRY;
    holder->Reset();
    KeyWork work;
    work.item = description_ ? description_->Find(key) : nullptr;
    if (!UseKey(key, &work.access, holder)) return 0;
    if (work.access.key_type == 'C') work.access.key_host_type = HV_TEXT;
    IHostRecord* record = binding_.Record();
    if (!record || !open_ || DataHandle() < 0) return refuse_operation(*holder, 38);
    // The components' host values in an empty record, then the key's expression on it.
    const int16_t h = DataHandle();
    xdb_set_status(XD_OK);
    dbf_blank_record(h);
    for (BoundItem& item : binding_.Items(description_, h)) {
        const char16_t* item_name = record->GetItemName(item.host_index);
        bool component = work.item->field && work.item->field_index == item.field_index;
        for (IXbaseItemDescription* c : work.item->components)
            component |= item_name && std::u16string(c->GetName()) == item_name;
        HostItemValue v;
        if (!component || !record->GetItemValue(item.host_index, &v) || v.type == HV_NULL) continue;
        XDSTATUS s = put_value(h, (int16_t)item.field_index, item.type_letter, v, oem_to_ansi_);
        xdb_set_status(XD_OK);
        if (s != XD_OK && s != XD_TRUNCATED && s != XD_ROUNDED) {
            int status = s;
            raise_error(holder, 1045, 106, 91, {record->GetItemName(item.host_index)}, &status);
            return 0;
        }
    }
    uint8_t bytes[kIndexKeyBuffer];
    bool included = true;
    if (!MakeRecordKey(work, bytes, &included, holder)) return 0;
    // The record buffer held the current record: it is read again on its next use.
    return GiveKeyToHost(key, work, bytes);
}

// ---- The table context ----

XbaseTable* XbaseTableContext::TableNamed(const char16_t* name) {
    XbaseDriver* driver = library().current_driver;
    XbaseTable* table = driver && name ? driver->FindTable(name) : nullptr;
    if (!table || (!table->IsOpen() && !table->Open())) {
        raise_error(&errors_, 1005, 106, 80, {name ? name : u""});
        return nullptr;
    }
    return table;
}

int XbaseTableContext::ContextComputeKey(const char16_t* table, const char16_t* key) {
    QXDB_DRIVER_ENTRY;
    errors_.Reset();
    XbaseTable* t = TableNamed(table);
    if (!t) return 0;
    if (t->ComputeKeyValue(key)) return 1;
    raise_error(&errors_, 1048, 106, 83, {key ? key : u"", key ? key : u""});
    return 0;
}

int XbaseTableContext::ContextSearchValue(const char16_t* table, const char16_t* key) {
    QXDB_DRIVER_ENTRY;
    errors_.Reset();
    XbaseTable* t = TableNamed(table);
    return t ? t->BuildCompositeSearchValue(key ? key : u"", &errors_) : 0;
}

int XbaseTableContext::Lock(const char16_t* name, bool open_when_needed) {
    QXDB_DRIVER_ENTRY;
    errors_.Reset();
    XbaseDriver* driver = library().current_driver;
    XbaseTable* table = driver && name ? driver->FindTable(name) : nullptr;
    if (!table || !table->IsOpen()) {
        if (!open_when_needed) return 1;
        if (!(table = TableNamed(name))) return 0;
    }
    if (table->LockFile(4)) return 1;
    raise_error(&errors_, 1054, 106, 82, {name});
    return 0;
}
