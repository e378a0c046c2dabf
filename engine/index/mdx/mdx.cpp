// MDX multi-tag index files (dBASE IV and later).
//
// The file is addressed in 512-byte blocks (block n at byte n x 512); a page is
// blocks-per-page consecutive blocks (2 in files made here) and is named by its
// first block. Integers are little-endian.
//   block 0, the header
//     0   version 2            1   created (year - 1900, month, day)
//     4   the table's name (8 characters at most, upper case, zero-filled to 16)
//     20  u16 blocks per page (1..32)        22  u16 page size
//     24  production byte       25  tag table size 48      26  tag entry size 32
//     28  u16 tags in use       32  u32 blocks in the file
//     36  u32 first free page   40  u32 free pages         44  updated (3 bytes)
//   blocks 1..3, the tag table: 48 entries of 32 bytes, entry 0 the head of the
//   list, tags in entries 1..count:
//     0 u32 the tag header's block   4 the name (10 characters, zero-ended)
//     17 next entry   18 previous entry   19 always 2   20 key type 'C', 'D', 'N'
//   a tag header (one page)
//     0 u32 root page   8 key format (64 unique, 8 descending, 16 no RIGHT(/LEFT(/
//     DTOC( in the expression)   9 key type   12 u16 key length   14 u16 most keys
//     in a page   16 u16 1 for date keys   18 u16 entry size   24 the key
//     expression (220 characters at most, zero-ended); 245 1 when a FOR
//     condition follows at 762 (pages of 1,024 bytes or more)
//   tree pages: see ndx/dbase_tree.h. A free page holds the next free page at 4.
// Keys: characters blank-padded; dates the Julian day as a double (1.0E100
// blank); numbers packed decimal digits (mdx_number_key).
//
// A tag is made in pages no tree uses and switched in by one write of the header's
// words 28..43 together with the tag table; a removed tag leaves by that same one
// write, and its pages go to the free list afterwards. A stop therefore leaves the
// old set of tags or the new one, with unused pages at most.

#include "engine/index/mdx/mdx.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "engine/core/byteorder.h"
#include "engine/core/condexpr.h"
#include "engine/core/dates.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/keyexpr.h"
#include "engine/core/os.h"
#include "engine/index/index_format.h"
#include "engine/index/ndx/dbase_tree.h"
#include "engine/index/ndx/ndx.h"
#include "engine/index/ordered_commit.h"
#include "engine/index/page_cache.h"
#include "engine/index/rebuild.h"

namespace {

const uint32_t kBlock = 512;
const int kEntries = 48;  // the head and 47 tags
const uint32_t kTableAt = 512, kTableSize = 1536;
const uint32_t kConditionAt = 762, kConditionFlag = 245;

struct MdxFile {
    IndexFile file;
    uint8_t block0[kBlock];      // the header as read and written last
    uint8_t table[kTableSize];   // the tag table as read last
    uint16_t blocks_per_page;
    uint32_t page_size;
    uint32_t tag_count, block_count, free_page, free_count;
    // The free list's words as the file holds them (a change writes them when it
    // moved them).
    uint32_t written_free_page, written_free_count;
    int16_t self;
    int16_t open_tags[kEntries];  // engine handle + 1 of each entry's open tag
    struct MdxTag* active;        // the tag of the operation in progress
};
static_assert(sizeof(MdxFile) <= 4096, "an MDX handle's block fits the engine's control block");

struct MdxTag {
    DbaseTree tree;  // first: the tree turns back into its tag
    MdxFile* mf;
    int16_t file;
    int entry;        // its entry in the tag table
    uint32_t header;  // the block of its header
    char name[11];
    char key_type;
    uint8_t key_format;
    char expression[221];
    char condition[221];
};
static_assert(sizeof(MdxTag) <= 4096, "an MDX tag's block fits the engine's control block");

MdxTag* tag_of(DbaseTree* t) { return (MdxTag*)t; }

XDSTATUS enter(int16_t handle, MdxFile** f) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    void* block;
    if ((s = xdb_select(handle, XDB_KIND_MDX, &block))) return s;
    *f = (MdxFile*)block;
    return XD_OK;
}

XDSTATUS enter_tag(int32_t tag, MdxTag** t) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    void* block;
    if (tag < 0 || tag > 0x7FFF || xdb_select((int16_t)tag, XDB_KIND_MDX_TAG, &block) != XD_OK)
        return xdb_report(XD_BADTAGID);
    *t = (MdxTag*)block;
    (*t)->mf->active = *t;
    return XD_OK;
}

uint8_t* entry_of(MdxFile* f, int i) { return f->table + i * 32; }

std::string entry_name(MdxFile* f, int i) {
    const char* n = (const char*)entry_of(f, i) + 4;
    return std::string(n, strnlen(n, 11));
}

bool same_name(const std::string& a, const char* b) {
    if (a.size() != strlen(b)) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (toupper((unsigned char)a[i]) != toupper((unsigned char)b[i])) return false;
    return true;
}

// ---- The header's words ----

void take_words(MdxFile* f, const uint8_t* w28) {
    f->tag_count = get_le16(w28);
    f->block_count = get_le32(w28 + 4);
    f->written_free_page = f->free_page = get_le32(w28 + 8);
    f->written_free_count = f->free_count = get_le32(w28 + 12);
}

// Words 28..43 as the file holds them now.
XDSTATUS read_words(MdxFile* f) {
    uint8_t w[16];
    XDSTATUS s = xdb_fread_at(f->file.sh, 28, w, 16);
    if (s) return s;
    if (get_le16(w) > kEntries - 1) return xdb_fault(XD_BADTAGCOUNT, true, "the MDX header counts %u tags", get_le16(w));
    take_words(f, w);
    memcpy(f->block0 + 28, w, 16);
    return XD_OK;
}

// The words and the tag table, as the file holds them now.
XDSTATUS read_shared(MdxFile* f) {
    XDSTATUS s = read_words(f);
    return s ? s : xdb_fread_at(f->file.sh, kTableAt, f->table, kTableSize);
}

XDSTATUS write_word(MdxFile* f, uint32_t at, uint32_t value) {
    uint8_t w[4];
    put_le32(w, value);
    put_le32(f->block0 + at, value);
    return xdb_fwrite_at(f->file.sh, at, w, 4, 1);
}

XDSTATUS write_free_words(MdxFile* f) {
    uint8_t w[8];
    put_le32(w, f->free_page);
    put_le32(w + 4, f->free_count);
    XDSTATUS s = xdb_fwrite_at(f->file.sh, 36, w, 8, 1);
    if (s == XD_OK) {
        f->written_free_page = f->free_page;
        f->written_free_count = f->free_count;
    }
    return s;
}

// The switch of a tag set: words 28..43 and the tag table in one write.
XDSTATUS write_tag_set(MdxFile* f) {
    put_le16(f->block0 + 28, (uint16_t)f->tag_count);
    put_le32(f->block0 + 32, f->block_count);
    put_le32(f->block0 + 36, f->free_page);
    put_le32(f->block0 + 40, f->free_count);
    std::vector<uint8_t> bytes(f->block0 + 28, f->block0 + kBlock);
    bytes.insert(bytes.end(), f->table, f->table + kTableSize);
    XDSTATUS s = xdb_fwrite_at(f->file.sh, 28, bytes.data(), (uint32_t)bytes.size(), 1);
    if (s == XD_OK) {
        f->written_free_page = f->free_page;
        f->written_free_count = f->free_count;
    }
    return s;
}

// A page added at the end: the block count is written at once, since it must
// cover every page written.
XDSTATUS append_page(MdxFile* f, uint32_t* page) {
    if ((uint64_t)(f->block_count + f->blocks_per_page) * kBlock > 0xFFFFFFFFull) return xdb_report(XD_WRITEERR);
    // A block count far beyond the file is a damaged header: growing the file to
    // it would blow it up.
    uint32_t size = 0;
    XDSTATUS s = xdb_fsize(f->file.sh, &size);
    if (s) return s;
    if ((uint64_t)f->block_count * kBlock > (uint64_t)size + f->page_size) return xdb_report(XD_CORRUPT);
    *page = f->block_count;
    f->block_count += f->blocks_per_page;
    if (f->active) f->active->tree.end = f->block_count;
    xdb_fset_size(f->file.sh, f->block_count * kBlock);
    return write_word(f, 32, f->block_count);
}

// The page after `page` on the free list: read through the change being made
// when a tag's change is collecting (it may have freed the page itself).
bool next_free(MdxFile* f, uint32_t page, uint32_t* next) {
    if (page < 4 || (uint64_t)page + f->blocks_per_page > f->block_count) return false;
    if (f->active && dbase_in_change()) {
        std::vector<uint8_t> p(f->page_size);
        if (dbase_read_page(&f->active->tree, page, p.data()) != XD_OK) return false;
        *next = get_le32(p.data() + 4);
        return true;
    }
    uint8_t w[4];
    if (xdb_fread_at(f->file.sh, page * kBlock + 4, w, 4) != XD_OK) return false;
    *next = get_le32(w);
    return true;
}

XDSTATUS write_freed(MdxFile* f, uint32_t page, uint32_t next) {
    if (f->active && dbase_in_change()) {
        std::vector<uint8_t> p(f->page_size);
        XDSTATUS s = dbase_read_page(&f->active->tree, page, p.data());
        if (s) return s;
        put_le32(p.data() + 4, next);
        return dbase_write_page(&f->active->tree, page, p.data());
    }
    uint8_t w[4];
    put_le32(w, next);
    return xdb_fwrite_at(f->file.sh, page * kBlock + 4, w, 4, 1);
}

FreePages free_pages_of(MdxFile* mf) {
    FreePages fp{};
    fp.context = mf;
    fp.head = &mf->free_page;
    fp.next_of = [](void* c, uint32_t page, uint32_t* next) { return next_free((MdxFile*)c, page, next); };
    fp.write_freed = [](void* c, uint32_t page, uint32_t next) { return write_freed((MdxFile*)c, page, next); };
    fp.write_head = [](void* c, uint32_t head) {
        MdxFile* f = (MdxFile*)c;
        const uint32_t before = f->free_page;
        f->free_page = head;
        XDSTATUS s = write_free_words(f);
        f->free_page = before;  // the list moves on in the caller
        return s;
    };
    fp.append = [](void* c, uint32_t* page) { return append_page((MdxFile*)c, page); };
    fp.counted = [](void* c, int change) {
        MdxFile* f = (MdxFile*)c;
        if (change > 0) f->free_count++;
        else if (f->free_count > 0) f->free_count--;
    };
    fp.stale_head_forgotten = false;
    return fp;
}

// ---- The file around a tag's tree ----

XDSTATUS refresh(DbaseTree* t) {
    MdxTag* g = tag_of(t);
    XDSTATUS s = read_words(g->mf);
    if (s) return s;
    uint8_t w[4];
    if ((s = xdb_fread_at(g->mf->file.sh, g->header * kBlock, w, 4))) return s;
    t->root = get_le32(w);
    t->end = g->mf->block_count;
    return XD_OK;
}

const DbaseFileOps kMdxTagFile = {
    nullptr,
    [](DbaseTree* t) {
        tag_of(t)->mf->active = tag_of(t);
        t->end = tag_of(t)->mf->block_count;
    },
    refresh,
    [](DbaseTree* t, uint32_t root) {
        uint8_t w[4];
        put_le32(w, root);
        return xdb_fwrite_at(tag_of(t)->mf->file.sh, tag_of(t)->header * kBlock, w, 4, 1);
    },
    [](DbaseTree* t, uint32_t* page) { return append_page(tag_of(t)->mf, page); },
    [](DbaseTree* t, uint32_t count) {
        MdxFile* f = tag_of(t)->mf;
        const uint32_t before = f->block_count;
        f->block_count -= count * f->blocks_per_page;
        t->end = f->block_count;
        XDSTATUS s = write_word(f, 32, f->block_count);
        if (s) return s;
        xdb_fset_size(f->file.sh, f->block_count * kBlock);
        page_cache_drop_range(f->file.cache, f->block_count, before);
        return XDSTATUS(XD_OK);
    },
    [](DbaseTree* t) { return free_pages_of(tag_of(t)->mf); },
    // Pages freed by a change are free once no tree uses them: the list's words
    // go after the switch.
    [](DbaseTree* t, BlockChanges& changes) {
        MdxFile* f = tag_of(t)->mf;
        if (f->free_page == f->written_free_page && f->free_count == f->written_free_count) return;
        FileWrite w{36, std::vector<uint8_t>(8)};
        put_le32(w.bytes.data(), f->free_page);
        put_le32(w.bytes.data() + 4, f->free_count);
        changes.after_switch.push_back(w);
        f->written_free_page = f->free_page;
        f->written_free_count = f->free_count;
    },
    [](DbaseTree*, XDSTATUS) {},
    nullptr,
};

// ---- Keys ----

void date_form(int year, int month, int day, uint8_t* key) {
    const double k = year == 0 ? kMdxBlankDate : ndx_date_key(year, month, day);
    memcpy(key, &k, 8);
}
const DbaseKeyForms kForms = {mdx_number_key, date_form};
const DbaseBlankDates kBlankDates = {kMdxBlankDate, kNdxBlankDate};

// ---- Tags ----

// Reads and checks the tag header at `header`, and makes the tag's tree.
XDSTATUS load_tag(MdxFile* f, uint32_t header, MdxTag* g) {
    if (header < 4 || (uint64_t)header + f->blocks_per_page > f->block_count)
        return xdb_fault(XD_BADROOT, true, "an MDX tag header at block %u outside the %u blocks", header, f->block_count);
    std::vector<uint8_t> h(f->page_size);
    XDSTATUS s = xdb_fread_at(f->file.sh, header * kBlock, h.data(), f->page_size);
    if (s) return s;
    DbaseTree* t = &g->tree;
    t->key_length = get_le16(&h[12]);
    t->max_keys = get_le16(&h[14]);
    t->entry_size = get_le16(&h[18]);
    t->root = get_le32(&h[0]);
    const uint16_t kl = t->key_length, es = t->entry_size, date_key = get_le16(&h[16]);
    const uint8_t format = h[8];
    const char type = (char)h[9];
    const size_t expr_length = strnlen((const char*)&h[24], 221);
    if (kl < 1 || kl > 100 || (type == 'N' && kl != 12) || (type == 'D' && kl != 8))
        return xdb_fault(XD_BADKEYSIZE, true, "an MDX tag's key length %u does not fit its type", kl);
    if (es != kl + 4 && es != ((kl + 7) & ~3))
        return xdb_fault(XD_BADITEMSIZE, true, "an MDX tag's entry size %u does not fit a key of %u bytes", es, kl);
    if (t->root < 4 || t->root >= f->block_count)
        return xdb_fault(XD_BADROOT, true, "an MDX tag's root %u is outside the %u blocks", t->root, f->block_count);
    // dBASE writes (page size - 8) / entry size, one more than fits with the
    // pointer after the last entry when entries are 8 bytes: read as it is, but
    // a page this engine fills keeps room for that pointer.
    if (t->max_keys < 1 || (uint32_t)t->max_keys * es > f->page_size - 8)
        return xdb_fault(XD_BADMAXKEYS, true, "%u keys of %u bytes do not fit an MDX page", t->max_keys, es);
    if ((uint32_t)t->max_keys * es > f->page_size - 12) t->max_keys = (uint16_t)((f->page_size - 12) / es);
    if (expr_length > 220) return xdb_fault(XD_BADKEYEXPR, true, "an MDX tag's expression does not end within 220 characters");
    if (format & ~(8 | 16 | 64)) return xdb_fault(XD_BADKEYFORMAT, true, "an MDX tag's key format %u has unknown bits", format);
    if ((type != 'C' && type != 'D' && type != 'N') || date_key > 1)
        return xdb_fault(XD_BADKEYTYPE, true, "an MDX tag's key type is %u", (unsigned char)type);
    index_normal_expression((const char*)&h[24], g->expression, sizeof g->expression);
    g->condition[0] = 0;
    if (h[kConditionFlag] && f->page_size >= 1024) {
        const size_t n = strnlen((const char*)&h[kConditionAt], 221);
        if (n > 220) return xdb_fault(XD_BADKEYEXPR, true, "an MDX tag's FOR condition does not end within 220 characters");
        snprintf(g->condition, sizeof g->condition, "%s", (const char*)&h[kConditionAt]);
    }
    g->mf = f;
    g->file = f->self;
    g->header = header;
    g->key_type = type;
    g->key_format = format;
    t->ops = &kMdxTagFile;
    t->owner = g;
    t->page_size = f->page_size;
    t->blocks_per_page = f->blocks_per_page;
    t->first_page = 4;
    t->head = 8;
    t->record_at = 0;
    t->key_at = 4;
    t->wide_count = true;
    t->leaf_by_last = true;
    t->kind = type == 'C' ? kDbaseText : type == 'D' ? kDbaseDouble : kDbasePacked;
    t->dates = type == 'D';
    t->unique = format & 64;
    t->descending = format & 8;
    t->end = f->block_count;
    t->cursor.file = &f->file;
    return dbase_tree_init(t, &f->file);
}

// A tag's tree made for the file's own work (a build, a removal), outside the
// engine's handles.
struct ScratchTag {
    MdxTag* g = nullptr;
    ~ScratchTag() {
        if (!g) return;
        if (g->mf->active == g) g->mf->active = nullptr;
        tree_cursor_free(&g->tree.cursor);
        delete g;
    }
    XDSTATUS load(MdxFile* f, uint32_t header) {
        g = new (std::nothrow) MdxTag();
        if (!g) return xdb_report(XD_MEMERR);
        XDSTATUS s = load_tag(f, header, g);
        if (s) {
            delete g;
            g = nullptr;
        }
        return s;
    }
};

// The entry of the tag named `name`, 0 when none.
int find_entry(MdxFile* f, const char* name) {
    for (uint32_t i = 1; i <= f->tag_count; i++)
        if (same_name(entry_name(f, (int)i), name)) return (int)i;
    return 0;
}

XDSTATUS close_tag_handle(int16_t handle) { return mdx_tag_close(handle); }

// The pages of the tree under the tag header at `header`, the header last but
// first freed (the header, then the tree from its leaves up, the root last).
XDSTATUS tag_pages(MdxFile* f, uint32_t header, std::vector<uint32_t>* pages) {
    ScratchTag old;
    XDSTATUS s = old.load(f, header);
    if (s) return s;
    pages->push_back(header);
    auto add = [](void* c, uint32_t page) { ((std::vector<uint32_t>*)c)->push_back(page); };
    // As any operation on the tree: what the cache holds of a shared file is
    // trusted only as far as the file's words say.
    if ((s = dbase_begin(&old.g->tree))) return s;
    s = dbase_tree_pages(&old.g->tree, old.g->tree.root, add, pages);
    dbase_end(&old.g->tree, s);
    return s;
}

// Puts pages on the free list: each page's link first, the list's words last.
XDSTATUS free_after_switch(MdxFile* f, const std::vector<uint32_t>& pages) {
    f->active = nullptr;
    for (uint32_t p : pages) {
        XDSTATUS s = write_freed(f, p, f->free_page);
        if (s) return s;
        f->free_page = p;
        f->free_count++;
    }
    return write_free_words(f);
}

// A page for a new tag: from the free list, else the end of the file.
XDSTATUS new_page(MdxFile* f, uint32_t* page) {
    f->active = nullptr;
    BlockChanges none;
    return free_pages_take(free_pages_of(f), none, page);
}

}  // namespace

// ---- Numbers ----

namespace {

// The value as "%lf" writes it: a sign, the integer digits, a point and six
// decimals. A value whose millionths lie well away from a rounding tie (every
// value of a field of up to six decimals) is written from its integer count of
// millionths, without the general conversion, which is slow; the text is the same.
void fixed_text(double value, char* text, size_t cap) {
    const double millionths = value * 1e6;
    const double whole = std::nearbyint(millionths);
    if (std::fabs(millionths) < 1125899906842624.0 && std::fabs(millionths - whole) < 0.25) {
        uint64_t n = (uint64_t)std::fabs(whole);
        char digits[24];
        int count = 0;
        do {
            digits[count++] = (char)('0' + n % 10);
            n /= 10;
        } while (n > 0 || count < 7);  // at least "0.000000"
        size_t at = 0;
        if (whole < 0) text[at++] = '-';
        for (int i = count - 1; i >= 6; i--) text[at++] = digits[i];
        text[at++] = '.';
        for (int i = 5; i >= 0; i--) text[at++] = digits[i];
        text[at] = 0;
        return;
    }
    snprintf(text, cap, "%lf", value);
}

}  // namespace

void mdx_number_key(double value, uint8_t* key) {
    memset(key, 0, 12);
    key[0] = 52;
    key[1] = 5;
    if (!std::isfinite(value)) value = 0;
    char text[400];
    fixed_text(value, text, sizeof text);
    const char* p = text;
    while (*p == ' ') p++;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') p++;
    while (*p == '0') p++;
    char digits[sizeof text];
    size_t count = 0;
    bool nonzero = false;
    int integer_digits = 0, zeros_after_point = 0;
    for (; isdigit((unsigned char)*p); p++, integer_digits++) digits[count++] = *p;
    if (*p == '.') {
        p++;
        if (integer_digits == 0)
            for (; *p == '0'; p++) zeros_after_point++;
        for (; isdigit((unsigned char)*p); p++) digits[count++] = *p;
    }
    for (size_t i = 0; i < count; i++) nonzero |= digits[i] != '0';
    if (!nonzero) return;  // zero
    key[0] = (uint8_t)(integer_digits > 0 ? 52 + integer_digits : 52 - zeros_after_point);
    key[1] = negative ? 133 : 5;
    for (size_t i = 0; i < count && i < 20; i++)
        key[2 + i / 2] |= (uint8_t)((digits[i] - '0') << (i % 2 ? 0 : 4));
}

double mdx_key_number(const uint8_t* key) {
    char text[40] = "0.";
    for (int i = 0; i < 20; i++) {
        const int d = (key[2 + i / 2] >> (i % 2 ? 0 : 4)) & 15;
        text[2 + i] = (char)('0' + (d > 9 ? 9 : d));
    }
    snprintf(text + 22, sizeof text - 22, "e%d", (int)key[0] - 52);
    const double v = strtod(text, nullptr);
    return (key[1] & 0x80) ? -v : v;
}

// ---- The file ----

namespace {

XDSTATUS create_file(const char* name, const char* data_name, uint8_t production, uint16_t blocks_per_page) {
    uint8_t bytes[4 * kBlock] = {0};
    int y = 0, m = 0, d = 0, w = 0;
    xdb_today(&y, &m, &d, &w);
    bytes[0] = 2;
    bytes[1] = bytes[44] = (uint8_t)(y - 1900);
    bytes[2] = bytes[45] = (uint8_t)m;
    bytes[3] = bytes[46] = (uint8_t)d;
    for (size_t i = 0; data_name[i] && i < 8; i++) bytes[4 + i] = (uint8_t)toupper((unsigned char)data_name[i]);
    put_le16(bytes + 20, blocks_per_page);
    put_le16(bytes + 22, (uint16_t)(blocks_per_page * kBlock));
    bytes[24] = production;
    bytes[25] = 48;
    bytes[26] = 32;
    put_le32(bytes + 32, 4);
    uint16_t sh;
    XDSTATUS s = xdb_fcreate(&sh, name);
    if (s) return s;
    s = xdb_fwrite_at(sh, 0, bytes, sizeof bytes, 1);
    XDSTATUS c = xdb_fclose(sh);
    if (s) return s;
    return c ? c : xdb_status();
}

}  // namespace

XDSTATUS mdx_create_file(const char* name) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!name) return xdb_report(XD_NULLPARAM);
    // The name part: after the last ':', '\' or '/', before the first '.' after it.
    const char* base = name;
    for (const char* p = name; *p; p++)
        if (*p == ':' || *p == '\\' || *p == '/') base = p + 1;
    const size_t n = strcspn(base, ".");
    if (n > 8 || n == 0) return xdb_report(XD_BADFILENAME);
    return create_file(name, std::string(base, n).c_str(), 0, 2);
}

XDSTATUS mdx_open(int16_t* handle, const char* name, uint16_t open_mode) {
    xdb_clear_fault();
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!handle || !name) return xdb_report(XD_NULLPARAM);
    *handle = -1;
    const uint8_t dialect = (uint8_t)(open_mode & 0xFF);
    if (dialect != 0 && dialect != 2) return xdb_report(XD_BADVERSION);
    int16_t h;
    void* block;
    if ((s = xdb_alloc_slot(XDB_KIND_MDX, &h, &block))) return s;
    xdb_register_closer(XDB_KIND_MDX, mdx_close);
    MdxFile* f = (MdxFile*)block;
    f->self = h;
    uint32_t size = 0;
    if ((s = index_file_open(&f->file, name, xdb_expand_open_mode(open_mode), &size))) {
        xdb_release_slot(h);
        return s;
    }
    const uint8_t* b = f->block0;
    if (size < 48) s = xdb_fault(XD_BADVERSION, true, "an MDX file of %u bytes has no header", size);
    else s = xdb_fread_at(f->file.sh, 0, f->block0, size < kBlock ? size : kBlock);
    if (s == XD_OK) {
        f->blocks_per_page = get_le16(b + 20);
        f->page_size = get_le16(b + 22);
        if (b[0] != 2) s = xdb_fault(XD_BADVERSION, true, "the MDX version is %u, not 2", b[0]);
        else if (f->blocks_per_page < 1 || f->blocks_per_page > 32)
            s = xdb_fault(XD_BADBLOCKSIZE, true, "an MDX page of %u blocks", f->blocks_per_page);
        else if (f->page_size != f->blocks_per_page * kBlock)
            s = xdb_fault(XD_BADOFFSET, true, "the MDX page size %u is not %u blocks", f->page_size, f->blocks_per_page);
        else if (b[25] != 48) s = xdb_fault(XD_BADTAGTABLEMAX, true, "the MDX tag table has %u entries, not 48", b[25]);
        else if (b[26] != 32) s = xdb_fault(XD_BADTAGITEMSIZE, true, "the MDX tag entries are %u bytes, not 32", b[26]);
        else if (get_le16(b + 28) > 47) s = xdb_fault(XD_BADTAGCOUNT, true, "the MDX header counts %u tags", get_le16(b + 28));
        else if (get_le32(b + 32) < 4) s = xdb_fault(XD_BADHEADERSIZE, true, "the MDX header counts %u blocks", get_le32(b + 32));
        else if (size < kTableAt + kTableSize) s = xdb_fault(XD_BADHEADERSIZE, true, "an MDX file of %u bytes has no tag table", size);
    }
    if (s == XD_OK) {
        take_words(f, b + 28);
        s = xdb_fread_at(f->file.sh, kTableAt, f->table, kTableSize);
    }
    if (s == XD_OK) s = index_file_set_pages(&f->file, f->page_size, kBlock, 0);
    if (s != XD_OK) {
        xdb_report(s);
        index_file_close(&f->file);
        xdb_set_status(s);
        xdb_release_slot(h);
        return s;
    }
    *handle = h;
    if ((uint64_t)f->block_count * kBlock != size) xdb_report(XD_BADFILESIZE);
    return xdb_status();
}

XDSTATUS mdx_close(int16_t handle) {
    MdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    for (int i = 0; i < kEntries; i++) {
        xdb_set_status(XD_OK);  // each open tag goes, whatever the one before said
        if (f->open_tags[i]) mdx_tag_close(f->open_tags[i] - 1);
    }
    xdb_set_status(XD_OK);
    s = index_file_close(&f->file);
    xdb_release_slot(handle);
    return s ? s : xdb_status();
}

XDSTATUS mdx_file_info(int16_t handle, MdxFileInfo* info) {
    MdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    if (!info) return xdb_report(XD_NULLPARAM);
    if (!index_file_alone(&f->file) && (s = read_shared(f))) return s;
    info->tag_count = (int16_t)f->tag_count;
    info->blocks_per_page = f->blocks_per_page;
    info->block_count = f->block_count;
    info->free_page = f->free_page;
    info->free_count = f->free_count;
    info->file_name = f->file.name;
    return xdb_status();
}

XDSTATUS mdx_tag_list(int16_t handle, int16_t* count, uint64_t* stamp) {
    MdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    if (!count) return xdb_report(XD_NULLPARAM);
    if (!index_file_alone(&f->file) && (s = read_shared(f))) return s;
    *count = (int16_t)f->tag_count;
    // The tag table's entries in use: each tag's header block, name and key form.
    if (stamp) *stamp = xdb_digest(kXdbDigestStart, entry_of(f, 1), (size_t)f->tag_count * 32);
    return xdb_status();
}

XDSTATUS mdx_tag_count(int16_t handle, int16_t* count) { return mdx_tag_list(handle, count, nullptr); }

XDSTATUS mdx_tag_open(int16_t handle, const char* name, int16_t number, int32_t* tag) {
    MdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    if (!tag) return xdb_report(XD_NULLPARAM);
    *tag = -1;
    if (!index_file_alone(&f->file) && (s = read_shared(f))) return s;
    int entry = 0;
    if (name) {
        if (strlen(name) < 1 || strlen(name) > 10 || !(entry = find_entry(f, name)))
            return xdb_fault(XD_BADTAGNAME, true, "no tag %s in %s", name, f->file.name);
    } else {
        if (number < 1 || (uint32_t)number > f->tag_count) return xdb_report(XD_BADTAGNAME);
        entry = number;
    }
    if (f->open_tags[entry]) return xdb_report(XD_TAGINUSE);
    int16_t h;
    void* block;
    if ((s = xdb_alloc_slot(XDB_KIND_MDX_TAG, &h, &block))) return s;
    xdb_register_closer(XDB_KIND_MDX_TAG, close_tag_handle);
    MdxTag* g = (MdxTag*)block;
    if ((s = load_tag(f, get_le32(entry_of(f, entry)), g))) {
        xdb_release_slot(h);
        return s;
    }
    g->entry = entry;
    snprintf(g->name, sizeof g->name, "%s", entry_name(f, entry).c_str());
    for (char* p = g->name; *p; p++) *p = (char)toupper((unsigned char)*p);
    f->open_tags[entry] = (int16_t)(h + 1);
    *tag = h;
    return xdb_status();
}

XDSTATUS mdx_tag_close(int32_t tag) {
    MdxTag* g = nullptr;
    XDSTATUS s = enter_tag(tag, &g);
    if (s) return s;
    MdxFile* f = g->mf;
    if (f->active == g) f->active = nullptr;
    if (g->entry > 0 && g->entry < kEntries && f->open_tags[g->entry] == tag + 1) f->open_tags[g->entry] = 0;
    tree_cursor_free(&g->tree.cursor);
    xdb_release_slot((int16_t)tag);
    return xdb_status();
}

XDSTATUS mdx_tag_info(int32_t tag, MdxTagInfo* info) {
    MdxTag* g = nullptr;
    XDSTATUS s = enter_tag(tag, &g);
    if (s) return s;
    if (!info) return xdb_report(XD_NULLPARAM);
    snprintf(info->name, sizeof info->name, "%s", g->name);
    info->key_type = g->key_type;
    info->key_length = g->tree.key_length;
    info->flags = (uint16_t)((g->tree.unique ? MDX_UNIQUE : 0) | (g->tree.descending ? MDX_DESCENDING : 0));
    info->expression_length = (uint16_t)strlen(g->expression);
    snprintf(info->expression, sizeof info->expression, "%s", g->expression);
    snprintf(info->condition, sizeof info->condition, "%s", g->condition);
    info->header = g->header;
    info->root = g->tree.root;
    info->file_name = g->mf->file.name;
    return xdb_status();
}

// ---- Tags made and removed ----

namespace {

struct TagRequest {
    const char* name;
    uint16_t key_type;
    const char* expression;
    const char* condition;
    uint16_t key_length;
};

// The tag header of a new tag, and its key length.
XDSTATUS tag_header(const MdxFile* f, const TagRequest& r, uint32_t root, std::vector<uint8_t>* out, char* letter) {
    char normal[256];
    index_normal_expression(r.expression, normal, sizeof normal);
    const std::string expr = normal, cond = r.condition ? r.condition : "";
    if (expr.empty() || expr.size() > 220 || cond.size() > 220) return xdb_report(XD_BADKEYEXPR);
    if (!cond.empty() && f->page_size < 1024) return xdb_fault(XD_BADKEYEXPR, true, "a FOR condition needs pages of 1,024 bytes");
    const char type = (char)toupper(r.key_type & 0x7F);
    uint16_t kl = r.key_length;
    if (type == 'C') {
        if (kl < 1 || kl > 100) return xdb_report(XD_BADKEYSIZE);
    } else if (type == 'D') {
        kl = 8;
    } else if (type == 'N') {
        kl = 12;
    } else {
        return xdb_report(XD_BADKEYTYPE);
    }
    const uint16_t es = (uint16_t)(((kl + 3) & ~3) + 4);
    out->assign(f->page_size, 0);
    uint8_t* h = out->data();
    put_le32(h, root);
    uint8_t format = 0;
    if (r.key_type & MDX_UNIQUE) format |= 64;
    if (r.key_type & MDX_DESCENDING) format |= 8;
    if (expr.find("RIGHT(") == std::string::npos && expr.find("LEFT(") == std::string::npos &&
        expr.find("DTOC(") == std::string::npos)
        format |= 16;
    h[8] = format;
    h[9] = (uint8_t)type;
    put_le16(h + 12, kl);
    put_le16(h + 14, (uint16_t)((f->page_size - 12) / es));
    put_le16(h + 16, type == 'D' ? 1 : 0);
    put_le16(h + 18, es);
    memcpy(h + 24, expr.data(), expr.size());
    if (!cond.empty()) {
        h[kConditionFlag] = 1;
        memcpy(h + kConditionAt, cond.data(), cond.size());
    }
    *letter = type;
    return XD_OK;
}

XDSTATUS create_tag(MdxFile* f, const TagRequest& r, int16_t data) {
    if (!r.name || !r.expression) return xdb_report(XD_NULLPARAM);
    if (!index_valid_tag_name(r.name)) return xdb_report(XD_BADTAGNAME);
    if (f->file.file_mode & XDB_FILE_READONLY) return xdb_report(XD_READONLY);
    XDSTATUS s = read_shared(f);
    if (s) return s;
    const int old = find_entry(f, r.name);
    if (old && f->open_tags[old]) return xdb_report(XD_TAGINUSE);
    const int entry = old ? old : (int)f->tag_count + 1;
    if (entry >= kEntries) return xdb_report(XD_NOHANDLE);
    std::vector<uint8_t> head;
    char letter = 0;
    if ((s = tag_header(f, r, 0, &head, &letter))) return s;
    // Pages no tree uses: the header, the root, and (filled from the table) the
    // tree's pages from the end of the file.
    uint32_t header = 0, root = 0;
    if ((s = new_page(f, &header)) || (s = new_page(f, &root))) return s;
    put_le32(head.data(), root);
    std::vector<uint8_t> empty(f->page_size, 0);
    if ((s = xdb_fwrite_at(f->file.sh, header * kBlock, head.data(), f->page_size, 1)) ||
        (s = xdb_fwrite_at(f->file.sh, root * kBlock, empty.data(), f->page_size, 1)))
        return s;
    if (data >= 0) {
        ScratchTag fresh;
        if ((s = fresh.load(f, header))) return s;
        DbaseTree* t = &fresh.g->tree;
        t->end = f->block_count;
        s = dbase_build(t, kForms, data, fresh.g->expression, fresh.g->condition, root);
        dbase_end(t, s);
        if (s < 0) return s;
        f->block_count = t->end;
        if ((s = write_word(f, 32, f->block_count))) return s;
        uint8_t w[4];
        put_le32(w, t->root);
        if ((s = xdb_fwrite_at(f->file.sh, header * kBlock, w, 4, 1))) return s;
        page_cache_forget(f->file.cache);
    }
    std::vector<uint32_t> freed;
    if (old && (s = tag_pages(f, get_le32(entry_of(f, old)), &freed))) return s;
    // The switch: the entry names the new header.
    uint8_t* e = entry_of(f, entry);
    if (!old) {
        memset(e, 0, 32);
        e[18] = (uint8_t)(entry - 1);
        e[19] = 2;
        entry_of(f, entry - 1)[17] = (uint8_t)entry;
        f->tag_count++;
    }
    put_le32(e, header);
    memset(e + 4, 0, 11);
    for (size_t i = 0; r.name[i] && i < 10; i++) e[4 + i] = (uint8_t)toupper((unsigned char)r.name[i]);
    e[20] = (uint8_t)letter;
    if ((s = write_tag_set(f))) return s;
    return old ? free_after_switch(f, freed) : XD_OK;
}

XDSTATUS remove_tag(MdxFile* f, const char* name) {
    if (!name) return xdb_report(XD_NULLPARAM);
    if (strlen(name) < 1 || strlen(name) > 10) return xdb_report(XD_BADTAGNAME);
    if (f->file.file_mode & XDB_FILE_READONLY) return xdb_report(XD_READONLY);
    XDSTATUS s = read_shared(f);
    if (s) return s;
    const int i = find_entry(f, name);
    if (!i) return xdb_report(XD_BADTAGNAME);
    if (f->open_tags[i]) return xdb_report(XD_TAGINUSE);
    std::vector<uint32_t> freed;
    if ((s = tag_pages(f, get_le32(entry_of(f, i)), &freed))) return s;
    const int n = (int)f->tag_count;
    if (i != n) {
        // The last tag takes the entry: its open handle follows it.
        memcpy(entry_of(f, i), entry_of(f, n), 32);
        entry_of(f, i)[18] = (uint8_t)(i - 1);
        entry_of(f, i)[17] = (uint8_t)(i + 1);
        f->open_tags[i] = f->open_tags[n];
        f->open_tags[n] = 0;
        if (f->open_tags[i]) {
            void* block;
            if (xdb_select((int16_t)(f->open_tags[i] - 1), XDB_KIND_MDX_TAG, &block) == XD_OK) ((MdxTag*)block)->entry = i;
        }
    }
    memset(entry_of(f, n), 0, 32);
    f->tag_count = (uint32_t)(n - 1);
    entry_of(f, (int)f->tag_count)[17] = 0;
    if ((s = write_tag_set(f))) return s;
    return free_after_switch(f, freed);
}

}  // namespace

XDSTATUS mdx_create_tag(int16_t handle, const char* name, uint16_t key_type, const char* expression,
                        const char* condition, uint16_t key_length, int16_t data) {
    MdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    s = create_tag(f, TagRequest{name, key_type, expression, condition, key_length}, data);
    if (s < 0) page_cache_forget(f->file.cache);
    return s < 0 ? xdb_report(s) : xdb_status();
}

XDSTATUS mdx_remove_tag(int16_t handle, const char* name) {
    MdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    s = remove_tag(f, name);
    page_cache_forget(f->file.cache);
    return s < 0 ? xdb_report(s) : xdb_status();
}

// ---- Key operations on a tag ----

#define MDX_TAG(tag, t)                           \
    MdxTag* g_ = nullptr;                         \
    if (XDSTATUS e_ = enter_tag(tag, &g_)) return e_; \
    DbaseTree* t = &g_->tree

XDSTATUS mdx_first(int16_t tag, void* key, uint32_t* recno) {
    MDX_TAG(tag, t);
    return dbase_first_or_last(t, key, recno, false);
}
XDSTATUS mdx_last(int16_t tag, void* key, uint32_t* recno) {
    MDX_TAG(tag, t);
    return dbase_first_or_last(t, key, recno, true);
}
XDSTATUS mdx_next(int16_t tag, void* key, uint32_t* recno) {
    MDX_TAG(tag, t);
    return dbase_step(t, key, recno, true);
}
XDSTATUS mdx_previous(int16_t tag, void* key, uint32_t* recno) {
    MDX_TAG(tag, t);
    return dbase_step(t, key, recno, false);
}
XDSTATUS mdx_resync(int16_t tag, void* key, uint32_t* recno) {
    MDX_TAG(tag, t);
    return dbase_resync(t, key, recno);
}
XDSTATUS mdx_seek(int16_t tag, void* key, uint16_t key_size, uint32_t* recno, uint16_t mode) {
    MDX_TAG(tag, t);
    return dbase_seek(t, key, key_size, recno, mode, g_->key_type == 'D' ? &kBlankDates : nullptr);
}
XDSTATUS mdx_add_key(int16_t tag, const void* key, uint16_t key_size, uint32_t recno) {
    MDX_TAG(tag, t);
    return dbase_add(t, key, key_size, recno);
}
XDSTATUS mdx_delete_key(int16_t tag, const void* key, uint16_t key_size, uint32_t recno) {
    MDX_TAG(tag, t);
    return dbase_delete(t, key, key_size, recno);
}
XDSTATUS mdx_key_from_record(int16_t tag, int16_t data_handle, void* key) {
    MDX_TAG(tag, t);
    if (!key) return xdb_report(XD_NULLPARAM);
    XDSTATUS s = dbase_key_of_record(t, kForms, data_handle, g_->expression, (uint8_t*)key);
    if (s < 0) return s;
    if (t->kind == kDbaseText) ((uint8_t*)key)[t->key_length] = 0;
    return xdb_status();
}
XDSTATUS mdx_record_included(int16_t tag, int16_t data_handle, bool* included) {
    MdxTag* g = nullptr;
    XDSTATUS s = enter_tag(tag, &g);
    if (s) return s;
    if (!included) return xdb_report(XD_NULLPARAM);
    *included = true;
    if (!g->condition[0]) return xdb_status();
    char why[160];
    if ((s = xdb_eval_condition(data_handle, g->condition, included, why, sizeof why)) < 0)
        return xdb_fault(s, true, "the FOR condition %s of tag %s: %s", g->condition, g->name, why);
    return xdb_status();
}

// ---- Checks ----

namespace {

XDSTATUS check_tree(MdxTag* g, uint32_t* entries, char* fault, size_t cap,
                    void (*entry)(void* context, const uint8_t* key, uint32_t recno), void* context) {
    DbaseTree* t = &g->tree;
    XDSTATUS s = dbase_begin(t);
    if (s) return s;
    uint32_t size = 0;
    if ((s = xdb_fsize(g->mf->file.sh, &size))) return s;
    s = XD_CORRUPT;
    if ((uint64_t)t->end * kBlock > size)
        snprintf(fault, cap, "header: %u blocks counted, the file holds %u", t->end, size / kBlock);
    else if (!dbase_page_in_file(t, t->root))
        snprintf(fault, cap, "tag %s: root %u outside the %u blocks", g->name, t->root, t->end);
    else
        s = tree_check(dbase_check_pages(t), entries, fault, cap, entry, context);
    dbase_end(t, s);
    return s;
}

}  // namespace

XDSTATUS mdx_check(int16_t tag, uint32_t* entries, char* fault, size_t cap,
                   void (*entry)(void* context, const uint8_t* key, uint32_t recno), void* context) {
    MdxTag* g = nullptr;
    XDSTATUS s = enter_tag(tag, &g);
    if (s) return s;
    if (!fault || cap == 0) return xdb_report(XD_NULLPARAM);
    fault[0] = 0;
    if (entries) *entries = 0;
    s = check_tree(g, entries, fault, cap, entry, context);
    return s == XD_OK ? xdb_status() : xdb_report(s);
}

XDSTATUS mdx_check_file(int16_t handle, char* fault, size_t cap) {
    MdxFile* f = nullptr;
    XDSTATUS s = enter(handle, &f);
    if (s) return s;
    if (!fault || cap == 0) return xdb_report(XD_NULLPARAM);
    fault[0] = 0;
    if ((s = read_shared(f))) return s;
    uint32_t size = 0;
    if ((s = xdb_fsize(f->file.sh, &size))) return s;
    if ((uint64_t)f->block_count * kBlock > size) {
        snprintf(fault, cap, "header: %u blocks counted, the file holds %u", f->block_count, size / kBlock);
        return xdb_report(XD_CORRUPT);
    }
    // Every block once: the header and tag table, each tag's header and tree, the
    // free list.
    std::vector<uint8_t> owner(f->block_count, 0);
    for (int b = 0; b < 4; b++) owner[(size_t)b] = 1;
    auto claim = [&](uint32_t page, uint8_t who) {
        if ((uint64_t)page + f->blocks_per_page > owner.size()) return false;
        for (uint32_t b = page; b < page + f->blocks_per_page; b++) {
            if (owner[b]) return false;
            owner[b] = who;
        }
        return true;
    };
    for (uint32_t i = 1; i <= f->tag_count; i++) {
        ScratchTag g;
        const std::string name = entry_name(f, (int)i);
        char why[200] = "";
        if ((s = g.load(f, get_le32(entry_of(f, (int)i)))) == XD_OK) {
            snprintf(g.g->name, sizeof g.g->name, "%s", name.c_str());
            uint32_t entries = 0;
            s = check_tree(g.g, &entries, why, sizeof why, nullptr, nullptr);
        }
        std::vector<uint32_t> pages;
        if (s == XD_OK) s = tag_pages(f, g.g->header, &pages);
        if (s < 0) {
            xdb_set_status(XD_OK);
            snprintf(fault, cap, "tag %s: %s", name.c_str(), why[0] ? why : "unreadable");
            return xdb_report(XD_CORRUPT);
        }
        for (uint32_t p : pages)
            if (!claim(p, 2)) {
                snprintf(fault, cap, "tag %s: page %u belongs to another tree", name.c_str(), p);
                return xdb_report(XD_CORRUPT);
            }
    }
    f->active = nullptr;
    uint32_t steps = 0;
    for (uint32_t p = f->free_page; p; steps++) {
        uint32_t next = 0;
        if (steps > f->block_count || !claim(p, 3) || !next_free(f, p, &next)) {
            snprintf(fault, cap, "a bad free list at page %u", p);
            return xdb_report(XD_CORRUPT);
        }
        p = next;
    }
    if (steps != f->free_count) {
        snprintf(fault, cap, "the free list holds %u pages, the header counts %u", steps, f->free_count);
        return xdb_report(XD_CORRUPT);
    }
    uint32_t unused = 0;
    for (uint8_t o : owner) unused += o == 0;
    if (unused) snprintf(fault, cap, "%u blocks neither in a tree nor free (unused space)", unused);
    return xdb_status();
}

// ---- The rebuild ----

namespace {

struct TagPlan {
    std::string name, expression, condition;
    uint16_t key_type, key_length;
};

struct RebuildPlan {
    int16_t data;
    std::string data_name;
    uint8_t production;
    std::vector<TagPlan> tags;
};

XDSTATUS build_file(void* context, const char* temporary) {
    const RebuildPlan* plan = (const RebuildPlan*)context;
    XDSTATUS s = create_file(temporary, plan->data_name.c_str(), plan->production, 2);
    if (s) return s;
    int16_t h = -1;
    if ((s = mdx_open(&h, temporary, 0)) < 0) return s;
    for (const TagPlan& p : plan->tags) {
        if ((s = mdx_create_tag(h, p.name.c_str(), p.key_type, p.expression.c_str(), p.condition.c_str(), p.key_length,
                                plan->data)) < 0)
            break;
    }
    return close_built_index(h, mdx_close, temporary, s < 0 ? s : XD_OK);
}

}  // namespace

XDSTATUS mdx_rebuild(int16_t data, const char* name) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!name) return xdb_report(XD_NULLPARAM);
    int16_t h = -1;
    if ((s = mdx_open(&h, name, XDB_OPEN_READONLY | XDB_OPEN_SHORTHAND)) < 0) return s;
    MdxFile* f = nullptr;
    enter(h, &f);
    RebuildPlan plan{data, std::string((const char*)f->block0 + 4, strnlen((const char*)f->block0 + 4, 8)),
                     f->block0[24], {}};
    for (uint32_t i = 1; s >= 0 && i <= f->tag_count; i++) {
        ScratchTag g;
        if ((s = g.load(f, get_le32(entry_of(f, (int)i)))) < 0) break;
        const uint16_t type = (uint16_t)(g.g->key_type | (g.g->tree.unique ? MDX_UNIQUE : 0) |
                                         (g.g->tree.descending ? MDX_DESCENDING : 0));
        plan.tags.push_back(TagPlan{entry_name(f, (int)i), g.g->expression, g.g->condition, type, g.g->tree.key_length});
    }
    XDSTATUS c = mdx_close(h);
    if (s < 0) return s;
    if (c < 0) return c;
    return rebuild_beside(name, ".MDX", build_file, &plan);
}

// ---- The format's table for the uniform layer ----

namespace {

XDSTATUS describe(int16_t tag, IndexDescription* out) {
    MdxTagInfo info;
    XDSTATUS s = mdx_tag_info(tag, &info);
    if (s < 0) return s;
    index_describe(out, info.key_type, info.key_length, info.flags, 0, info.expression, info.condition, info.name, nullptr);
    return XD_OK;
}

int compare_keys(int16_t tag, bool, const void* left, const void* right, uint16_t length) {
    MdxTag* g = nullptr;
    const XDSTATUS pending = xdb_get_status();
    const bool ok = enter_tag(tag, &g) == XD_OK;
    xdb_set_status(pending);
    if (!ok) return memcmp(left, right, length);
    return dbase_compare(&g->tree, (const uint8_t*)left, (const uint8_t*)right, length, false);
}

// A descending tag's walk ends with its lowest bytes; an ascending one's by the
// collation.
int last_byte(int16_t tag) {
    MdxTag* g = nullptr;
    const XDSTATUS pending = xdb_get_status();
    const bool descending = enter_tag(tag, &g) == XD_OK && g->tree.descending;
    xdb_set_status(pending);
    return descending ? 0x00 : -1;
}

XDSTATUS check(int16_t handle, uint32_t* entries, char* fault, size_t cap, IndexEntryFn entry, void* context) {
    if (xdb_slot_kind(handle) == XDB_KIND_MDX) {
        if (entries) *entries = 0;
        return mdx_check_file(handle, fault, cap);
    }
    return mdx_check(handle, entries, fault, cap, entry, context);
}

XDSTATUS make_tag(int16_t h, int16_t data, const IndexTagBuild* b) {
    const uint16_t type =
        (uint16_t)(b->key_type | (b->unique ? MDX_UNIQUE : 0) | (b->descending ? MDX_DESCENDING : 0));
    return mdx_create_tag(h, b->tag_name, type, b->expression, b->condition, b->key_length, data);
}

XDSTATUS number_key(int16_t, double value, uint16_t, uint8_t* key) {
    mdx_number_key(value, key);
    return XD_OK;
}

double key_number(const uint8_t* key, uint16_t size) {
    if (size == 12) return mdx_key_number(key);
    double d;
    memcpy(&d, key, 8);
    return d;
}

bool key_date(const uint8_t* key, int* year, int* month, int* day) {
    double d;
    memcpy(&d, key, 8);
    return ndx_date_from_key(d, year, month, day);
}

}  // namespace

const IndexFormat kMdxFormat = {
    ".mdx",        false,          [](const IndexCreateRequest* r) { return index_create_tag_request(kMdxFormat, r); },      mdx_open,            mdx_close,    describe,
    mdx_first,     mdx_last,       mdx_next,            mdx_previous,        mdx_resync,   mdx_seek,
    mdx_add_key,   mdx_delete_key, mdx_key_from_record, mdx_record_included, compare_keys,
    [](int16_t data, const char* name, uint8_t, const char*, uint16_t, uint16_t) { return mdx_rebuild(data, name); },
    check,         number_key,     date_form,           key_number,          key_date,     last_byte,
    mdx_tag_list,
    [](int16_t file, const char* name, int16_t number, int32_t* tag) {
        return mdx_tag_open(file, name, (int16_t)(name ? 0 : number + 1), tag);
    },
    mdx_tag_close, nullptr,
    [](int16_t data, const IndexTagBuild* b) { return index_build_tag_in_file(kMdxFormat, data, b, make_tag); },
    mdx_remove_tag, mdx_create_file,
    [](int16_t h, int16_t data) {
        MdxFile* f;
        XDSTATUS s = enter(h, &f);
        if (s == XD_OK) index_file_hold(&f->file, data);
        return s;
    },
};
