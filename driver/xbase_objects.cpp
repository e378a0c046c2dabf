#include "driver/xbase_objects.h"

#include <atomic>

#include "driver/index_names.h"
#include "driver/paths.h"
#include "driver/xbase_driver.h"
#include "engine/core/engine.h"
#include "framework/host_item_types.h"

namespace {

std::atomic<int> g_live_items{0}, g_live_descriptions{0};

}  // namespace

void leave_registry(XbaseDriver* const& owner, IXObject* object) {
    QXDB_DRIVER_ENTRY;  // the owner may be going away on another thread
    if (owner) owner->Unregister(object);
}

// ---- Items ----

XbaseItemDescription::XbaseItemDescription() { g_live_items++; }

void XbaseItemDescription::Destroy() {
    g_live_items--;
    delete this;
}

int XbaseItemDescription::Live() { return g_live_items; }

int XbaseItemDescription::SetComponentCount(int count) {
    if (count < 0) return 0;
    components.resize((size_t)count, nullptr);
    return 1;
}

IXbaseItemDescription* XbaseItemDescription::GetComponent(int i) {
    if (i < 1 || i > (int)components.size()) return nullptr;
    return components[(size_t)i - 1];
}

int XbaseItemDescription::SetComponent(int i, IXbaseItemDescription* item) {
    if (i < 1 || i > (int)components.size()) return 0;
    components[(size_t)i - 1] = item;
    return 1;
}

int XbaseItemDescription::CopyFrom(IXbaseItemDescription* other) {
    if (!other) return 0;
    index_path = other->GetIndexPath();
    key_expression = other->GetKeyExpression();
    const char16_t* memo = other->GetMemoPath();
    memo_path = memo ? memo : u"";
    type_letter = (char)other->GetTypeLetter();
    components.assign((size_t)other->GetComponentCount(), nullptr);  // a new, empty component list
    return 1;
}

// ---- Table descriptions ----

XbaseTableDescription::XbaseTableDescription(XbaseDriver* driver) : owner(driver) { g_live_descriptions++; }

XbaseTableDescription::~XbaseTableDescription() {
    ClearItems();
    g_live_descriptions--;
}

int XbaseTableDescription::Live() { return g_live_descriptions; }

void XbaseTableDescription::Destroy() {
    leave_registry(owner, this);
    delete this;
}

void XbaseTableDescription::ClearItems() {
    generation_++;
    for (XbaseItemDescription* item : items_) item->Release();
    items_.clear();
}

int XbaseTableDescription::CopyFrom(IXbaseTableDescription* other) {
    if (!other) return 0;
    SetPhysicalPath(other->GetPhysicalPath());
    const char16_t* memo = other->GetMemoName();
    memo_ = memo ? memo : u"";
    host_format_ = other->GetHostFormatCode();
    if (auto* o = dynamic_cast<XbaseTableDescription*>(other)) variant_row_ = o->variant_row_;
    return 1;
}

int XbaseTableDescription::SetPhysicalPath(const char16_t* path) {
    path_ = path ? path : u"";
    // The framework keeps the directory and the table's name apart.
    table_name_ = path_stem(path_);
    return 1;
}

IXbaseItemDescription* XbaseTableDescription::GetItem(int i) {
    if (i < 1 || i > (int)items_.size()) return nullptr;
    return items_[(size_t)i - 1];
}

XbaseItemDescription* XbaseTableDescription::Find(const std::u16string& name) {
    for (XbaseItemDescription* item : items_)
        if (same_name_ignoring_case(item->name, name)) return item;
    return nullptr;
}

IXbaseItemDescription* XbaseTableDescription::FindItem(const char16_t* name) {
    return name ? Find(name) : nullptr;
}

void XbaseTableDescription::AddItem(XbaseItemDescription* item) {
    generation_++;
    items_.push_back(item);
}

int XbaseTableDescription::NextKeyNumber() const {
    int highest = 0;
    for (const XbaseItemDescription* item : items_)
        if (item->key_number > highest) highest = item->key_number;
    return highest + 1;
}

void XbaseTableDescription::TakeIndex(const std::u16string& path, bool writable, const std::u16string& reason) {
    for (IndexSetEntry& e : index_set_)
        if (same_name_ignoring_case(e.path, path)) return (void)(e = IndexSetEntry{path, writable, reason});
    index_set_.push_back(IndexSetEntry{path, writable, reason});
}

void XbaseTableDescription::PassOverIndex(const std::u16string& path, const std::u16string& reason) {
    passed_over_.push_back(IndexSetEntry{path, false, reason});
}

std::vector<IndexSetEntry> XbaseTableDescription::IndexSet() const {
    std::vector<IndexSetEntry> set = index_set_;
    for (const XbaseItemDescription* item : items_) {
        if (item->key_number <= 0 || item->index_path.empty()) continue;
        bool known = false;
        for (const IndexSetEntry& e : set) known |= same_name_ignoring_case(e.path, item->index_path);
        if (known) continue;
        const int type = index_type_of_path(system_name_from_wide(item->index_path));
        const bool writable = type != kIndexUnsupported && index_format_available(type);
        set.push_back(IndexSetEntry{item->index_path, writable,
                                    writable ? u"the index of key " + item->name
                                             : u"the index of key " + item->name + u": its format is not written yet"});
    }
    return set;
}

uint64_t XbaseTableDescription::IndexSetStamp() const {
    uint64_t h = kXdbDigestStart;
    auto mix = [&](uint64_t v) { h = xdb_digest(h, &v, sizeof v); };
    auto text = [&](const std::u16string& t) {
        mix(t.size());
        for (char16_t c : t) mix(c);
    };
    for (const IndexSetEntry& e : index_set_) {
        text(e.path);
        mix(e.writable);
    }
    mix(items_.size());
    for (const XbaseItemDescription* item : items_) {
        mix((uint64_t)(uintptr_t)item);
        mix((uint64_t)(uint32_t)item->key_number << 32 | (uint32_t)item->tag_number);
        mix((uint64_t)(uint32_t)item->field_index << 16 | (uint64_t)(unsigned char)item->type_letter << 8 | item->field);
        if (item->key_number > 0) text(item->index_path);
    }
    return h;
}

const char16_t* XbaseTableDescription::GetIndexSetReport() {
    QXDB_DRIVER_ENTRY;
    set_report_.clear();
    auto line = [&](const char16_t* what, const IndexSetEntry& e) {
        if (!set_report_.empty()) set_report_ += u"\n";
        set_report_ += std::u16string(what) + u"\t" + e.path + u"\t" + e.reason;
    };
    for (const IndexSetEntry& e : IndexSet()) line(e.writable ? u"taken" : u"not writable", e);
    for (const IndexSetEntry& e : passed_over_) line(u"passed over", e);
    return set_report_.c_str();
}

void XbaseTableDescription::Report(const std::u16string& message) {
    if (!report_.empty()) report_ += u"\n";
    report_ += message;
}


int XbaseTableDescription::AddField(const char16_t* name, int host_type, int size, int digits, int decimals) {
    QXDB_DRIVER_ENTRY;
    if (!name || !*name || Find(name)) {
        raise_error(&errors_, 6, 102, 20, {name ? name : u""});  // an item of that name exists
        return 0;
    }
    auto* item = new XbaseItemDescription();
    item->AddRef();
    item->name = name;
    item->host_type = host_type;
    item->size = size;
    item->digits = digits;
    item->decimals = decimals;
    item->field = true;
    AddItem(item);
    return 1;
}

int XbaseTableDescription::AddKey(const char16_t* name, const char16_t* expression, const char16_t* index_file,
                                  int options) {
    QXDB_DRIVER_ENTRY;
    // An empty expression declares a composite key by its components (set with
    // SetComponent; PrepareDescription writes its expression).
    if (!name || !*name || !index_file || !*index_file) {
        refuse_operation(errors_, 21);
        return 0;
    }
    if (!expression) expression = u"";
    XbaseItemDescription* field = *expression ? Find(expression) : nullptr;
    XbaseItemDescription* key = field && field->field ? field : Find(name);
    if (key && key != field) {
        raise_error(&errors_, 6, 102, 21, {name});  // a composite key of that name exists
        return 0;
    }
    if (!key) {
        key = new XbaseItemDescription();
        key->AddRef();
        key->name = name;
        key->type_letter = 'C';
        key->host_type = kItemBinary;
        key->key_expression = expression;
        AddItem(key);
    }
    key->key_number = key->key_number ? key->key_number : NextKeyNumber();
    key->key_options = options;
    key->index_path = index_file;
    return 1;
}
