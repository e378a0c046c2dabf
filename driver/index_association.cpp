// Index files joined to a table description (see index_association.h).

#include "driver/index_association.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "driver/field_types.h"
#include "driver/index_names.h"
#include "driver/key_translation.h"
#include "driver/paths.h"
#include "driver/xbase_objects.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/index/index.h"
#include "engine/index/index_owner.h"
#include "framework/codepage.h"
#include "framework/error.h"

namespace fs = std::filesystem;

namespace {

// What one tag will give the description once every tag has succeeded.
struct Association {
    bool created = false;
    XbaseItemDescription* item = nullptr;  // one reference
    int options = 0;
    int key_number = 0;
    int tag = 0;
};

bool plain_field_name(const std::string& expression) {
    return expression.find_first_of(" ()+") == std::string::npos;
}

std::u16string wide(const std::string& text) { return codepage_to_wide(1252, text.data(), text.size()); }
std::string narrow(const std::u16string& text) { return codepage_from_wide(1252, text); }

bool is_composite(const XbaseItemDescription* item) { return !item->field && !item->components.empty(); }

}  // namespace

bool make_composite_key(XbaseTableDescription* d, XbaseItemDescription* key, const std::string& expression,
                        CXErrorHolder* holder, KeyTranslation* translation) {
    // Components are fields, with their type letters and lengths in the data file.
    auto lookup = [&](const std::string& name, KeyField* f) {
        XbaseItemDescription* item = d->Find(wide(name));
        if (!item || !item->field) return false;
        f->type = item->type_letter;
        f->length = item->field_length;
        return true;
    };
    KeyTranslation t = translate_key_expression(expression, narrow(key->name), lookup);
    if (!t.ok) {
        raise_key_translation_error(holder, t, expression, narrow(key->name));
        return false;
    }
    // The host sees the key as the sum of its components.
    key->components.clear();
    key->size = 0;
    for (const std::string& name : t.components) {
        XbaseItemDescription* component = d->Find(wide(name));
        key->components.push_back(component);
        key->size += component->size;
    }
    key->field = false;
    key->host_type = kItemBinary;
    if (translation) *translation = t;
    return true;
}

int associate_index(XbaseTableDescription* d, const std::u16string& path, const std::u16string& key_name, int options,
                    CXErrorHolder* holder) {
    const std::string file = system_name_from_wide(path);
    const int type = index_type_of_path(file);
    // A format the engine does not read yet is as unsupported as an unknown one.
    if (type == kIndexUnsupported || !index_format_available(type)) {
        raise_error(holder, 1058, 102, 7, {path});
        return 0;
    }
    int16_t h = -1;
    // Shared as the data file is: another program associating or writing the file
    // at this instant must not be kept out.
    XDSTATUS s = IndexOpen(type, file.c_str(), XDB_OPEN_READONLY | XDB_OPEN_SHARED, &h);
    if (s < 0) {
        int status = s;
        raise_error(holder, 1001, 102, 8, {path}, &status);
        xdb_set_status(XD_OK);
        return 0;
    }
    int16_t tags = 0;
    if (TagCount(type, h, &tags) < 0 || tags < 1) {
        raise_error(holder, 1019, 102, 5, {path});
        IndexClose(type, h);
        xdb_set_status(XD_OK);
        return 0;
    }
    const bool by_tag_name = tags > 1 || index_is_multitag(type) || type == kIndexMdx || key_name.empty();
    std::vector<Association> done;
    bool ok = true;
    int next_key = d->NextKeyNumber();
    for (int t = 0; t < tags && ok; t++) {
        IndexDescription desc;
        if (IndexDescribeTag(type, h, (int16_t)t, &desc) < 0) {
            raise_error(holder, 1019, 102, 5, {path});
            ok = false;
            break;
        }
        if ((options & kAssociateConditionalLater) && !desc.for_expression.empty() && tags == 1) {
            IndexClose(type, h);
            xdb_set_status(XD_OK);
            return 2;
        }
        std::u16string name = by_tag_name ? wide(desc.name) : key_name;
        Association a;
        a.tag = t;
        XbaseItemDescription* item = d->Find(name);
        if (!item) {
            for (Association& earlier : done)
                if (earlier.created && earlier.item->name == name) item = earlier.item;
        }
        if (item && (options & kAssociateKeepKeys) && item->key_number > 0 && !item->index_path.empty() &&
            item->index_path != path) {
            // Found in the directory, this file may belong to another table with a
            // field of that name: the key keeps the file it has.
            d->Report(u"L'index '" + path + u"' ne donne pas la clé '" + name + u"', qui vient déjà de '" +
                      item->index_path + u"' ; il est tenu à jour comme les autres index de la table.");
            continue;
        }
        if (item) {
            // The tag's key is that item: its expression must be the field itself,
            // or the item a composite key already.
            if (!plain_field_name(desc.key_expression) && !is_composite(item)) {
                raise_error(holder, 1071, 102, 9, {name, path, d->GetTableName()});
                ok = false;
                break;
            }
            item->AddRef();
            a.item = item;
            a.key_number = item->key_number ? item->key_number : next_key++;
        } else if (!desc.key_expression.empty()) {
            auto* key = new XbaseItemDescription();
            key->AddRef();
            key->name = name;
            key->type_letter = desc.key_type == '?' ? 'C' : (char)desc.key_type;
            key->key_expression = wide(desc.key_expression);
            key->index_path = path;
            if (!make_composite_key(d, key, desc.key_expression, holder)) {
                key->Release();
                if (options & kAssociateAllTags) ok = false;
                continue;  // the tag is dropped
            }
            a.created = true;
            a.item = key;
            a.options = 0x1000;
            a.key_number = next_key++;
        } else {
            continue;  // a tag without an expression gives no key
        }
        a.options |= (desc.flags & 256) ? 0x0400 : 0x0800;
        a.options |= (desc.flags & 128) ? 0x4000 : 0x2000;
        done.push_back(a);
    }
    IndexClose(type, h);
    xdb_set_status(XD_OK);
    if (!ok) {
        for (Association& a : done) a.item->Release();
        return 0;
    }
    for (Association& a : done) {
        a.item->key_number = a.key_number;
        a.item->key_options = a.options;
        a.item->index_path = path;
        a.item->tag_number = a.tag;
        if (a.created) d->AddItem(a.item);  // the description takes the reference
        else a.item->Release();
    }
    return 1;
}

void discover_indexes(XbaseTableDescription* d) {
    const std::u16string data = d->GetPhysicalPath();
    const std::u16string dir = path_directory(data), base = path_without_extension(data);
    std::vector<std::u16string> files;
    const int code = d->VariantCode();
    if (code == 2 || code == 10) {
        // The production index: the table's name with the format's extension (in
        // either case, where names have one).
        for (const char16_t* ext : code == 2 ? std::vector<const char16_t*>{u".mdx", u".MDX"}
                                             : std::vector<const char16_t*>{u".cdx", u".CDX"}) {
            if (xdb_fexists(system_name_from_wide(base + ext).c_str())) {
                files.push_back(base + ext);
                break;
            }
        }
    } else {
        // Every "*.??x" file of the directory, in name order.
        std::error_code ec;
        fs::path where = dir.empty() ? fs::path(".") : filesystem_path(system_name_from_wide(dir));
        for (fs::directory_iterator it(where, ec), end; !ec && it != end; it.increment(ec)) {
            const std::u16string name = wide_name_of(it->path().filename());
            const std::u16string ext = path_extension(name);
            if (ext.size() != 4 || (ext.back() != u'x' && ext.back() != u'X')) continue;
            if (!it->is_regular_file(ec)) continue;
            files.push_back(dir + name);
        }
        // The files named after the table first: where two files give a key of
        // one name, the table's own is the one kept.
        const std::u16string stem = path_stem(data);
        auto own = [&](const std::u16string& f) {
            const std::u16string s = path_stem(f);
            return s.size() >= stem.size() && same_name_ignoring_case(s.substr(0, stem.size()), stem);
        };
        std::sort(files.begin(), files.end(), [&](const std::u16string& a, const std::u16string& b) {
            return own(a) != own(b) ? own(a) : a < b;
        });
    }
    // Each file is judged by what it holds (see engine/index/index_owner.h): only
    // the table's own join its index set; another table's are passed over, and
    // never written.
    int16_t h = -1;
    xdb_set_status(XD_OK);
    if (dbf_open(&h, system_name_from_wide(data).c_str(), (uint16_t)(XDB_OPEN_READONLY | XDB_OPEN_SHARED | code)) < 0) {
        xdb_set_status(XD_OK);
        // The table cannot be read: no file can be judged, and none may be written.
        for (const std::u16string& file : files) d->TakeIndex(file, false, u"the table could not be read to judge it");
        return;
    }
    // Writers hold the append lock from a record's first byte to its last key: under
    // it, records and entries agree, and the judgement sees no write half done.
    bool locked = false;
    for (int attempt = 0; attempt < 250 && !locked; attempt++) {
        if (attempt) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        xdb_set_status(XD_OK);
        locked = dbf_lock_file(h, 1) == XD_OK;
    }
    xdb_set_status(XD_OK);
    DbfHeaderInfo header{};
    dbf_header_info(h, &header);
    xdb_set_status(XD_OK);
    std::vector<std::u16string> owned;
    for (const std::u16string& file : files) {
        const bool production = code == 2 || code == 10 || (header.mdx_flag == 1 && same_name_ignoring_case(
                                                                                       path_stem(file), path_stem(data)));
        IndexOwnerVerdict verdict;
        xdb_set_status(XD_OK);
        if (IndexJudgeOwner(h, system_name_from_wide(file).c_str(), production, &verdict) < 0) {
            verdict.ownership = INDEX_UNJUDGED;
            snprintf(verdict.reason, sizeof verdict.reason, "it could not be judged");
        }
        xdb_set_status(XD_OK);
        std::u16string reason = wide(verdict.reason);
        if (verdict.ownership == INDEX_FOREIGN && !locked && verdict.reason[0] && strstr(verdict.reason, "entries")) {
            // Entries that disagree while another program kept writing may be its
            // write half done: the file cannot be judged, and may not be skipped.
            verdict.ownership = INDEX_UNJUDGED;
            reason = u"another program kept writing the table while it was judged: " + reason;
        }
        if (verdict.ownership == INDEX_FOREIGN) {
            d->PassOverIndex(file, reason);
            continue;
        }
        d->TakeIndex(file, verdict.writable, reason);
        if (verdict.ownership == INDEX_OWNED && index_format_available(index_type_of_path(system_name_from_wide(file))))
            owned.push_back(file);
    }
    if (locked) dbf_unlock_file(h, 1);
    xdb_set_status(XD_OK);
    dbf_close(h);
    xdb_set_status(XD_OK);
    // Keys from the table's own files. Indexes of every record first: a
    // conditional one takes a key only where no other index gives it.
    files = owned;
    // Indexes of every record first: a conditional one takes a key only where no
    // other index gives it.
    std::vector<std::u16string> conditional;
    for (const std::u16string& file : files) {
        CXErrorHolder failure;
        int r = associate_index(d, file, u"", kAssociateKeepKeys | kAssociateConditionalLater, &failure);
        if (r == 2) conditional.push_back(file);
        else if (!r) d->Report(failure.CurrentMessage());
    }
    for (const std::u16string& file : conditional) {
        CXErrorHolder failure;
        if (!associate_index(d, file, u"", kAssociateKeepKeys, &failure)) d->Report(failure.CurrentMessage());
    }
}
