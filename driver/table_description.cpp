// A table description read from its DBF file: one item per field, with the host
// type and size the field maps to (see field_types.h), memo items with their memo
// file, Visual FoxPro's system fields left out.

#include <cstring>
#include <vector>

#include "driver/field_types.h"
#include "driver/index_names.h"
#include "driver/library_state.h"
#include "driver/paths.h"
#include "driver/xbase_objects.h"
#include "driver/xbase_variants.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/index/index.h"
#include "engine/index/index_owner.h"
#include "framework/codepage.h"

namespace {

// The memo file of a table: the data file's path with ".fpt" for the FoxPro
// variants that keep memos in FPT files, ".dbt" otherwise; on systems whose names
// have a case, the extension is looked for in both.
std::string memo_path_of(const std::string& data_path, int variant_code) {
    const std::string base = path_without_extension(data_path);
    bool fpt = variant_code == 4 || variant_code == 8 || variant_code == 10;
    for (const char* ext : fpt ? std::vector<const char*>{".fpt", ".FPT"} : std::vector<const char*>{".dbt", ".DBT"})
        if (xdb_fexists((base + ext).c_str())) return base + ext;
    return "";
}

}  // namespace

int XbaseTableDescription::VariantCode() const {
    return variant_row_ >= 0 && variant_row_ < kXbaseVariantCount ? kXbaseVariants[variant_row_].code : 0;
}

int XbaseTableDescription::Describe() {
    QXDB_DRIVER_ENTRY;
    errors_.Reset();
    return DescribeInto(&errors_);
}

int XbaseTableDescription::DescribeInto(CXErrorHolder* holder) {
    QXDB_DRIVER_ENTRY;
    const std::string path = system_name_from_wide(path_);
    if (library_start_engine() < 0) {
        int status = XD_NOHANDLE;
        raise_error(holder, 1001, 102, 1, {path_}, &status);
        return 0;
    }
    // The variants in the table's order, read-only and shared: the first that
    // opens the file is the table's.
    int16_t h = -1;
    int status = XD_OK;
    int row = -1;
    for (int r = 0; r < kXbaseVariantCount && row < 0; r++) {
        xdb_set_status(XD_OK);
        XDSTATUS s = dbf_open(&h, path.c_str(), (uint16_t)(kXbaseVariants[r].code | XDB_OPEN_READONLY | XDB_OPEN_SHARED));
        if (s >= 0) row = r;
        else if (status == XD_OK || status == XD_BADVERSION) status = s;
    }
    xdb_set_status(XD_OK);
    if (row < 0) {
        raise_error(holder, 1001, 102, 2, {path_}, &status);
        return 0;
    }
    variant_row_ = row;
    const int code = VariantCode();
    host_format_ = host_format_of_variant(code);
    ClearItems();
    uint16_t count = 0, largest = 0;
    std::vector<DbfFieldInfo> fields;
    XDSTATUS s = dbf_field_count(h, &count);
    if (s >= 0) {
        fields.resize(count);
        s = count ? dbf_describe_fields(h, &largest, fields.data()) : XD_OK;
    }
    if (s < 0) {
        int st = s;
        raise_error(holder, 1003, 102, 3, {table_name_}, &st);
        xdb_set_status(XD_OK);
        dbf_close(h);
        return 0;
    }
    const std::string memo = memo_path_of(path, code);
    bool whole = true;
    for (uint16_t i = 0; i < count; i++) {
        const DbfFieldInfo& f = fields[i];
        if (f.name[0] == 0) {  // a descriptor the engine could not give
            raise_error(holder, 1006, 102, 4, {(int)i, table_name_});
            whole = false;
            continue;
        }
        if (code == 10 && (f.flags & 0x01)) continue;  // a system field, such as _NullFlags
        HostItemShape shape = host_item_of_field(f.type, f.length, f.decimals);
        auto* item = new XbaseItemDescription();
        item->AddRef();
        item->name = codepage_to_wide(1252, f.name, strnlen(f.name, sizeof f.name));
        item->type_letter = f.type;
        item->host_type = shape.type;
        item->size = shape.size;
        item->digits = shape.digits;
        item->decimals = shape.decimals;
        item->field = true;
        item->field_index = i;
        item->field_length = f.length;
        if ((shape.type == kItemTextMemo || shape.type == kItemBinaryMemo) && !memo.empty())
            item->memo_path = system_name_to_wide(memo);
        AddItem(item);
    }
    // The production (structural) index the header names belongs to the table on
    // every way it is opened: declared, found, or neither.
    DbfHeaderInfo header{};
    xdb_set_status(XD_OK);
    if (dbf_header_info(h, &header) >= 0 && header.mdx_flag == 1) {
        const std::u16string base = path_without_extension(path_);
        for (const char16_t* ext : {u".mdx", u".MDX", u".cdx", u".CDX"}) {
            if (!xdb_fexists(system_name_from_wide(base + ext).c_str())) continue;
            // Judged as any index found beside the table (its tags against the
            // records): written only when every tag can be kept in step.
            IndexOwnerVerdict verdict{};
            xdb_set_status(XD_OK);
            const std::string file = system_name_from_wide(base + ext);
            if (IndexJudgeOwner(h, file.c_str(), true, &verdict) < 0) verdict.writable = false;
            xdb_set_status(XD_OK);
            const std::u16string why = codepage_to_wide(1252, verdict.reason, strlen(verdict.reason));
            TakeIndex(base + ext, verdict.ownership == INDEX_OWNED && verdict.writable,
                      u"the table's production index: " + why);
            break;
        }
    }
    xdb_set_status(XD_OK);
    dbf_close(h);
    xdb_set_status(XD_OK);
    return whole ? 1 : 0;
}

int XbaseTableDescription::CheckItemExists(const char16_t* item) {
    QXDB_DRIVER_ENTRY;
    XbaseItemDescription* found = item ? Find(item) : nullptr;
    if (found && found->field) return 1;
    raise_error(&errors_, 1064, 102, 5, {item ? item : u"", path_});
    return 0;
}
