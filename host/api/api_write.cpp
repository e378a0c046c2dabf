// The C interface: creating a table and writing through the library, with every
// index of the table and its memo file kept in step by the library's own writes,
// and the record and file locks other programs expect.

#include <cstring>

#include "framework/codepage.h"
#include "framework/host_item_types.h"
#include "host/api/api_table.h"
#include "host/lock_wait.h"

namespace {

bool writable_table(qxdb_table* t) {
    if (!t) {
        api_fail(QXDB_INVALID, "no table (null)");
        return false;
    }
    return true;
}

// Puts the values set into the host record: for an append every item (those not
// set blank), for an update only those set. False after a failure.
bool fill_record(qxdb_table* t, bool every_item, std::vector<std::string>* storage) {
    HostRecordObject* record = t->record;
    storage->assign(t->fields.size(), std::string());
    for (size_t i = 0; i < t->fields.size(); i++) {
        const bool set = i < t->pending.size() && t->pending[i].has_value();
        const bool blank = i < t->pending_blank.size() && t->pending_blank[i];
        if (!set && !blank) {
            if (every_item) record->Set((int)i, HostItemValue{});
            continue;
        }
        if (blank) {
            record->Set((int)i, HostItemValue{});
            continue;
        }
        HostItemValue v;
        if (!api_value(t, t->fields[i].name, t->pending[i]->c_str(), &(*storage)[i], &v)) return false;
        record->Set((int)i, v);
    }
    return true;
}

void clear_pending(qxdb_table* t) {
    t->pending.assign(t->fields.size(), std::nullopt);
    t->pending_blank.assign(t->fields.size(), false);
}

int host_type_of(qxdb_type type) {
    switch (type) {
    case QXDB_TEXT: return kItemText;
    case QXDB_NUMBER: return kItemReal8;
    case QXDB_INTEGER: return kItemInt32;
    case QXDB_DATE: return kItemDate;
    case QXDB_DATETIME: return kItemDateTime;
    case QXDB_LOGICAL: return kItemBoolean;
    case QXDB_MEMO: return kItemTextMemo;
    case QXDB_BINARY: return kItemBinaryMemo;
    case QXDB_CURRENCY: return kItemCurrency;
    }
    return -1;
}

qxdb_status locked_write(qxdb_table* t, int64_t recno, const char* what, bool (*write)(qxdb_table*, int64_t)) {
    IXbaseTable* table = t->table;
    const bool held = t->caller_locks.count(recno) > 0 || table->FileLockState() != 0;
    if (!held && !table->LockRecord(recno, 2))
        return api_fail_holder(std::string(what) + " record " + std::to_string(recno), table->GetErrorHolder());
    const bool ok = write(t, recno);
    if (!held) table->UnlockRecord(recno);
    return ok ? QXDB_OK : QXDB_REFUSED;
}

qxdb_status check_record(qxdb_table* t, int64_t recno) {
    int64_t count = 0;
    if (!t->table->CountRecords(&count)) return api_fail_holder("cannot count the records", t->table->GetErrorHolder());
    if (recno < 1 || recno > count)
        return api_fail(QXDB_NOT_FOUND, "no record " + std::to_string(recno) + ": the table holds " +
                                            std::to_string(count));
    return QXDB_OK;
}

// The record is read under its lock, then rewritten with the values set: the
// fields not set keep what the record holds at the change. Rewriting a deleted
// record makes it live again (a recall is an update that sets nothing).
bool rewrite(qxdb_table* t, int64_t recno) {
    int deleted = 0;
    t->have_record = false;
    if (!t->cursor->Read(recno, 0, &deleted)) {
        api_fail_holder("cannot read record " + std::to_string(recno), t->cursor->GetErrorHolder());
        return false;
    }
    std::vector<std::string> storage;
    if (!fill_record(t, false, &storage)) return false;
    if (!t->table->ModifyRecord(recno)) {
        api_fail_holder("record " + std::to_string(recno) + " was not changed", t->table->GetErrorHolder());
        return false;
    }
    t->have_record = true;
    return true;
}

qxdb_status progress_call(qxdb_table* t, int options, qxdb_progress progress, void* context, const char* what) {
    if (!writable_table(t)) return QXDB_INVALID;
    t->have_record = false;
    api_set_progress(progress, context);
    const int ok = t->table->Compact(options);
    api_set_progress(nullptr, nullptr);
    if (!ok) return api_fail_holder(what, t->table->GetErrorHolder());
    return QXDB_OK;
}

}  // namespace

extern "C" {

QXDB_API qxdb_status qxdb_create(const char* directory, const char* name, int format, const qxdb_field_def* fields,
                                 int field_count, const qxdb_key_def* keys, int key_count) {
    if (!directory || !name || !*name) return api_fail(QXDB_INVALID, "no directory or no table name");
    if (format < 1 || format > 6) return api_fail(QXDB_INVALID, "format " + std::to_string(format) + " is none of 1 to 6");
    if (field_count < 1 || !fields) return api_fail(QXDB_INVALID, "a table needs at least one field");
    if (key_count < 0 || (key_count > 0 && !keys)) return api_fail(QXDB_INVALID, "keys counted but not given");
    IXbaseDriver* driver = api_driver();
    if (!driver) return QXDB_NO_LIBRARY;
    const std::u16string source = utf8_to_wide(*directory ? directory : ".");
    HostConnectionDescription cd{u"qxdb", source.c_str(), u""};
    IXbaseConnection* connection = driver->CreateConnection(&cd);
    IXbaseTableDescription* d = driver->CreateTableDescription();
    IXbaseTable* table = nullptr;
    qxdb_status status = QXDB_OK;
    std::vector<char16_t> path(4096);
    const std::u16string wname = utf8_to_wide(name);
    if (!connection->Open() || !connection->ResolveTablePath(wname.c_str(), u".dbf", path.data(), (uint32_t)path.size(),
                                                             connection->GetErrorHolder())) {
        status = api_fail_holder(std::string("cannot place ") + name, connection->GetErrorHolder());
    } else if (FILE* existing = fopen(wide_to_utf8(path.data()).c_str(), "rb")) {
        fclose(existing);
        status = api_fail(QXDB_INVALID, wide_to_utf8(path.data()) + " exists already");
    } else {
        d->SetPhysicalPath(path.data());
        d->SetHostFormatCode(format);
        d->SetCreationOptions(kCreateStrictNames);
        for (int i = 0; i < field_count && status == QXDB_OK; i++) {
            const qxdb_field_def& f = fields[i];
            const int type = host_type_of(f.type);
            if (!f.name || type < 0) {
                status = api_fail(QXDB_INVALID, "field " + std::to_string(i) + " has no name or no known type");
                break;
            }
            const bool number = f.type == QXDB_NUMBER || f.type == QXDB_INTEGER || f.type == QXDB_CURRENCY;
            const std::u16string wfield = utf8_to_wide(f.name);
            if (!d->AddField(wfield.c_str(), type, f.size, number && f.size > 0 ? f.size : -1,
                             number && f.size > 0 ? f.decimals : -1))
                status = api_fail_holder(std::string("cannot add the field ") + f.name, d->GetErrorHolder());
        }
        for (int i = 0; i < key_count && status == QXDB_OK; i++) {
            const qxdb_key_def& k = keys[i];
            if (!k.name || !k.expression || !k.file) {
                status = api_fail(QXDB_INVALID, "key " + std::to_string(i) + " lacks a name, expression or file");
                break;
            }
            const std::u16string kn = utf8_to_wide(k.name), ke = utf8_to_wide(k.expression), kf = utf8_to_wide(k.file);
            if (!d->AddKey(kn.c_str(), ke.c_str(), kf.c_str(), 0x0800 | 0x2000))
                status = api_fail_holder(std::string("cannot declare the key ") + k.name, d->GetErrorHolder());
        }
        if (status == QXDB_OK) {
            table = driver->CreateTable();
            if (!table->SetTableDescription(d) || !table->CreateFiles())
                status = api_fail_holder(std::string("cannot create ") + name, table->GetErrorHolder());
        }
    }
    if (table) table->Release();
    d->Release();
    connection->Release();
    return status;
}

QXDB_API qxdb_status qxdb_set(qxdb_table* table, const char* field, const char* value) {
    if (!writable_table(table)) return QXDB_INVALID;
    if (!field) return api_fail(QXDB_INVALID, "no field named (null)");
    const int i = qxdb_field_index(table, field);
    if (i < 0) return api_fail(QXDB_INVALID, std::string("no field ") + field + " in the table");
    if (table->pending.size() != table->fields.size()) clear_pending(table);
    // The value is checked now, so that a wrong one is refused where it is given.
    if (value) {
        std::string storage;
        HostItemValue v;
        if (!api_value(table, table->fields[(size_t)i].name, value, &storage, &v)) return QXDB_INVALID;
    }
    table->pending[(size_t)i] = value ? std::optional<std::string>(value) : std::nullopt;
    table->pending_blank[(size_t)i] = value == nullptr;
    return QXDB_OK;
}

QXDB_API void qxdb_clear(qxdb_table* table) {
    if (table) clear_pending(table);
}

QXDB_API qxdb_status qxdb_append(qxdb_table* table, int64_t* recno) {
    if (!writable_table(table)) return QXDB_INVALID;
    if (recno) *recno = 0;
    std::vector<std::string> storage;
    table->have_record = false;
    if (!fill_record(table, true, &storage)) return QXDB_INVALID;
    if (!table->table->AddRecord()) return api_fail_holder("the record was not added", table->table->GetErrorHolder());
    clear_pending(table);
    int64_t n = 0;
    if (recno && table->table->CurrentRecordNumber(&n)) *recno = n;
    return QXDB_OK;
}

QXDB_API qxdb_status qxdb_update(qxdb_table* table, int64_t recno) {
    if (!writable_table(table)) return QXDB_INVALID;
    if (qxdb_status s = check_record(table, recno)) return s;
    const qxdb_status s = locked_write(table, recno, "cannot lock", rewrite);
    if (s == QXDB_OK) clear_pending(table);
    return s;
}

QXDB_API qxdb_status qxdb_delete(qxdb_table* table, int64_t recno) {
    if (!writable_table(table)) return QXDB_INVALID;
    if (qxdb_status s = check_record(table, recno)) return s;
    table->have_record = false;
    // Locked for the delete and released after, unless the caller holds it.
    const bool held = table->caller_locks.count(recno) > 0;
    if (!table->table->DeleteRecord(recno, held ? 2 : 5))
        return api_fail_holder("record " + std::to_string(recno) + " was not deleted", table->table->GetErrorHolder());
    return QXDB_OK;
}

QXDB_API qxdb_status qxdb_recall(qxdb_table* table, int64_t recno) {
    if (!writable_table(table)) return QXDB_INVALID;
    if (qxdb_status s = check_record(table, recno)) return s;
    // Nothing set: the rewrite only makes the record live (its keys back in).
    std::vector<std::optional<std::string>> pending;
    std::vector<bool> blank;
    pending.swap(table->pending);
    blank.swap(table->pending_blank);
    clear_pending(table);
    const qxdb_status s = locked_write(table, recno, "cannot lock", rewrite);
    table->pending.swap(pending);
    table->pending_blank.swap(blank);
    return s;
}

QXDB_API qxdb_status qxdb_lock_record(qxdb_table* table, int64_t recno, double wait_seconds) {
    if (!writable_table(table)) return QXDB_INVALID;
    if (qxdb_status s = check_record(table, recno)) return s;
    IXbaseTable* t = table->table;
    if (!retry_while_locked_for(t->GetErrorHolder(), wait_seconds < 0 ? 0 : wait_seconds,
                                [&] { return t->LockRecord(recno, 2); }))
        return api_fail_holder("cannot lock record " + std::to_string(recno), t->GetErrorHolder());
    table->caller_locks.insert(recno);
    return QXDB_OK;
}

QXDB_API qxdb_status qxdb_unlock_record(qxdb_table* table, int64_t recno) {
    if (!writable_table(table)) return QXDB_INVALID;
    table->caller_locks.erase(recno);
    if (!table->table->UnlockRecord(recno))
        return api_fail_holder("cannot unlock record " + std::to_string(recno), table->table->GetErrorHolder());
    return QXDB_OK;
}

QXDB_API qxdb_status qxdb_lock_table(qxdb_table* table, double wait_seconds) {
    if (!writable_table(table)) return QXDB_INVALID;
    IXbaseTable* t = table->table;
    if (!retry_while_locked_for(t->GetErrorHolder(), wait_seconds < 0 ? 0 : wait_seconds,
                                [&] { return t->LockFile(2); }))
        return api_fail_holder("cannot lock the table", t->GetErrorHolder());
    return QXDB_OK;
}

QXDB_API qxdb_status qxdb_unlock_table(qxdb_table* table) {
    if (!writable_table(table)) return QXDB_INVALID;
    table->caller_locks.clear();
    table->table->UnlockFile();
    return QXDB_OK;
}

QXDB_API qxdb_status qxdb_pack(qxdb_table* table, qxdb_progress progress, void* context) {
    return progress_call(table, 1, progress, context, "cannot pack the table");
}

QXDB_API qxdb_status qxdb_reindex(qxdb_table* table, qxdb_progress progress, void* context) {
    return progress_call(table, 0, progress, context, "cannot build the indexes again");
}

}  // extern "C"
