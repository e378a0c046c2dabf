#include "engine/index/index.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include <string>
#include <vector>

#include "engine/core/dates.h"
#include "engine/core/dbf.h"
#include "engine/core/numbers.h"
#include "engine/core/engine.h"
#include "engine/core/keyexpr.h"
#include "engine/index/index_format.h"

namespace {

// Host value type codes of single-byte text: keys of these hosts are terminated.
bool single_byte_text(uint8_t code) {
    return code == 17 || code == 18 || code == 19 || code == 21 || code == 22 || code == 23 || code == 134;
}

// Types no format has (7, 9, and codes outside 1..10) are taken as NDX by the
// rebuild and the key makers, as the uniform layer always did.
bool no_format_at_all(int32_t type) { return type < 1 || type > 10 || type == 7 || type == 9; }

// Every operation starts with a clean status; a type without a format is refused.
XDSTATUS begin(const IndexAccess* a, const IndexFormat** f) {
    *f = nullptr;
    xdb_set_status(XD_OK);
    if (!a) return xdb_report(XD_NULLPARAM);
    if (!(*f = index_format(a->type))) return xdb_report(XD_CORRUPT);
    if ((*f)->set_key_type && a->key_type) {
        const int16_t h = (*f)->tag_open ? (int16_t)a->tag_handle : (int16_t)a->file_handle;
        return (*f)->set_key_type(h, (char)a->key_type);
    }
    return XD_OK;
}

// After an operation that returns a key: text keys of the host end at key_length - 1.
XDSTATUS finish_key(const IndexAccess* a, void* key, XDSTATUS s) {
    if (key && a->key_length > 0 && single_byte_text(a->key_host_type)) ((char*)key)[a->key_length - 1] = 0;
    return s;
}

// Single-key formats work on the file, multi-tag formats on the open tag.
int16_t handle_of(const IndexAccess* a) {
    const IndexFormat* f = index_format(a->type);
    return f && f->tag_open ? (int16_t)a->tag_handle : (int16_t)a->file_handle;
}

uint16_t format_key_length(const IndexAccess* a) {
    return (uint16_t)(a->key_type == 'C' ? a->key_length - 1 : a->key_length);
}

// The length of a key handed to a format: character keys up to their end (a
// shorter key is a prefix), the other keys whole (IndexKeySize).
uint16_t key_size(const IndexAccess* a, const void* key) {
    if (a->key_type == 'C') return (uint16_t)strnlen((const char*)key, format_key_length(a));
    return (uint16_t)IndexKeySize(a);
}

}  // namespace

int16_t IndexTreeHandle(const IndexAccess* a) { return handle_of(a); }

const IndexFormat* index_format(int32_t type) {
    switch (type) {
    case 1: return &kNdxFormat;
    case 2: return &kMdxFormat;
    case 3: return &kIdxFormat;
    case 4: case 8: case 10: return &kCdxFormat;
    case 5: case 6: return &kNtxFormat;
    default: return nullptr;
    }
}

void index_describe_name(IndexDescription* out, const char* file_name) {
    const std::string& e = out->key_expression;
    if (!e.empty() && e.find_first_of(" ()+") == std::string::npos) {
        snprintf(out->name, sizeof out->name, "%s", e.c_str());
        return;
    }
    std::string path = file_name ? file_name : "";
    std::string base;
    if (path.size() < 261) {
        size_t cut = path.find_last_of("/\\:");
        base = cut == std::string::npos ? path : path.substr(cut + 1);
        base = base.substr(0, base.rfind('.'));
    }
    snprintf(out->name, 11, "%s", base.c_str());
}

void index_describe(IndexDescription* out, int key_type, uint16_t key_length, uint16_t flags, uint16_t decimals,
                    const char* expression, const char* condition, const char* tag_name, const char* file_name) {
    out->key_type = (int16_t)key_type;
    out->key_length = (int16_t)(key_length + (key_type == 'C' ? 1 : 0));
    out->flags = (int16_t)flags;
    out->decimals = (int16_t)decimals;
    out->key_expression = expression ? expression : "";
    out->for_expression = condition ? condition : "";
    if (tag_name) xdb_copy_text(out->name, sizeof out->name, tag_name);
    else index_describe_name(out, file_name);
}

namespace {

// A positioning operation of the access's format, the key finished for the host.
typedef XDSTATUS (*Positioning)(int16_t, void*, uint32_t*);
XDSTATUS position(IndexAccess* a, Positioning IndexFormat::*op, void* key, uint32_t* recno, bool clear) {
    const IndexFormat* f;
    XDSTATUS s = begin(a, &f);
    if (s) return s;
    if (key && clear) memset(key, 0, kIndexKeyBuffer);
    return finish_key(a, key, (f->*op)(handle_of(a), key, recno));
}

// The key makers' format: the access's, or NDX's for a type without any.
const IndexFormat* maker_format(const IndexAccess* a) {
    const IndexFormat* f = index_format(a->type);
    return f ? f : no_format_at_all(a->type) ? &kNdxFormat : nullptr;
}

}  // namespace

const char* index_extension(int32_t type) {
    switch (type) {
    case 1: return ".ndx";
    case 2: return ".mdx";
    case 3: return ".idx";
    case 4: case 8: case 10: return ".cdx";
    case 5: case 6: return ".ntx";
    default: return "";
    }
}

int32_t index_type_of_file(const char* name) {
    const char* dot = name ? strrchr(name, '.') : nullptr;
    if (!dot || strpbrk(dot, "/\\:")) return 11;
    if (!strcasecmp(dot, ".ndx")) return 1;
    if (!strcasecmp(dot, ".mdx")) return 2;
    if (!strcasecmp(dot, ".ntx")) return 5;
    if (!strcasecmp(dot, ".idx")) return 3;
    if (!strcasecmp(dot, ".cdx")) return 10;
    return 11;
}

bool index_format_available(int32_t type) { return index_format(type) != nullptr; }

void index_normal_expression(const char* in, char* out, size_t cap) {
    size_t w = 0;
    for (const char* p = in; *p && w + 1 < cap; p++)
        if (*p != ' ') out[w++] = (char)toupper((unsigned char)*p);
    out[w] = 0;
}

bool index_valid_tag_name(const char* name) {
    const size_t n = name ? strlen(name) : 0;
    if (n < 1 || n > 10) return false;
    for (size_t i = 0; i < n; i++)
        if (!isalnum((unsigned char)name[i]) && name[i] != '_') return false;
    return true;
}

XDSTATUS index_build_tag_in_file(const IndexFormat& f, int16_t data, const IndexTagBuild* b, IndexMakeTag make) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!b->file_name || !b->tag_name || !b->expression) return xdb_report(XD_NULLPARAM);
    if (!xdb_fexists(b->file_name) && (s = f.create_empty(b->file_name))) return s;
    int16_t h = -1;
    if ((s = f.open(&h, b->file_name, 0)) < 0) return s;
    s = make(h, data, b);
    XDSTATUS c = f.close(h);
    return s < 0 ? s : c;
}

XDSTATUS index_create_tag_request(const IndexFormat& f, const IndexCreateRequest* r) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!r->tag_name) return xdb_report(XD_BADTAGNAME);
    IndexTagBuild b{r->file_name, r->tag_name, r->expression, "", r->key_type, r->key_length, r->unique != 0, false};
    return f.build_tag(-1, &b);
}

bool index_is_multitag(int32_t type) { return type == 2 || type == 4 || type == 8 || type == 10; }

XDSTATUS IndexFirst(IndexAccess* a, void* key, uint32_t* recno) { return position(a, &IndexFormat::first, key, recno, true); }
XDSTATUS IndexLast(IndexAccess* a, void* key, uint32_t* recno) { return position(a, &IndexFormat::last, key, recno, true); }
XDSTATUS IndexNext(IndexAccess* a, void* key, uint32_t* recno) { return position(a, &IndexFormat::next, key, recno, false); }
XDSTATUS IndexPrevious(IndexAccess* a, void* key, uint32_t* recno) {
    return position(a, &IndexFormat::previous, key, recno, false);
}
XDSTATUS IndexResync(IndexAccess* a, void* key, uint32_t* recno) {
    return position(a, &IndexFormat::resync, key, recno, false);
}

XDSTATUS IndexSeek(IndexAccess* a, void* key, int pad, uint32_t* recno, uint16_t mode) {
    const IndexFormat* f;
    XDSTATUS s = begin(a, &f);
    if (s) return s;
    if (!key || !recno) return xdb_report(XD_NULLPARAM);
    uint16_t size = key_size(a, key);
    if (a->key_type == 'C') {
        char* text = (char*)key;
        size_t limit = a->key_length - 1, n = strnlen(text, limit);
        if (pad && single_byte_text(a->value_host_type) && single_byte_text(a->key_host_type) && n < limit) {
            memset(text + n, ' ', limit - n);
            text[limit] = 0;
            n = limit;
        }
        size = (uint16_t)n;
    }
    return finish_key(a, key, f->seek(handle_of(a), key, size, recno, mode));
}

XDSTATUS IndexAddKey(IndexAccess* a, const void* key, uint32_t recno) {
    const IndexFormat* f;
    XDSTATUS s = begin(a, &f);
    if (s) return s;
    if (!key) return xdb_report(XD_NULLPARAM);
    return f->add(handle_of(a), key, key_size(a, key), recno);
}

XDSTATUS IndexDeleteKey(IndexAccess* a, const void* key, uint32_t recno) {
    const IndexFormat* f;
    XDSTATUS s = begin(a, &f);
    if (s) return s;
    if (!key) return xdb_report(XD_NULLPARAM);
    return f->remove(handle_of(a), key, key_size(a, key), recno);
}

XDSTATUS IndexKeyFromRecord(IndexAccess* a, int16_t data_handle, void* key) {
    const IndexFormat* f;
    XDSTATUS s = begin(a, &f);
    if (s) return s;
    if (!key) return xdb_report(XD_NULLPARAM);
    memset(key, 0, a->key_length);
    if (a->single_field >= 0) {
        // The key is one field's value: made from it directly.
        char value[300] = {0};
        if ((s = dbf_get_field(data_handle, a->single_field, value, nullptr)) < 0) return s;
        xdb_set_status(XD_OK);
        if (a->single_field_type == 'L') {  // the logical's byte as the letter keys hold
            value[0] = value[0] ? 'T' : 'F';
            value[1] = 0;
        }
        return MakeKeyFromField(a, a->single_field_type, value, key);
    }
    uint8_t k[128] = {0};
    if ((s = f->key_from_record(handle_of(a), data_handle, k)) < 0) return s;
    size_t n = IndexKeySize(a);
    if (a->key_type == 'C')
        while (n > 0 && isspace(k[n - 1])) n--;  // trailing white space goes
    memcpy(key, k, n);
    return xdb_status();
}

int IndexCompareKeys(const IndexAccess* a, const void* left, const void* right, uint32_t length) {
    const IndexFormat* f = a ? maker_format(a) : nullptr;
    if (!f || !left || !right) return 0;
    if (a->key_type == 'C' && length > a->key_length) length = a->key_length;
    if (f->text_keys && length > a->key_length - 1) length = a->key_length - 1;
    return f->compare(handle_of(a), a->key_type == 'C', left, right, (uint16_t)length);
}

uint32_t IndexKeySize(const IndexAccess* a) {
    if (!a || a->key_length < 1) return 0;
    const IndexFormat* f = maker_format(a);
    if (a->key_type == 'C' || (f && f->text_keys)) return a->key_length - 1;
    // A logical key (FoxPro's) is its letter; a Visual FoxPro integer, 4 bytes; an
    // MDX number, 12 bytes of packed digits.
    if (a->key_type == 'N' && a->key_length == 12) return 12;
    return a->key_type == 'L' ? 1 : a->key_type == 11 ? 4 : 8;
}

XDSTATUS MakeLastKeyWithPrefix(const IndexAccess* a, const void* prefix, uint32_t length, void* key) {
    if (!a || !prefix || !key || a->key_length < 1) return xdb_report(XD_NULLPARAM);
    const uint32_t size = a->key_length - 1;
    if (length > size) length = size;
    // Byte order, or the national order, where bytes outside the order sort last;
    // a descending index turns the byte order round.
    const IndexFormat* f = maker_format(a);
    const int byte = f ? f->last_byte(handle_of(a)) : 0xFF;
    uint8_t last = byte < 0 ? 0xFF : (uint8_t)byte;
    if (byte < 0 && xdb_collation(0, 0) == 0) {
        const uint8_t* weights = xdb_national_weights();
        for (int b = 255; b >= 1; b--)
            if (weights[b] > weights[last]) last = (uint8_t)b;
    }
    memcpy(key, prefix, length);
    memset((uint8_t*)key + length, last, size - length);
    ((uint8_t*)key)[size] = 0;
    return XD_OK;
}

XDSTATUS IndexOpen(int32_t type, const char* file_name, uint16_t open_mode, int16_t* handle) {
    xdb_set_status(XD_OK);
    if (!handle) return xdb_report(XD_NULLPARAM);
    *handle = -1;
    const IndexFormat* f = index_format(type);
    if (!f) return xdb_report(XD_CORRUPT);
    char name[261];
    snprintf(name, sizeof name, "%s", file_name ? file_name : "");
    return f->open(handle, name, open_mode);
}

XDSTATUS IndexClose(int32_t type, int16_t handle) {
    xdb_set_status(XD_OK);
    const IndexFormat* f = index_format(type);
    return f ? f->close(handle) : XD_OK;
}

XDSTATUS IndexHold(int32_t type, int16_t file_handle, int16_t data_handle) {
    const IndexFormat* f = index_format(type);
    return f && f->hold ? f->hold(file_handle, data_handle) : XD_OK;
}

XDSTATUS IndexWriteBegin(int32_t type, int16_t file_handle) {
    const IndexFormat* f = index_format(type);
    return f && f->write_begin ? f->write_begin(file_handle) : XD_OK;
}

void IndexWriteEnd(int32_t type, int16_t file_handle) {
    const IndexFormat* f = index_format(type);
    if (f && f->write_end) f->write_end(file_handle);
}

XDSTATUS IndexShapeOf(int16_t data_handle, const char* expression, IndexKeyShape* out) {
    if (!expression || !out) return xdb_report(XD_NULLPARAM);
    *out = IndexKeyShape{};
    std::string expr = expression;
    XdbKeyValue v{};
    XDSTATUS s = xdb_eval_key(data_handle, &expr[0], 0, &v);
    if (s < 0) return s;
    xdb_set_status(XD_OK);
    // Logicals, and Visual FoxPro's date-times, integers and currency, make keys of
    // the FoxPro family's tags only: the other formats refuse them at creation.
    switch (v.type) {
    case 'C': out->type = 'C'; out->length = v.length; break;
    case 'D': case 'T': case 'Y': out->type = (char)v.type; out->length = 8; break;
    case 'N': case 'F': out->type = 'N'; out->length = 8; break;
    case 'L': out->type = 'L'; out->length = 1; break;
    case 'I': out->type = 'I'; out->length = 4; break;
    default: out->type = 0; out->length = 8; break;
    }
    if (out->type != 'N') return XD_OK;
    out->width = 10;
    std::string name;
    for (const char* p = expression; *p; p++)
        if (*p != ' ') name += (char)toupper((unsigned char)*p);
    int16_t field = -1;
    uint16_t fields = 0, largest = 0;
    if (name.size() <= 10 && dbf_find_field(data_handle, &field, name.c_str()) == XD_OK &&
        dbf_field_count(data_handle, &fields) == XD_OK) {
        std::vector<DbfFieldInfo> info(fields);
        if (dbf_describe_fields(data_handle, &largest, info.data()) == XD_OK) {
            out->width = info[(size_t)field].length;
            out->decimals = info[(size_t)field].decimals;
        }
    }
    xdb_set_status(XD_OK);
    return XD_OK;
}

XDSTATUS IndexCreate(const IndexCreateRequest* r) {
    xdb_set_status(XD_OK);
    if (!r || !r->file_name || !r->expression) return xdb_report(XD_NULLPARAM);
    const char* dot = strrchr(r->file_name, '.');
    const char* ext = dot ? dot : "";
    // The first four extensions compare without regard to case; ".cdx" exactly.
    if (!strcasecmp(ext, ".ndx")) return kNdxFormat.create(r);
    if (!strcasecmp(ext, ".ntx")) return kNtxFormat.create(r);
    if (!strcasecmp(ext, ".idx")) return kIdxFormat.create(r);
    if (!strcmp(ext, ".cdx")) return kCdxFormat.create(r);
    if (!strcasecmp(ext, ".mdx")) return kMdxFormat.create(r);
    return xdb_report(XD_BADFILENAME);
}

XDSTATUS IndexRebuild(int32_t type, int16_t data_handle, const char* file_name, const char* expression,
                      uint8_t key_type, uint16_t key_length, uint16_t decimals, const char* tag_name) {
    xdb_set_status(XD_OK);
    const IndexFormat* f = index_format(type);
    if (f && tag_name && f->build_tag) {
        IndexTagBuild b{file_name, tag_name, expression, "", (char)(key_type & 0x7F), key_length, (key_type & 0x80) != 0,
                        false};
        return f->build_tag(data_handle, &b);
    }
    if (!f && no_format_at_all(type)) f = &kNdxFormat;
    if (!f) return xdb_report(XD_CORRUPT);  // formats still to come
    return f->rebuild(data_handle, file_name, key_type, expression, key_length, decimals);
}

XDSTATUS IndexBuildTag(int32_t type, int16_t data_handle, const IndexTagBuild* build) {
    xdb_set_status(XD_OK);
    if (!build) return xdb_report(XD_NULLPARAM);
    const IndexFormat* f = index_format(type);
    if (!f || !f->build_tag) return xdb_report(XD_BADTAGNAME);
    return f->build_tag(data_handle, build);
}

XDSTATUS IndexCreateEmpty(int32_t type, const char* file_name) {
    xdb_set_status(XD_OK);
    if (!file_name) return xdb_report(XD_NULLPARAM);
    const IndexFormat* f = index_format(type);
    if (!f || !f->create_empty) return xdb_report(XD_BADFILENAME);
    return f->create_empty(file_name);
}

XDSTATUS IndexRemoveTag(int32_t type, int16_t file_handle, const char* tag_name) {
    xdb_set_status(XD_OK);
    const IndexFormat* f = index_format(type);
    if (!f || !f->remove_tag) return xdb_report(XD_BADTAGNAME);
    return f->remove_tag(file_handle, tag_name);
}

XDSTATUS IndexCheck(int32_t type, int16_t handle, uint32_t* entries, char* fault, size_t cap) {
    return IndexCheckEntries(type, handle, entries, fault, cap, nullptr, nullptr);
}

XDSTATUS IndexCheckEntries(int32_t type, int16_t handle, uint32_t* entries, char* fault, size_t cap, IndexEntryFn entry,
                           void* context) {
    xdb_set_status(XD_OK);
    const IndexFormat* f = index_format(type);
    if (!f) return xdb_report(XD_CORRUPT);
    return f->check(handle, entries, fault, cap, entry, context);
}

XDSTATUS IndexRecordIncluded(const IndexAccess* a, int16_t data_handle, bool* included) {
    const IndexFormat* f;
    XDSTATUS s = begin(a, &f);
    if (s) return s;
    if (!included) return xdb_report(XD_NULLPARAM);
    *included = true;
    return f->record_included(handle_of(a), data_handle, included);
}

XDSTATUS TagCount(int32_t type, int16_t file_handle, int16_t* count) {
    xdb_set_status(XD_OK);
    if (!count) return xdb_report(XD_NULLPARAM);
    const IndexFormat* f = index_format(type);
    *count = 0;
    if (f && f->tag_list) return f->tag_list(file_handle, count, nullptr);
    if (type == 1 || type == 3 || type == 5 || type == 6) *count = 1;  // the single-key formats
    return XD_OK;
}

XDSTATUS TagListStamp(int32_t type, int16_t file_handle, int16_t* count, uint64_t* stamp) {
    xdb_set_status(XD_OK);
    if (!count || !stamp) return xdb_report(XD_NULLPARAM);
    const IndexFormat* f = index_format(type);
    *stamp = 0;
    if (f && f->tag_list) return f->tag_list(file_handle, count, stamp);
    return TagCount(type, file_handle, count);
}

XDSTATUS TagOpen(int32_t type, const char* tag_name, int16_t file_handle, int32_t* tag_handle) {
    xdb_set_status(XD_OK);
    if (!tag_handle) return xdb_report(XD_NULLPARAM);
    *tag_handle = -1;
    const IndexFormat* f = index_format(type);
    if (!f || !f->tag_open) return XD_OK;
    if (!tag_name) return xdb_report(XD_NULLPARAM);
    char name[11];
    snprintf(name, sizeof name, "%s", tag_name);
    return f->tag_open(file_handle, name, -1, tag_handle);
}

XDSTATUS TagOpenNumber(int32_t type, int16_t file_handle, int16_t number, int32_t* tag_handle) {
    xdb_set_status(XD_OK);
    if (!tag_handle) return xdb_report(XD_NULLPARAM);
    *tag_handle = -1;
    const IndexFormat* f = index_format(type);
    if (!f || !f->tag_open) return number == 0 ? XD_OK : xdb_report(XD_BADTAGCOUNT);
    return f->tag_open(file_handle, nullptr, number, tag_handle);
}

XDSTATUS TagClose(int32_t type, int32_t tag_handle) {
    xdb_set_status(XD_OK);
    const IndexFormat* f = index_format(type);
    return f && f->tag_close ? f->tag_close(tag_handle) : XD_OK;
}

XDSTATUS IndexDescribe(int32_t type, int16_t handle, IndexDescription* out) {
    xdb_set_status(XD_OK);
    if (!out) return xdb_report(XD_NULLPARAM);
    const IndexFormat* f = index_format(type);
    if (!f) return xdb_report(XD_CORRUPT);
    return f->describe(handle, out);
}

XDSTATUS IndexLearnKeyType(int32_t type, int16_t handle, int16_t data_handle) {
    xdb_set_status(XD_OK);
    const IndexFormat* f = index_format(type);
    if (!f || !f->set_key_type) return XD_OK;
    IndexDescription d;
    XDSTATUS s = f->describe(handle, &d);
    if (s < 0) return s;
    std::string expr = d.key_expression;
    XdbKeyValue v{};
    if ((s = xdb_eval_key(data_handle, &expr[0], 0, &v)) < 0) return s;
    xdb_set_status(XD_OK);
    // Visual FoxPro's integers, currency and date-times have key types of their own.
    const char letter = v.type == 'F' ? 'N' : v.type == 'I' ? 11 : v.type == 'Y' ? 10 : v.type == 'T' ? 12 : (char)v.type;
    if (letter != 'C' && letter != 'N' && letter != 'D' && letter != 'L' && (letter < 10 || letter > 12))
        return xdb_report(XD_BADKEYEXPR);
    return f->set_key_type(handle, letter);
}

XDSTATUS IndexDescribeTag(int32_t type, int16_t file_handle, int16_t number, IndexDescription* out) {
    xdb_set_status(XD_OK);
    if (!out) return xdb_report(XD_NULLPARAM);
    const IndexFormat* f = index_format(type);
    if (!f) return xdb_report(XD_CORRUPT);
    if (!f->tag_open) return number == 0 ? f->describe(file_handle, out) : xdb_report(XD_BADTAGID);
    int32_t tag = -1;
    XDSTATUS s = f->tag_open(file_handle, nullptr, number, &tag);
    if (s < 0) return s;
    s = f->describe((int16_t)tag, out);
    XDSTATUS c = f->tag_close(tag);
    return s < 0 ? s : c < 0 ? c : s;
}

XDSTATUS IndexKeyNumber(const IndexAccess* a, const void* key, double* value) {
    if (!a || !key || !value) return xdb_report(XD_NULLPARAM);
    const IndexFormat* f = maker_format(a);
    if (!f) return xdb_report(XD_CORRUPT);
    *value = f->key_number((const uint8_t*)key, (uint16_t)IndexKeySize(a));
    return XD_OK;
}

bool IndexKeyDate(const IndexAccess* a, const void* key, int* year, int* month, int* day) {
    const IndexFormat* f = a && key ? maker_format(a) : nullptr;
    return f && f->key_date((const uint8_t*)key, year, month, day);
}

XDSTATUS MakeCharacterKey(const IndexAccess* a, const char* text, void* key) {
    if (!a || !key || !text) return xdb_report(XD_NULLPARAM);
    memset(key, 0, a->key_length);
    size_t n = strnlen(text, a->key_length);
    memcpy(key, text, n);
    if (a->key_length) ((char*)key)[a->key_length - 1] = 0;
    return XD_OK;
}

XDSTATUS MakeNumericKey(const IndexAccess* a, double value, void* key) {
    if (!a || !key) return xdb_report(XD_NULLPARAM);
    if (a->key_width > 0 && a->key_width < 64 && std::isfinite(value)) {
        // Rounded as the field would store it.
        char text[96];
        xdb_format_fixed(text, sizeof text, value, (int)a->key_width, (int)a->key_decimals);
        value = strtod(text, nullptr);
    }
    // -0.0 and +0.0 are one number, but not one key: every zero is stored as +0.0.
    if (value == 0) value = 0.0;
    memset(key, 0, a->key_length);
    const IndexFormat* f = maker_format(a);
    if (!f) return xdb_report(XD_CORRUPT);
    if (f->text_keys && a->key_length < 2) return xdb_report(XD_BADKEYSIZE);
    return f->number_key(handle_of(a), value, (uint16_t)IndexKeySize(a), (uint8_t*)key);
}

XDSTATUS MakeDateKey(const IndexAccess* a, const char* date_text, void* key) {
    if (!a || !key || !date_text) return xdb_report(XD_NULLPARAM);
    memset(key, 0, a->key_length);
    const IndexFormat* f = index_format(a->type);
    if (!f) return xdb_report(XD_CORRUPT);
    int y = 0, m = 0, d = 0;
    XDSTATUS s = xdb_read_date(&y, &m, &d, date_text, xdb_date_format());
    if (s < 0) return s;
    if (f->text_keys && a->key_length < 9) return xdb_report(XD_BADKEYSIZE);
    f->date_key(s == XD_EMPTYFILE ? 0 : y, m, d, (uint8_t*)key);
    xdb_set_status(XD_OK);
    return XD_OK;
}

XDSTATUS MakeIntegerKey(const IndexAccess* a, int32_t value, void* key) {
    if (!a || !key) return xdb_report(XD_NULLPARAM);
    uint8_t* k = (uint8_t*)key;
    uint32_t u = (uint32_t)value;
    for (int i = 0; i < 4; i++) k[i] = (uint8_t)(u >> (24 - 8 * i));
    if (value >= 0) k[0] |= 0x80;
    else k[0] &= 0x7F;
    return XD_OK;
}

XDSTATUS MakeCurrencyKey(const IndexAccess* a, double value, void* key) {
    if (!a || !key) return xdb_report(XD_NULLPARAM);
    double scaled = value * 10000.0;
    if (!std::isfinite(scaled) || std::fabs(scaled) >= 9.2e18) return xdb_report(XD_BADDATA);
    int64_t i = (int64_t)scaled;
    uint8_t* k = (uint8_t*)key;
    for (int b = 0; b < 8; b++) k[b] = (uint8_t)((uint64_t)i >> (56 - 8 * b));
    if (i >= 0) k[0] |= 0x80;
    else k[0] &= 0x7F;
    return XD_OK;
}

XDSTATUS MakeDateTimeKey(const IndexAccess* a, const char* text, void* key) {
    if (!a || !key || !text) return xdb_report(XD_NULLPARAM);
    const size_t n = strlen(text);
    if (n < 8) return xdb_report(XD_BADDATE);
    const IndexFormat* f = index_format(a->type);
    if (!f || !f->date_key) return xdb_report(XD_CORRUPT);
    // The date (yyyymmdd) as the format's date key; a blank date is day 0.
    int y = 0, m = 0, d = 0;
    XDSTATUS s = xdb_read_date(&y, &m, &d, std::string(text, 8).c_str(), 4);
    if (s < 0) return s;
    uint8_t* k = (uint8_t*)key;
    memset(k, 0, a->key_length > 8 ? a->key_length : 8);
    f->date_key(s == XD_EMPTYFILE ? 0 : y, m, d, k);
    xdb_set_status(XD_OK);
    // The time of day behind the date's first four bytes, a day being 2^31 units.
    auto part = [&](size_t at) { return n >= at + 2 ? (text[at] - '0') * 10 + (text[at + 1] - '0') : 0; };
    for (size_t i = 8; i < n && i < 14; i++)
        if (text[i] < '0' || text[i] > '9') return xdb_report(XD_BADDATE);
    index_time_of_day_key(part(8), part(10), part(12), k + 4);
    return XD_OK;
}

void index_time_of_day_key(int hour, int minute, int second, uint8_t* four) {
    const uint32_t time = (uint32_t)hour * 89478485u + (uint32_t)minute * 1491308u + (uint32_t)(second * 24855.135);
    for (int b = 0; b < 4; b++) four[b] = (uint8_t)(time >> (24 - 8 * b));
}

XDSTATUS MakeKeyFromField(const IndexAccess* a, char field_type, const void* value, void* key) {
    switch (field_type) {
    case 'B': case 'F': case 'N': return MakeNumericKey(a, *(const double*)value, key);
    case 'L':
        // A logical key of its own type (FoxPro's) is the letter alone.
        if (a && a->key_type == 'L' && key && value) {
            ((uint8_t*)key)[0] = (uint8_t)((const char*)value)[0];
            return XD_OK;
        }
        return MakeCharacterKey(a, (const char*)value, key);
    case 'C': case 'V': return MakeCharacterKey(a, (const char*)value, key);
    case 'D': return MakeDateKey(a, (const char*)value, key);
    case 'I': return MakeIntegerKey(a, *(const int32_t*)value, key);
    case 'T': return MakeDateTimeKey(a, (const char*)value, key);
    case 'Y': return MakeCurrencyKey(a, *(const double*)value, key);
    default: return xdb_report(XD_EMPTYFILE);
    }
}
