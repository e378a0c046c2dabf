// Tables: open and close over the shared record of their data file, the
// description they were opened from, and the creation of their files.

#include <cstring>

#include "driver/field_types.h"
#include "driver/index_association.h"
#include "driver/index_names.h"
#include "driver/key_translation.h"
#include "driver/paths.h"
#include "driver/physical_files.h"
#include "driver/xbase_driver.h"
#include "driver/xbase_objects.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/index/index.h"
#include "engine/memo/memo.h"
#include "framework/codepage.h"

void XbaseTable::Destroy() {
    {
        // Released on whatever thread the host likes: the shared records of data
        // files change under the driver lock only.
        QXDB_DRIVER_ENTRY;
        leave_registry(owner, this);
        if (open_) Close();
        physical_file_give_back(file_);
        if (description_) description_->Release();
    }
    delete this;
}

void XbaseTable::SetDescription(XbaseTableDescription* description) {
    if (description) description->AddRef();
    if (description_) description_->Release();
    description_ = description;
}

int XbaseTable::SetTableDescription(IXbaseTableDescription* description) {
    QXDB_DRIVER_ENTRY;
    auto* d = dynamic_cast<XbaseTableDescription*>(description);
    if (!d || open_) {
        refuse_operation(errors_, 31);
        return 0;
    }
    SetDescription(d);
    return 1;
}

int16_t XbaseTable::DataHandle() const { return file_ ? file_->handle : -1; }

int XbaseTable::HasKey() {
    QXDB_DRIVER_ENTRY;
    if (!description_) return 0;
    for (int i = 1; i <= description_->GetItemCount(); i++)
        if (description_->GetItem(i)->GetKeyNumber() > 0) return 1;
    return 0;
}

int XbaseTable::Open() {
    QXDB_DRIVER_ENTRY;
    errors_.Reset();
    if (open_) return 1;  // one open per table: a second changes nothing
    if (!description_ || description_->VariantRow() < 0) {
        if (!description_ || !Reopen()) {
            raise_error(&errors_, 1005, 105, 1, {description_ ? description_->GetTableName() : u""});
            return 0;
        }
    }
    const std::string path = system_name_from_wide(description_->GetPhysicalPath());
    if (!file_) file_ = physical_file_take(path);
    if (file_->handle >= 0 && open_mode_ == 3 && !file_->writable) {
        // The other tables of the file only read it: the shared handle is opened
        // again for writing. Locks belong to the handle, so not while any is held.
        if (file_->file_locks || !file_->record_locks.empty()) {
            int status = XD_ACCESSDENIED;
            raise_error(&errors_, 1001, 105, 4, {description_->GetPhysicalPath()}, &status);
            return 0;
        }
        xdb_set_status(XD_OK);
        int16_t h = -1;
        XDSTATUS s = dbf_open(&h, path.c_str(), (uint16_t)(description_->VariantCode() | 0x0E00));
        xdb_set_status(XD_OK);
        if (s < 0) {
            int status = s;
            raise_error(&errors_, 1001, 105, 5, {description_->GetPhysicalPath()}, &status);
            return 0;
        }
        dbf_close(file_->handle);
        xdb_set_status(XD_OK);
        file_->handle = h;
        file_->writable = true;
    }
    if (file_->handle < 0) {
        // Shared, and read-only unless the host opens for writing.
        uint16_t mode = (uint16_t)(description_->VariantCode() | 0x0E00 | (open_mode_ == 3 ? 0 : XDB_OPEN_READONLY));
        xdb_set_status(XD_OK);
        int16_t h = -1;
        XDSTATUS s = dbf_open(&h, path.c_str(), mode);
        xdb_set_status(XD_OK);
        if (s < 0) {
            int status = s;
            raise_error(&errors_, 1001, 105, 2, {description_->GetPhysicalPath()}, &status);
            return 0;
        }
        file_->handle = h;
        file_->writable = open_mode_ == 3;
    }
    file_->open_count++;
    open_ = true;
    current_record_ = 0;
    // Declared for exclusive use, with no lock mode of the host's: the whole file
    // is locked again at every open (a close by the file's last user let it go).
    if (!lock_mode_own_ && owner && owner->DeclaredExclusive(this) && !TakeFileLock(3, &errors_)) {
        int status = (int)errors_.BaseCode();
        Close();
        raise_error(&errors_, 1054, 105, 6, {description_->GetTableName()}, &status);
        return 0;
    }
    return 1;
}

bool XbaseTable::RenumberTags(const std::u16string& path, int16_t count, uint64_t stamp) {
    for (OpenIndex& open : indexes_) {
        if (open.path != path || (open.tag_count == count && open.tag_stamp == stamp)) continue;
        const bool counted = open.tag_count >= 0;
        open.tag_count = count;
        open.tag_stamp = stamp;
        if (!counted) return false;
        for (int32_t& tag : open.tags) {
            if (tag < 0) continue;
            xdb_set_status(XD_OK);
            TagClose(open.type, tag);
            tag = -1;
        }
        xdb_set_status(XD_OK);
        indexes_generation_++;  // accesses cursors keep name closed tags
        return true;
    }
    return false;
}

void XbaseTable::CloseIndexes() {
    indexes_generation_++;
    for (const OpenIndex& i : indexes_) {
        xdb_set_status(XD_OK);
        IndexClose(i.type, i.handle);
    }
    xdb_set_status(XD_OK);
    indexes_.clear();
}

int XbaseTable::UseIndexFile(const std::u16string& path, int tag, IndexAccess* access, IndexDescription* desc,
                             CXErrorHolder* out) {
    OpenIndex* open = nullptr;
    for (OpenIndex& i : indexes_)
        if (i.path == path) open = &i;
    // The file's name is made for the system once, as it opens.
    const int type = open ? open->type : index_type_of_path(system_name_from_wide(path));
    if (type == kIndexUnsupported || !index_format_available(type)) {
        raise_error(out, 1058, 105, 21, {path});
        return 0;
    }
    if (!open) {
        const std::string file = system_name_from_wide(path);
        int16_t h = -1;
        xdb_set_status(XD_OK);
        XDSTATUS s = IndexOpen(type, file.c_str(), 0x0E00, &h);
        xdb_set_status(XD_OK);
        if (s < 0) {
            int status = s;
            raise_error(out, 1001, 105, 22, {path}, &status);
            return 0;
        }
        indexes_.push_back(OpenIndex{path, type, h, {}});
        open = &indexes_.back();
        if (!index_is_multitag(type)) LearnKeyType(type, h);
    }
    // While the table is locked whole no other program changes its indexes: the
    // file then keeps what it read between operations (the engine stops trusting
    // it by itself once that lock goes).
    const uint32_t whole = dbf_whole_lock(DataHandle());
    if (open->held_for != whole) {
        xdb_set_status(XD_OK);
        IndexHold(type, open->handle, whole ? DataHandle() : (int16_t)-1);
        xdb_set_status(XD_OK);
        open->held_for = whole;
    }
    // A multi-tag file's tag opens once and stays open with the file; a
    // single-key file's one tag is the file.
    int32_t tag_handle = -1;
    if (index_is_multitag(type)) {
        if (tag < 0) tag = 0;
        if ((size_t)tag >= open->tags.size()) open->tags.resize((size_t)tag + 1, -1);
        if (open->tags[(size_t)tag] < 0) {
            xdb_set_status(XD_OK);
            XDSTATUS s = TagOpenNumber(type, open->handle, (int16_t)tag, &tag_handle);
            xdb_set_status(XD_OK);
            if (s < 0) {
                raise_error(out, 1044, 105, 23, {path_stem(path), path});
                return 0;
            }
            open->tags[(size_t)tag] = tag_handle;
            LearnKeyType(type, (int16_t)tag_handle);
        }
        tag_handle = open->tags[(size_t)tag];
    }
    // A tag that cannot be described is a tag that does not open.
    xdb_set_status(XD_OK);
    if (IndexDescribe(type, tag_handle >= 0 ? (int16_t)tag_handle : open->handle, desc) < 0) {
        xdb_set_status(XD_OK);
        raise_error(out, 1044, 105, 23, {path_stem(path), path});
        return 0;
    }
    *access = IndexAccess{};
    access->type = type;
    access->file_handle = (uint16_t)open->handle;
    access->tag_handle = tag_handle;
    access->key_length = (uint32_t)desc->key_length;
    access->key_type = desc->key_type;
    access->single_field = -1;
    return 1;
}

// What kind of keys a file or tag holds, where it does not say (IDX, CDX), from
// the table: a key the index cannot tell would be made in the wrong form.
void XbaseTable::LearnKeyType(int type, int16_t handle) {
    if (!file_ || file_->handle < 0) return;
    xdb_set_status(XD_OK);
    IndexLearnKeyType(type, handle, file_->handle);
    xdb_set_status(XD_OK);
}

int XbaseTable::UseKey(const std::u16string& key, IndexAccess* access, CXErrorHolder* holder) {
    QXDB_DRIVER_ENTRY;
    CXErrorHolder* out = holder ? holder : &errors_;
    out->Reset();
    auto* item = description_ ? description_->Find(key) : nullptr;
    if (!item || item->key_number <= 0) {
        raise_error(out, 1023, 105, 20, {key, description_ ? description_->GetTableName() : u""});
        return 0;
    }
    IndexDescription desc;
    if (!UseIndexFile(item->index_path, item->tag_number, access, &desc, out)) {
        if (out->CurrentErrorId() == 1044) {
            out->Reset();
            raise_error(out, 1044, 105, 23, {item->name, item->index_path});
        }
        return 0;
    }
    access->single_field = item->field ? (int16_t)item->field_index : -1;
    access->single_field_type = item->field ? item->type_letter : 0;
    return 1;
}

int XbaseTable::Close() {
    QXDB_DRIVER_ENTRY;
    errors_.Reset();
    // Only a table that is open counts itself out: closing twice must not close
    // the file under another table of it.
    if (!open_ || !file_) return 1;
    ReleaseRecordLocksOfTable();
    open_ = false;
    CloseIndexes();
    memo_.Close();
    if (file_->open_count > 0) file_->open_count--;
    if (file_->open_count > 0) return 1;
    int16_t h = file_->handle;
    file_->handle = -1;
    // The last user's close ends every lock of the file.
    file_->file_locks = 0;
    file_->record_locks.clear();
    xdb_set_status(XD_OK);
    XDSTATUS s = dbf_close(h);
    xdb_set_status(XD_OK);
    if (s < 0) {
        int status = s;
        raise_error(&errors_, 1033, 105, 2, {description_ ? description_->GetPhysicalPath() : u""}, &status);
        return 0;
    }
    return 1;
}

int XbaseTable::Reopen() {
    QXDB_DRIVER_ENTRY;
    if (!description_) return 0;
    return description_->DescribeInto(&errors_);
}

int XbaseTable::RecheckDataFile() {
    QXDB_DRIVER_ENTRY;
    errors_.Reset();
    if (!description_) return 0;
    const std::u16string path = description_->GetPhysicalPath();
    if (!xdb_fexists(system_name_from_wide(path).c_str())) {
        raise_error(&errors_, 1032, 105, 3, {path});
        return 0;
    }
    return description_->DescribeInto(&errors_);
}

int XbaseTable::SetMemoPath(const char16_t* path) {
    QXDB_DRIVER_ENTRY;
    if (!description_ || !path || !xdb_fexists(system_name_from_wide(path).c_str())) return 0;
    for (int i = 1; i <= description_->GetItemCount(); i++) {
        auto* item = static_cast<XbaseItemDescription*>(description_->GetItem(i));
        if (item->host_type == kItemTextMemo || item->host_type == kItemBinaryMemo) item->memo_path = path;
    }
    description_->Changed();
    return 1;
}

int XbaseTable::ReleaseResources() {
    QXDB_DRIVER_ENTRY;
    return open_ ? Close() : 1;
}

// The data file, then the index files, then the memo file.
int XbaseTable::CreateFiles() {
    QXDB_DRIVER_ENTRY;
    errors_.Reset();
    if (!description_) {
        refuse();
        return 0;
    }
    XbaseTableDescription* d = description_;
    const std::u16string path = d->GetPhysicalPath();
    const std::string data_path = system_name_from_wide(path);
    const int variant = creation_variant_of_host_format(d->GetHostFormatCode());
    const bool strict = d->CreationOptions() & kCreateStrictNames;
    const bool logicals = d->CreationOptions() & kCreateBooleansAsLogicals;
    std::vector<DbfCreateField> fields;
    bool has_memo_field = false;
    for (int i = 1; i <= d->GetItemCount(); i++) {
        auto* item = static_cast<XbaseItemDescription*>(d->GetItem(i));
        if (!item->field) continue;
        XbaseFieldShape shape;
        if (!field_of_host_item(item->host_type, item->size, item->digits, item->decimals, variant, logicals, &shape)) {
            raise_error(&errors_, 1035, 105, 10, {item->name});
            return 0;
        }
        std::string name = codepage_from_wide(1252, item->name);
        if (name.size() > 10) {
            if (strict) {
                raise_error(&errors_, 1059, 105, 11, {item->name, 10});
                return 0;
            }
            name.resize(10);
        }
        DbfCreateField f{};
        memcpy(f.name, name.data(), name.size());
        f.type = (uint16_t)shape.type;
        f.length = shape.length;
        f.decimals = shape.decimals;
        fields.push_back(f);
        item->type_letter = shape.type;
        item->field_index = (int)fields.size() - 1;
        item->field_length = shape.length;
        has_memo_field |= shape.type == 'M' || shape.type == 'P';
    }
    // A FoxPro table whose keys are tags of a CDX of its own name, a dBASE IV table
    // whose keys are tags of an MDX of its own name: that file is its structural
    // (production) index, made (empty) before the header that names it.
    const std::string structural = system_name_from_wide(path_without_extension(path)) + (variant == 2 ? ".mdx" : ".cdx");
    bool has_structural = false;
    for (int i = 1; i <= d->GetItemCount(); i++) {
        auto* key = static_cast<XbaseItemDescription*>(d->GetItem(i));
        if (key->key_number <= 0 || key->index_path.empty()) continue;
        const std::string index = path_matching_case(index_path_from_name(system_name_from_wide(key->index_path), data_path));
        has_structural |= (variant == 2 || variant == 8 || variant == 10) && same_name_ignoring_case(system_name_to_wide(index), system_name_to_wide(structural));
    }
    xdb_set_status(XD_OK);
    XDSTATUS s = XD_OK;
    if (has_structural && (s = IndexCreateEmpty(index_type_of_path(structural), structural.c_str())) < 0) {
        int status = s;
        raise_error(&errors_, 1062, 105, 14, {system_name_to_wide(structural)}, &status);
        return 0;
    }
    const uint16_t mode = (uint16_t)(variant | (has_structural ? DBF_CREATE_PRODUCTION_INDEX : 0));
    s = fields.empty() ? XD_BADFIELDCOUNT : dbf_create(data_path.c_str(), (int16_t)fields.size(), fields.data(), mode);
    xdb_set_status(XD_OK);
    if (s < 0) {
        int status = s;
        raise_error(&errors_, 1034, 105, 12, {path}, &status);
        return 0;
    }
    // Index files: one per key that names one, made anew. The new table (a blank
    // record) tells the engine the form of each key.
    int16_t probe = -1;
    xdb_set_status(XD_OK);
    if (dbf_open(&probe, data_path.c_str(), (uint16_t)(variant | XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND)) >= 0) dbf_blank_record(probe);
    xdb_set_status(XD_OK);
    struct ProbeCloser {
        int16_t h;
        ~ProbeCloser() {
            if (h >= 0) dbf_close(h);
            xdb_set_status(XD_OK);
        }
    } probe_closer{probe};
    std::vector<std::string> made_files;
    for (int i = 1; i <= d->GetItemCount(); i++) {
        auto* key = static_cast<XbaseItemDescription*>(d->GetItem(i));
        if (key->key_number <= 0 || key->index_path.empty()) continue;
        std::u16string index =
            system_name_to_wide(path_matching_case(index_path_from_name(system_name_from_wide(key->index_path), data_path)));
        std::string expression;
        char type;
        uint16_t length = 0;
        if (key->field) {
            expression = codepage_from_wide(1252, key->name).substr(0, 10);
            type = key->type_letter == 'F' ? 'N' : key->type_letter;
            length = type == 'C' ? (uint16_t)key->size : 8;
        } else {
            expression = codepage_from_wide(1252, key->key_expression);
            KeyTranslation t;
            if (!make_composite_key(d, key, expression, &errors_, &t)) return 0;
            type = t.type == 'F' ? 'N' : t.type;
            length = type == 'C' ? (uint16_t)t.length : 8;  // numbers and dates: 8-byte keys
        }
        const std::string index_file = system_name_from_wide(index);
        // A multi-tag file is made anew once: its later keys are tags added to it.
        bool made = has_structural && same_name_ignoring_case(index, system_name_to_wide(structural));
        for (const std::string& f : made_files) made = made || f == index_file;
        if (!made && index_is_multitag(index_type_of_path(index_file))) made_files.push_back(index_file);
        if (!made && xdb_fexists(index_file.c_str())) {
            xdb_set_status(XD_OK);
            if (xdb_fdelete(index_file.c_str()) < 0) {
                xdb_set_status(XD_OK);
                raise_error(&errors_, 1065, 105, 13, {index});
                return 0;
            }
        }
        const std::string tag = codepage_from_wide(1252, key->name);
        IndexCreateRequest request{index_file.c_str(), expression.c_str(), type, length,
                                   (key->key_options & 0x4000) ? 1 : 0, tag.c_str()};
        IndexKeyShape shape;
        if (probe >= 0 && IndexShapeOf(probe, expression.c_str(), &shape) >= 0 && shape.type == 'N') {
            request.key_width = shape.width;  // numbers kept as text: the field's width and decimals
            request.key_decimals = shape.decimals;
        }
        xdb_set_status(XD_OK);
        xdb_set_status(XD_OK);
        s = IndexCreate(&request);
        xdb_set_status(XD_OK);
        if (s < 0) {
            int status = s;
            raise_error(&errors_, 1062, 105, 14, {index}, &status);
            return 0;
        }
        key->index_path = index;
    }
    if (probe >= 0) {
        dbf_close(probe);
        xdb_set_status(XD_OK);
        probe_closer.h = -1;
    }
    // The memo file, when the description names one (or the table has memo fields
    // and none is named: beside the table, under its name).
    std::u16string memo = d->GetMemoName() ? d->GetMemoName() : u"";
    if (memo.empty() && has_memo_field) memo = path_without_extension(path);
    if (!memo.empty()) {
        const bool fpt = variant == 4 || variant == 8 || variant == 10;
        memo = path_without_extension(memo);
        if (path_name_start(memo) == 0) memo = path_directory(path) + memo;
        memo += fpt ? u".fpt" : u".dbt";
        const std::string memo_file = system_name_from_wide(memo);
        xdb_set_status(XD_OK);
        s = fpt ? fpt_create(memo_file.c_str(), 2) : dbt_create(memo_file.c_str(), 2, (uint8_t)(variant <= 3 || (variant >= 5 && variant <= 7) ? variant : 1));
        xdb_set_status(XD_OK);
        if (s == XD_BADFILENAME) {
            raise_error(&errors_, 1056, 105, 15, {memo, 8});
            return 0;
        }
        if (s < 0) {
            int status = s;
            raise_error(&errors_, 1034, 105, 16, {memo}, &status);
            return 0;
        }
        for (int i = 1; i <= d->GetItemCount(); i++) {
            auto* item = static_cast<XbaseItemDescription*>(d->GetItem(i));
            if (item->host_type == kItemTextMemo || item->host_type == kItemBinaryMemo) item->memo_path = memo;
        }
    }
    d->Changed();
    return 1;
}
