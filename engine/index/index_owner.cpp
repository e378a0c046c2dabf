// Which table an index file belongs to (see index_owner.h).

#include "engine/index/index_owner.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/core/condexpr.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/keyexpr.h"
#include "engine/index/index.h"
#include "engine/index/index_format.h"

namespace {

// Entries looked at from each end of the tree, and records spread over the table.
const int kSampleEntries = 16;
const uint32_t kSampleRecords = 16;

std::string lower(std::string s) {
    for (char& c : s) c = (char)tolower((unsigned char)c);
    return s;
}

// The file name without directory and extension.
std::string stem_of(const char* path) {
    std::string s = path;
    size_t cut = s.find_last_of("/\\:");
    if (cut != std::string::npos) s = s.substr(cut + 1);
    return lower(s.substr(0, s.rfind('.')));
}

XDSTATUS judged(IndexOwnerVerdict* out, int ownership, bool writable, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
XDSTATUS judged(IndexOwnerVerdict* out, int ownership, bool writable, const char* format, ...) {
    out->ownership = ownership;
    out->writable = ownership == INDEX_OWNED && writable;
    va_list args;
    va_start(args, format);
    vsnprintf(out->reason, sizeof out->reason, format, args);
    va_end(args);
    xdb_set_status(XD_OK);
    return XD_OK;
}

// The entries of an open single-key index against the table's records.
struct Sampler {
    int16_t data;
    IndexAccess a;
    uint32_t count;
    bool unique;
    bool text_keys;
    std::string why;

    // The record's key (blank-padded) into `key`; false when it cannot be made.
    bool record_key(uint8_t* key) {
        memset(key, 0, kIndexKeyBuffer + 27);
        if (IndexKeyFromRecord(&a, data, key) < 0) {
            xdb_set_status(XD_OK);
            return false;
        }
        if (a.key_type == 'C') {
            const size_t length = a.key_length - 1, have = strnlen((const char*)key, length);
            memset(key + have, ' ', length - have);
        }
        return true;
    }
    uint32_t compare_length() const { return a.key_type == 'C' ? a.key_length - 1 : a.key_length; }

    // An entry names a record of the table that has its key and that the
    // condition takes in.
    bool entry_agrees(const uint8_t* key, uint32_t recno) {
        if (recno < 1 || recno > count) {
            why = "an entry names record " + std::to_string(recno) + ", past the table's " + std::to_string(count);
            return false;
        }
        xdb_set_status(XD_OK);
        bool included = true;
        uint8_t want[kIndexKeyBuffer + 27];
        if (dbf_read_record(data, recno) < 0 || IndexRecordIncluded(&a, data, &included) < 0 || !included ||
            !record_key(want) || IndexCompareKeys(&a, key, want, compare_length()) != 0) {
            xdb_set_status(XD_OK);
            why = "the entry of record " + std::to_string(recno) + " does not hold that record's key";
            return false;
        }
        return true;
    }
    // The first (or last) entries of the tree.
    bool ends_agree(bool last, uint32_t* seen) {
        uint8_t key[kIndexKeyBuffer + 27] = {0};
        uint32_t recno = 0;
        xdb_set_status(XD_OK);
        XDSTATUS s = last ? IndexLast(&a, key, &recno) : IndexFirst(&a, key, &recno);
        for (int i = 0; s == XD_OK && i < kSampleEntries; i++) {
            (*seen)++;
            uint8_t entry[sizeof key];
            memcpy(entry, key, sizeof entry);
            if (!entry_agrees(entry, recno)) return false;
            xdb_set_status(XD_OK);
            s = last ? IndexPrevious(&a, key, &recno) : IndexNext(&a, key, &recno);
        }
        xdb_set_status(XD_OK);
        return true;
    }
    // Live records spread over the table that the condition takes in have their
    // entries.
    bool records_agree(uint32_t* looked) {
        // A unique index may lack keys its writers let go (see table_check.h).
        if (unique) return true;
        const uint32_t step = count / kSampleRecords + 1;
        for (uint32_t n = 1; n <= count; n += step) {
            xdb_set_status(XD_OK);
            XDSTATUS r = dbf_read_record(data, n);
            bool included = true;
            if (r < 0 || r == XD_DELETEDREC || IndexRecordIncluded(&a, data, &included) < 0 || !included) continue;
            uint8_t key[kIndexKeyBuffer + 27], want[kIndexKeyBuffer + 27];
            if (!record_key(key)) continue;
            memcpy(want, key, sizeof want);
            (*looked)++;
            uint32_t recno = n;
            xdb_set_status(XD_OK);
            XDSTATUS s = IndexSeek(&a, key, 0, &recno, 2);
            xdb_set_status(XD_OK);
            const bool found = s == XD_OK && IndexCompareKeys(&a, key, want, compare_length()) == 0 && recno == n;
            if (!found) {
                why = "record " + std::to_string(n) + " has no entry";
                return false;
            }
        }
        return true;
    }
};

}  // namespace

bool index_expression_fits_table(int16_t data_handle, const char* expression, char key_type, int length,
                                 bool text_keys) {
    std::string text = expression ? expression : "";
    if (text.empty()) return false;
    XdbKeyValue value{};
    XDSTATUS before = xdb_status();
    // A word that names no field evaluates as text: the key's type and length tell
    // an expression of this table's fields from one of another table's. Keys kept
    // as text (NTX) hold numbers and dates too.
    const bool fits = xdb_eval_key(data_handle, &text[0], 0, &value) >= 0 &&
                      (value.type == 'C' ? key_type == 'C' && value.length == length
                       : value.type == 'D' ? (text_keys ? length == 8 : key_type != 'C')
                       : value.type == 'L' ? length == 1  // the letter T or F
                       : value.type == 'I' ? length == 4 && !text_keys  // Visual FoxPro's integers
                       : value.type == 'Y' || value.type == 'T' ? length == 8 && !text_keys
                       : (value.type == 'N' || value.type == 'F') && (text_keys || key_type != 'C'));
    xdb_set_status(before < 0 ? XD_OK : before);
    return fits;
}

namespace {

// Judges one tree: a single-key file's (`tag` < 0) or one open tag of a multi-tag
// file open as `h`.
XDSTATUS judge_tree(int16_t data_handle, int32_t type, int16_t h, int32_t tag, uint32_t count, IndexOwnerVerdict* out) {
    XDSTATUS s;
    xdb_set_status(XD_OK);
    if (count > 0) dbf_read_record(data_handle, 1);
    // A file that does not say what kind of keys it holds (IDX) learns it from
    // the table; an expression the table cannot evaluate leaves it as it was.
    IndexLearnKeyType(type, tag >= 0 ? (int16_t)tag : h, data_handle);
    IndexDescription desc;
    xdb_set_status(XD_OK);
    if ((s = IndexDescribe(type, tag >= 0 ? (int16_t)tag : h, &desc)) < 0)
        return judged(out, INDEX_UNJUDGED, false, "its header cannot be read (status %d)", (int)s);
    const bool text_keys = index_format(type) && index_format(type)->text_keys;
    const int length = desc.key_type == 'C' ? desc.key_length - 1 : desc.key_length;
    xdb_set_status(XD_OK);
    if (!index_expression_fits_table(data_handle, desc.key_expression.c_str(), (char)desc.key_type, length, text_keys)) {
        return judged(out, INDEX_FOREIGN, false, "its key %s is not of this table", desc.key_expression.c_str());
    }
    if (!desc.for_expression.empty()) {
        char why[160] = "";
        xdb_set_status(XD_OK);
        if (xdb_check_condition(data_handle, desc.for_expression.c_str(), why, sizeof why) < 0) {
            return judged(out, INDEX_OWNED, false, "its key %s is of this table, but its condition FOR %s cannot be evaluated here (%s)",
                          desc.key_expression.c_str(), desc.for_expression.c_str(), why);
        }
    }
    Sampler sample{data_handle, IndexAccess{}, count, (desc.flags & 128) != 0, text_keys, ""};
    sample.a.type = type;
    sample.a.file_handle = (uint16_t)h;
    sample.a.tag_handle = tag;
    sample.a.key_length = (uint32_t)desc.key_length;
    sample.a.key_type = desc.key_type;
    sample.a.single_field = -1;
    uint32_t entries = 0, records = 0;
    const bool agree = sample.ends_agree(false, &entries) && sample.ends_agree(true, &entries) &&
                       sample.records_agree(&records);
    if (!agree)
        return judged(out, INDEX_FOREIGN, false,
                      "its key %s fits this table, but its entries do not agree with the records (%s): another "
                      "table's, or stale (qxdb reindex makes it this table's)",
                      desc.key_expression.c_str(), sample.why.c_str());
    if (entries == 0 && records == 0)
        return judged(out, INDEX_OWNED, true, "its key %s is of this table, and both are empty", desc.key_expression.c_str());
    return judged(out, INDEX_OWNED, true, "its key %s and its entries agree with the records",
                  desc.key_expression.c_str());
}

}  // namespace

XDSTATUS IndexJudgeOwner(int16_t data_handle, const char* path, bool production, IndexOwnerVerdict* out) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!path || !out) return xdb_report(XD_NULLPARAM);
    *out = IndexOwnerVerdict{};
    const int32_t type = index_type_of_file(path);
    uint32_t count = 0;
    if ((s = dbf_record_count(data_handle, &count)) < 0) return s;
    const char* table_name = nullptr;
    dbf_file_name(data_handle, &table_name);
    const std::string table_stem = stem_of(table_name ? table_name : ""), file_stem = stem_of(path);
    if (!index_format_available(type)) {
        const char* format = index_extension(type);
        if (!*format) return judged(out, INDEX_FOREIGN, false, "not an index file");
        if (production || file_stem == table_stem)
            return judged(out, INDEX_OWNED, false, "the table's %s index (%s files are not written yet)",
                          type == 2 ? "production" : "structural", format + 1);
        if (file_stem.compare(0, table_stem.size(), table_stem) == 0)
            return judged(out, INDEX_OWNED, false, "named after the table (%s files are not written yet)", format + 1);
        return judged(out, INDEX_FOREIGN, false, "a %s file of another name: taken for another table's", format + 1);
    }
    int16_t h = -1;
    xdb_set_status(XD_OK);
    if ((s = IndexOpen(type, path, XDB_OPEN_READONLY | XDB_OPEN_SHARED, &h)) < 0) {
        int status = s;
        return judged(out, INDEX_UNJUDGED, false, "cannot be opened (%s, status %d)", xdb_fault_text(nullptr)[0] ? xdb_fault_text(nullptr) : "the file is damaged or held by another program", status);
    }
    const IndexFormat* format = index_format(type);
    if (!format->tag_open) {
        judge_tree(data_handle, type, h, -1, count, out);
        IndexClose(type, h);
        return XD_OK;
    }
    // A multi-tag file: every tag is judged; the file is the table's when all its
    // tags are, and is written only when every tag can be kept in step.
    int16_t tags = 0;
    xdb_set_status(XD_OK);
    if ((s = TagCount(type, h, &tags)) < 0) {
        IndexClose(type, h);
        return judged(out, INDEX_UNJUDGED, false, "its tags cannot be read (status %d)", (int)s);
    }
    IndexOwnerVerdict all{INDEX_OWNED, true, ""};
    int owned = 0;
    for (int16_t t = 0; t < tags; t++) {
        int32_t tag = -1;
        xdb_set_status(XD_OK);
        if ((s = format->tag_open(h, nullptr, t, &tag)) < 0) {
            IndexClose(type, h);
            return judged(out, INDEX_UNJUDGED, false, "its tag %d cannot be opened (status %d)", t + 1, (int)s);
        }
        IndexOwnerVerdict one{};
        judge_tree(data_handle, type, h, tag, count, &one);
        format->tag_close(tag);
        if (one.ownership == INDEX_OWNED) owned++;
        if (one.ownership != INDEX_OWNED || !one.writable) {
            if (all.ownership == INDEX_OWNED && all.writable) all = one;
        }
    }
    IndexClose(type, h);
    xdb_set_status(XD_OK);
    if (all.ownership == INDEX_OWNED && all.writable)
        return judged(out, INDEX_OWNED, true, "its %d tags' keys and entries agree with the records", (int)tags);
    // The table's structural or production index stays the table's: written only
    // when all of it can be.
    if (production || owned > 0)
        return judged(out, INDEX_OWNED, false, "the table's, but not every tag can be kept in step: %s", all.reason);
    return judged(out, all.ownership, false, "%s", all.reason);
}
