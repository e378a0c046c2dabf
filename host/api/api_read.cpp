// The C interface: opening, describing and reading a table through the library,
// as a host does (a connection to the table's directory, the table, a cursor, a
// host record bound to every field).

#include <cctype>
#include <cstring>
#include <mutex>

#include "framework/codepage.h"
#include "framework/host_item_types.h"
#include "host/api/api_table.h"
#include "host/item_values.h"
#include "host/record_writer.h"

namespace {

// The record read as a JSON object, appended to *json.
void append_record_json(qxdb_table* table, std::string* json);

qxdb_type type_of_field(char letter, int host_type) {
    switch (toupper((unsigned char)letter)) {
    case 'C': return host_type == kItemBinary ? QXDB_BINARY : QXDB_TEXT;
    case 'N':
    case 'F': return QXDB_NUMBER;
    case 'I':
    case '+': return QXDB_INTEGER;
    case 'D': return QXDB_DATE;
    case 'T':
    case '@': return QXDB_DATETIME;
    case 'L': return QXDB_LOGICAL;
    case 'M': return host_type == kItemBinaryMemo ? QXDB_BINARY : QXDB_MEMO;
    case 'Y': return QXDB_CURRENCY;
    default: return QXDB_BINARY;
    }
}

bool same_name(const std::string& a, const char* b) {
    if (a.size() != strlen(b)) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (toupper((unsigned char)a[i]) != toupper((unsigned char)b[i])) return false;
    return true;
}

void describe(qxdb_table* t) {
    IXbaseTableDescription* d = t->table->GetDescription();
    for (const auto& item : t->record->Items()) {
        IXbaseItemDescription* di = d->FindItem(item.name.c_str());
        ApiField f;
        f.name = wide_to_utf8(item.name);
        if (di) {
            f.letter = (char)di->GetTypeLetter();
            f.type = type_of_field(f.letter, di->GetHostType());
            f.size = di->GetDigits() > 0 ? di->GetDigits() : di->GetSize();
            f.decimals = di->GetDecimals() > 0 ? di->GetDecimals() : 0;
            if (f.letter == 'C' || f.letter == 'c') f.size = di->GetSize();
            if (f.type == QXDB_DATE && f.letter == 'D') f.size = 8;
            if (f.type == QXDB_LOGICAL) f.size = 1;
            if (f.type == QXDB_MEMO) f.size = 0;
        }
        t->fields.push_back(f);
    }
    for (int i = 1; i <= d->GetItemCount(); i++) {
        IXbaseItemDescription* item = d->GetItem(i);
        if (!item || item->GetKeyNumber() <= 0) continue;
        ApiKey k;
        k.wide_name = item->GetName();
        k.name = wide_to_utf8(k.wide_name);
        const char16_t* expression = item->GetKeyExpression();
        k.expression = expression && *expression ? wide_to_utf8(expression) : k.name;
        k.file = item->GetIndexPath() ? wide_to_utf8(item->GetIndexPath()) : "";
        k.unique = (item->GetKeyOptions() & 0x4000) ? 1 : 0;
        k.descending = (item->GetKeyOptions() & 0x0400) ? 1 : 0;
        t->keys.push_back(k);
    }
    t->pending.assign(t->fields.size(), std::nullopt);
    t->pending_blank.assign(t->fields.size(), false);
    t->texts.assign(t->fields.size(), std::string());
}

// The filters' engine is this library's own, used by one thread at a time.
std::mutex g_filters;

void close_table(qxdb_table* t) {
    if (t->filter) {
        std::lock_guard<std::mutex> lock(g_filters);
        t->filter.reset();
    }
    if (t->table && t->table->IsOpen()) t->table->UnlockFile();
    if (t->cursor) t->cursor->Release();
    if (t->table) t->table->Release();
    if (t->record) t->record->Release();
    if (t->connection) t->connection->Release();
    delete t;
}

qxdb_status open_table(const std::string& directory, const std::string& name, int flags, qxdb_table** out) {
    *out = nullptr;
    if ((flags & ~(QXDB_WRITE | QXDB_HOST_TEXT)) != 0) return api_fail(QXDB_INVALID, "unknown open flags");
    IXbaseDriver* driver = api_driver();
    if (!driver) return QXDB_NO_LIBRARY;
    auto* t = new qxdb_table();
    const std::u16string source = utf8_to_wide(directory.empty() ? "." : directory);
    HostConnectionDescription cd{u"qxdb", source.c_str(), u""};
    t->connection = driver->CreateConnection(&cd);
    if (!t->connection || !t->connection->Open()) {
        qxdb_status s = api_fail_holder("cannot open the directory " + directory,
                                        t->connection ? t->connection->GetErrorHolder() : driver->GetErrorHolder());
        close_table(t);
        return s;
    }
    const std::u16string wname = utf8_to_wide(name);
    t->table = driver->OpenTableByName(t->connection, wname.c_str());
    if (!t->table) {
        qxdb_status s = api_fail(QXDB_NOT_FOUND, "cannot open " + name, driver->GetErrorHolder());
        close_table(t);
        return s;
    }
    t->path = wide_to_utf8(t->table->GetDescription()->GetPhysicalPath());
    t->text_page = (flags & QXDB_HOST_TEXT) ? 0 : code_page_of_table_file(t->path);
    t->table->SetOpenMode((flags & QXDB_WRITE) ? 3 : 0);
    if (!t->table->Open()) {
        qxdb_status s = api_fail_holder("cannot open " + name, t->table->GetErrorHolder());
        close_table(t);
        return s;
    }
    t->record = new HostRecordObject();
    t->record->BindFields(t->table->GetDescription(), t->text_page);
    t->table->AttachHostRecord(t->record);
    t->cursor = driver->CreateCursor(t->table);
    describe(t);
    *out = t;
    return QXDB_OK;
}

bool usable(qxdb_table* t) {
    if (t) return true;
    api_fail(QXDB_INVALID, "no table (null)");
    return false;
}

// Starts a walk: in record order, or by a key (within bounds when given).
qxdb_status start_walk(qxdb_table* t, const char* key, int start, const char* from, const char* to) {
    if (!usable(t)) return QXDB_INVALID;
    t->have_record = false;
    t->walk_key = nullptr;
    if (!key || !*key) return api_after_read(t, t->cursor->Browse(nullptr, start, 0), "cannot read the table");
    const ApiKey* k = api_find_key(t, key);
    if (!k) return QXDB_INVALID;
    std::string from_bytes, to_bytes;
    HostItemValue from_value, to_value;
    if (from && !api_value(t, k->name, from, &from_bytes, &from_value)) return QXDB_INVALID;
    if (to && !api_value(t, k->name, to, &to_bytes, &to_value)) return QXDB_INVALID;
    t->walk_key = k;
    return api_after_read(t,
                          t->cursor->BrowseRange(k->wide_name.c_str(), start, from ? &from_value : nullptr,
                                                 to ? &to_value : nullptr, 0),
                          "cannot walk the key " + k->name);
}

qxdb_status step(qxdb_table* t, int mode) {
    if (!usable(t)) return QXDB_INVALID;
    t->have_record = false;
    return api_after_read(t, t->cursor->Browse(t->walk_key ? t->walk_key->wide_name.c_str() : nullptr, mode, 0),
                          "cannot read the next record");
}

// Whether the record read meets the table's condition; OK, or the reason it
// cannot be told.
qxdb_status meets_condition(qxdb_table* t, bool* meets) {
    std::lock_guard<std::mutex> lock(g_filters);
    const int taken = t->filter->TakesRecord((uint32_t)t->cursor->GetRecordNumber());
    if (taken < 0) return api_fail(QXDB_REFUSED, t->filter->Error());
    *meets = taken == 1;
    return QXDB_OK;
}

// A walk's read, then its steps in the same direction past the records the
// condition leaves out.
qxdb_status filtered(qxdb_table* t, qxdb_status s, int mode) {
    while (s == QXDB_OK && t->filter) {
        bool meets = false;
        if (qxdb_status f = meets_condition(t, &meets)) return f;
        if (meets) break;
        s = step(t, mode);
    }
    return s;
}

bool field_ok(qxdb_table* t, int field) {
    if (!usable(t)) return false;
    if (field < 0 || (size_t)field >= t->fields.size()) {
        api_fail(QXDB_INVALID, "no field " + std::to_string(field) + ": the table has " +
                                     std::to_string(t->fields.size()));
        return false;
    }
    return true;
}

}  // namespace

const ApiKey* api_find_key(qxdb_table* t, const char* name) {
    for (const ApiKey& k : t->keys)
        if (same_name(k.name, name)) return &k;
    api_fail(QXDB_INVALID, std::string("no key ") + name + " in the table");
    return nullptr;
}

bool api_value(qxdb_table* t, const std::string& item, const char* text, std::string* storage, HostItemValue* out) {
    std::string why;
    if (item_value_from_text(t->table->GetDescription(), item, text, storage, out, t->text_page, &why)) return true;
    api_fail(QXDB_INVALID, why);
    return false;
}

qxdb_status api_after_read(qxdb_table* t, int ok, const std::string& what) {
    if (!ok) return api_fail_holder(what, t->cursor->GetErrorHolder());
    if (t->cursor->IsEndOfData()) return QXDB_END;
    t->have_record = true;
    return QXDB_OK;
}

extern "C" {

QXDB_API qxdb_status qxdb_open(const char* path, int flags, qxdb_table** table) {
    if (!table) return api_fail(QXDB_INVALID, "no place for the table (null)");
    *table = nullptr;
    if (!path || !*path) return api_fail(QXDB_INVALID, "no path");
    const std::string p(path);
    const size_t cut = p.find_last_of("/\\");
    if (cut == std::string::npos) return open_table(".", p, flags, table);
    return open_table(cut == 0 ? "/" : p.substr(0, cut), p.substr(cut + 1), flags, table);
}

QXDB_API qxdb_status qxdb_open_in(const char* directory, const char* name, int flags, qxdb_table** table) {
    if (!table) return api_fail(QXDB_INVALID, "no place for the table (null)");
    *table = nullptr;
    if (!directory || !name || !*name) return api_fail(QXDB_INVALID, "no directory or no table name");
    return open_table(directory, name, flags, table);
}

QXDB_API void qxdb_close(qxdb_table* table) {
    if (table) close_table(table);
}

QXDB_API int qxdb_field_count(qxdb_table* table) { return table ? (int)table->fields.size() : 0; }

QXDB_API qxdb_status qxdb_field(qxdb_table* table, int field, qxdb_field_info* info) {
    if (!field_ok(table, field)) return QXDB_INVALID;
    if (!info) return api_fail(QXDB_INVALID, "no place for the field's description (null)");
    const ApiField& f = table->fields[(size_t)field];
    *info = qxdb_field_info{f.name.c_str(), f.type, f.letter, f.size, f.decimals};
    return QXDB_OK;
}

QXDB_API int qxdb_field_index(qxdb_table* table, const char* name) {
    if (!table || !name) return -1;
    for (size_t i = 0; i < table->fields.size(); i++)
        if (same_name(table->fields[i].name, name)) return (int)i;
    return -1;
}

QXDB_API int qxdb_key_count(qxdb_table* table) { return table ? (int)table->keys.size() : 0; }

QXDB_API qxdb_status qxdb_key(qxdb_table* table, int key, qxdb_key_info* info) {
    if (!usable(table)) return QXDB_INVALID;
    if (key < 0 || (size_t)key >= table->keys.size())
        return api_fail(QXDB_INVALID, "no key " + std::to_string(key) + ": the table has " +
                                            std::to_string(table->keys.size()));
    if (!info) return api_fail(QXDB_INVALID, "no place for the key's description (null)");
    const ApiKey& k = table->keys[(size_t)key];
    *info = qxdb_key_info{k.name.c_str(), k.expression.c_str(), k.file.c_str(), k.unique, k.descending};
    return QXDB_OK;
}

QXDB_API const char* qxdb_path(qxdb_table* table) { return table ? table->path.c_str() : ""; }

QXDB_API qxdb_status qxdb_first(qxdb_table* table, const char* key) {
    return filtered(table, start_walk(table, key, kBrowseFirst, nullptr, nullptr), kBrowseNext);
}
QXDB_API qxdb_status qxdb_last(qxdb_table* table, const char* key) {
    return filtered(table, start_walk(table, key, kBrowseLast, nullptr, nullptr), kBrowsePrevious);
}
QXDB_API qxdb_status qxdb_next(qxdb_table* table) { return filtered(table, step(table, kBrowseNext), kBrowseNext); }
QXDB_API qxdb_status qxdb_prev(qxdb_table* table) {
    return filtered(table, step(table, kBrowsePrevious), kBrowsePrevious);
}

QXDB_API qxdb_status qxdb_range(qxdb_table* table, const char* key, const char* from, const char* to) {
    if (!key || !*key) return api_fail(QXDB_INVALID, "a range needs a key");
    return filtered(table, start_walk(table, key, kBrowseFirst, from, to), kBrowseNext);
}

QXDB_API qxdb_status qxdb_filter(qxdb_table* table, const char* condition) {
    if (!usable(table)) return QXDB_INVALID;
    std::lock_guard<std::mutex> lock(g_filters);
    table->filter.reset();
    if (!condition || !*condition) return QXDB_OK;
    auto filter = std::make_unique<WhereFilter>();
    std::string why;
    if (filter->Start(condition, -1, table->path, 0, &why))
        return api_fail(QXDB_INVALID, why);
    table->filter = std::move(filter);
    return QXDB_OK;
}

QXDB_API qxdb_status qxdb_seek(qxdb_table* table, const char* key, const char* value, int prefix) {
    if (!usable(table)) return QXDB_INVALID;
    if (!key || !value) return api_fail(QXDB_INVALID, "a seek needs a key and a value");
    table->have_record = false;
    const ApiKey* k = api_find_key(table, key);
    if (!k) return QXDB_INVALID;
    std::string bytes;
    HostItemValue v;
    if (!api_value(table, k->name, value, &bytes, &v)) return QXDB_INVALID;
    table->walk_key = k;
    int outcome = kSearchNotFound;
    if (!table->cursor->Search(k->wide_name.c_str(), &v, prefix ? kSearchGeneric : 0, &outcome))
        return api_fail_holder("the search in " + k->name + " failed", table->cursor->GetErrorHolder());
    if (outcome != kSearchFound) return api_fail(QXDB_NOT_FOUND, std::string(value) + " not found in " + k->name);
    table->have_record = true;
    return QXDB_OK;
}

QXDB_API qxdb_status qxdb_goto(qxdb_table* table, int64_t recno) {
    if (!usable(table)) return QXDB_INVALID;
    table->have_record = false;
    table->walk_key = nullptr;
    int64_t count = 0;
    if (!table->table->CountRecords(&count))
        return api_fail_holder("cannot count the records", table->table->GetErrorHolder());
    if (recno < 1 || recno > count)
        return api_fail(QXDB_NOT_FOUND, "no record " + std::to_string(recno) + ": the table holds " +
                                            std::to_string(count));
    int deleted = 0;
    if (!table->cursor->Read(recno, 0, &deleted))
        return api_fail_holder("cannot read record " + std::to_string(recno), table->cursor->GetErrorHolder());
    table->have_record = true;
    return QXDB_OK;
}

QXDB_API qxdb_status qxdb_count(qxdb_table* table, const char* key, const char* from, const char* to,
                                int64_t* count) {
    if (!usable(table)) return QXDB_INVALID;
    if (!count) return api_fail(QXDB_INVALID, "no place for the count (null)");
    *count = 0;
    if (!key || !*key) {
        if (from || to) return api_fail(QXDB_INVALID, "bounds need a key");
        if (!table->cursor->Count(count, kCountAll))
            return api_fail_holder("cannot count the records", table->cursor->GetErrorHolder());
        return QXDB_OK;
    }
    // The count walks the key: the walk in progress is left.
    const qxdb_status s = start_walk(table, key, kBrowseFirst, from, to);
    if (s == QXDB_END) return QXDB_OK;
    if (s != QXDB_OK) return s;
    if (!table->cursor->Count(count, kCountRange))
        return api_fail_holder("cannot count the keys of " + std::string(key), table->cursor->GetErrorHolder());
    return QXDB_OK;
}

QXDB_API int64_t qxdb_recno(qxdb_table* table) {
    if (!table || !table->have_record) return 0;
    const int64_t n = table->cursor->GetRecordNumber();
    return n < 0 ? 0 : n;
}

QXDB_API int qxdb_deleted(qxdb_table* table) {
    return table && table->have_record && (table->record->GetStateWord() & 0x40) ? 1 : 0;
}

QXDB_API const char* qxdb_value(qxdb_table* table, int field) {
    if (!field_ok(table, field)) return nullptr;
    if (!table->have_record) {
        api_fail(QXDB_NOT_FOUND, "no record has been read");
        return nullptr;
    }
    const Cell c = cell_of_item(table->record->Items()[(size_t)field]);
    switch (c.kind) {
    case Cell::kNull: return nullptr;
    case Cell::kBool: table->texts[(size_t)field].assign(1, c.flag ? 'T' : 'F'); break;
    default: table->texts[(size_t)field] = c.text; break;
    }
    return table->texts[(size_t)field].c_str();
}

QXDB_API const char* qxdb_record_json(qxdb_table* table) {
    if (!usable(table)) return nullptr;
    if (!table->have_record) {
        api_fail(QXDB_NOT_FOUND, "no record has been read");
        return nullptr;
    }
    table->json.clear();
    append_record_json(table, &table->json);
    return table->json.c_str();
}

QXDB_API qxdb_status qxdb_read_json(qxdb_table* table, int max, const char** json, int* count, int64_t* recnos,
                                    int* deleted) {
    if (!usable(table)) return QXDB_INVALID;
    if (!json || !count || max < 1) return api_fail(QXDB_INVALID, "qxdb_read_json needs max >= 1, json and count");
    std::string& out = table->json;
    out.assign(1, '[');
    *count = 0;
    qxdb_status s = table->have_record ? QXDB_OK : QXDB_END;
    while (s == QXDB_OK && *count < max) {
        if (*count) out += ',';
        append_record_json(table, &out);
        if (recnos) recnos[*count] = qxdb_recno(table);
        if (deleted) deleted[*count] = qxdb_deleted(table);
        ++*count;
        s = qxdb_next(table);
    }
    out += ']';
    *json = out.c_str();
    return s;
}

}  // extern "C"

namespace {

void append_record_json(qxdb_table* table, std::string* json) {
    std::string& out = *json;
    out += '{';
    const auto& items = table->record->Items();
    for (size_t i = 0; i < items.size(); i++) {
        if (i) out += ',';
        append_json_string(out, table->fields[i].name);
        out += ':';
        append_json_cell(out, cell_of_item(items[i]));
    }
    out += '}';
}

}  // namespace
