// The current record into the host record (see record_reading.h).

#include "driver/record_reading.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "driver/paths.h"
#include "driver/xbase_objects.h"
#include "engine/core/codepage.h"
#include "engine/core/engine.h"
#include "engine/memo/memo.h"
#include "framework/error.h"
#include "framework/host_item_types.h"
#include "framework/value_conversion.h"

namespace {

bool is_memo_type(char t) { return t == 'M' || t == 'G' || t == 'P' || t == 'W'; }

// Text read from the file, in the host's character set. Bytes below 0x80 are the
// same in both sets: text made only of them is used where it lies; other text is
// converted in `copy`.
HostItemValue oem_form(std::string& copy, const char* text, size_t length, bool oem_to_ansi) {
    size_t i = 0;
    while (i < length && (unsigned char)text[i] < 0x80) i++;
    if (i == length) return host_bytes_value(HV_TEXT, text, length);
    copy.assign(text, length);
    xdb_oem_to_ansi(copy.data(), copy.size(), oem_to_ansi ? 1 : 0);
    return host_bytes_value(HV_TEXT, copy.data(), copy.size());
}

// The exact amount of ten-thousandths as decimal text, without trailing zeros.
void currency_text(std::string& out, int64_t amount) {
    char b[32];
    uint64_t magnitude = amount < 0 ? (uint64_t)0 - (uint64_t)amount : (uint64_t)amount;
    snprintf(b, sizeof b, "%s%" PRIu64 ".%04u", amount < 0 ? "-" : "", magnitude / 10000, (unsigned)(magnitude % 10000));
    out = b;
    while (out.back() == '0') out.pop_back();
    if (out.back() == '.') out.pop_back();
}

void datetime_text(std::string& out, const DbfDateTime& t) {
    // Each part within its range, so that the text is always 17 digits.
    char b[40];
    snprintf(b, sizeof b, "%04u%02u%02u%02u%02u%02u%03u", (unsigned)t.year % 10000, (unsigned)t.month % 100,
             (unsigned)t.day % 100, (unsigned)t.hour % 100, (unsigned)t.minute % 100, (unsigned)t.second % 100,
             (unsigned)t.millisecond % 1000);
    out.assign(b, 17);
}

}  // namespace

void MemoReader::Close() {
    if (handle >= 0) {
        xdb_set_status(XD_OK);
        if (fpt) fpt_close(handle);
        else dbt_close(handle);
        xdb_set_status(XD_OK);
    }
    handle = -1;
    writable = false;
    path.clear();
}

int MemoReader::Use(const std::u16string& file, int16_t data_handle, bool writing, CXErrorHolder* holder) {
    if (handle >= 0 && path == file && (writable || !writing)) return 1;
    Close();
    const std::string name = system_name_from_wide(file);
    if (writing && !xdb_fexists(name.c_str())) {
        raise_error(holder, 1032, 106, 9, {file});
        return 0;
    }
    const size_t dot = name.find_last_of('.');
    fpt = dot != std::string::npos && (name.compare(dot, 4, ".fpt") == 0 || name.compare(dot, 4, ".FPT") == 0);
    int16_t h = -1;
    // A dBASE IV table (version byte 0x8B) keeps its memos in the dBASE IV layout.
    DbfHeaderInfo info{};
    xdb_set_status(XD_OK);
    dbf_header_info(data_handle, &info);
    xdb_set_status(XD_OK);
    const uint16_t mode = (uint16_t)(XDB_OPEN_SHORTHAND | (writing ? 0 : XDB_OPEN_READONLY));
    XDSTATUS s = fpt ? fpt_open(&h, name.c_str(), mode) : dbt_open(&h, name.c_str(), (uint16_t)(mode | (info.version == 0x8B ? 2 : 1)));
    xdb_set_status(XD_OK);
    if (s < 0) {
        int status = s;
        raise_error(holder, writing ? 1001 : 1019, 106, 4, {file}, &status);
        return 0;
    }
    handle = h;
    path = file;
    writable = writing;
    return 1;
}

HostBinding::~HostBinding() { Attach(nullptr); }

std::vector<BoundItem>& HostBinding::Items(XbaseTableDescription* description, int16_t data_handle) {
    if (record_ && (bound_to_ != description || bound_generation_ != description->Generation() ||
                    layout_ != record_->GetLayoutVersion()))
        Bind(description, data_handle);
    return items_;
}

void HostBinding::Attach(IHostRecord* record) {
    if (record) record->AddRef();
    if (record_) record_->Release();
    record_ = record;
    bound_to_ = nullptr;
    items_.clear();
}

void HostBinding::Bind(XbaseTableDescription* description, int16_t data_handle) {
    items_.clear();
    uint16_t fields = 0;
    xdb_set_status(XD_OK);
    dbf_field_count(data_handle, &fields);
    xdb_set_status(XD_OK);
    uint16_t needed = 0;
    const int n = record_->GetItemCount();
    for (int i = 0; i < n; i++) {
        const char16_t* name = record_->GetItemName(i);
        XbaseItemDescription* item = name ? description->Find(name) : nullptr;
        if (!item || !item->field || item->field_index < 0 || item->field_index >= fields) continue;
        if (item->field_index + 1 > needed) needed = (uint16_t)(item->field_index + 1);
        BoundItem b;
        b.host_index = i;
        b.field_index = item->field_index;
        b.type_letter = item->type_letter;
        b.item_type = record_->GetItemType(i);
        b.item_size = record_->GetItemSize(i);
        b.memo_path = item->memo_path;
        items_.push_back(std::move(b));
    }
    // Only the fields up to the last bound one are converted.
    values_.assign(needed, DbfValue{});
    bound_to_ = description;
    bound_generation_ = description->Generation();
    layout_ = record_->GetLayoutVersion();
}

int HostBinding::ReadMemo(BoundItem& item, int16_t data_handle, uint32_t block, uint32_t recno, bool oem_to_ansi,
                          MemoReader* memo, HostItemValue* form, CXErrorHolder* holder) {
    const bool binary = item.item_type == kItemBinaryMemo || item.item_type == kItemBinary;
    if (block == 0) {  // no block: an empty memo
        *form = host_bytes_value(binary ? HV_BYTES : HV_TEXT, "", 0);
        return 1;
    }
    if (item.memo_path.empty()) {
        raise_error(holder, 1019, 106, 3, {u"(memo)"});
        return 0;
    }
    if (!memo->Use(item.memo_path, data_handle, false, holder)) return 0;
    const char* text = nullptr;
    uint32_t length = 0;
    xdb_set_status(XD_OK);
    XDSTATUS s = memo->fpt ? fpt_read(memo->handle, block, &text, &length) : dbt_read(memo->handle, block, &text, &length);
    xdb_set_status(XD_OK);
    if (s < 0) {
        int status = s;
        raise_error(holder, 1040, 106, 5, {(long)recno, item.memo_path}, &status);
        return 0;
    }
    if (binary) {
        item.text.assign(text, length);
        *form = host_bytes_value(HV_BYTES, item.text.data(), item.text.size());
    } else {
        *form = oem_form(item.text, text, length, oem_to_ansi);
    }
    return 1;
}

int HostBinding::Fill(XbaseTableDescription* description, int16_t data_handle, uint32_t recno, bool oem_to_ansi,
                      MemoReader* memo, CXErrorHolder* holder) {
    if (!record_) return 1;  // nothing bound: the read itself is all
    if (bound_to_ != description || bound_generation_ != description->Generation() ||
        layout_ != record_->GetLayoutVersion())
        Bind(description, data_handle);
    // Numbers and dates are taken from their stored text.
    xdb_set_status(XD_OK);
    XDSTATUS s = dbf_get_record_forms(data_handle, values_.data(), (uint16_t)values_.size());
    xdb_set_status(XD_OK);
    if (s < 0) {
        int status = s;
        raise_error(holder, 1015, 106, 6, {(long)recno, description->GetPhysicalPath(), status}, &status);
        return 0;
    }
    for (BoundItem& item : items_) {
        const DbfValue& v = values_[(size_t)item.field_index];
        HostItemValue form;
        if (v.state & DBF_VALUE_NULL) {
            form = HostItemValue{};
        } else {
            switch (v.type) {
            case 'B':
                form.type = HV_REAL;
                form.real = v.number;
                if (v.state & DBF_VALUE_EMPTY) form.type = HV_NULL;
                break;
            case 'F':
            case 'N': form = host_bytes_value(HV_DECIMAL, v.field_text, v.field_length); break;
            case 'I':
                form.type = HV_INT32;
                form.integer = v.integer;
                break;
            case 'L':
                if (!(v.state & DBF_VALUE_UNDEFINED)) {
                    form.type = HV_BOOLEAN;
                    form.integer = v.logical;
                }
                break;
            case 'Y':
                if (v.state & DBF_VALUE_EMPTY) break;
                currency_text(item.text, v.currency);
                form = host_bytes_value(HV_CURRENCY, item.text.data(), item.text.size());
                break;
            case 'T':
                if (v.state & DBF_VALUE_EMPTY) break;
                datetime_text(item.text, v.datetime);
                form = host_bytes_value(HV_DATETIME, item.text.data(), item.text.size());
                break;
            case 'Q': form = host_bytes_value(HV_BYTES, v.text, v.length); break;
            case 'V':
                if (item.item_type == kItemBinary) form = host_bytes_value(HV_BYTES, v.text, v.length);
                else form = oem_form(item.text, v.text, v.length, oem_to_ansi);
                break;
            default:
                if (is_memo_type(v.type)) {
                    if (!ReadMemo(item, data_handle, (v.state & DBF_VALUE_EMPTY) ? 0 : v.block, recno, oem_to_ansi, memo, &form, holder))
                        return 0;
                } else if (item.item_type == kItemBinary || item.item_type == kItemBinaryMemo) {
                    // Raw bytes stay as stored.
                    form = host_bytes_value(HV_BYTES, v.field_text, v.field_length);
                } else {
                    form = oem_form(item.text, v.field_text, v.field_length, oem_to_ansi);
                }
                break;
            }
        }
        HostItemValue value;
        if (!convert_to_item(form, item.item_type, item.item_size, &item.scratch, &value)) {
            int status = XD_BADDATA;
            raise_error(holder, 1015, 106, 7, {(long)recno, description->GetPhysicalPath(), status}, &status);
            return 0;
        }
        if (!record_->SetItemValue(item.host_index, &value)) {
            int status = XD_BADDATA;
            raise_error(holder, 1015, 106, 8, {(long)recno, description->GetPhysicalPath(), status}, &status);
            return 0;
        }
    }
    return 1;
}
