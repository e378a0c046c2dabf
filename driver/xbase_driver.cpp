#include "driver/xbase_driver.h"

#include <filesystem>

#include "driver/driver_proxy.h"
#include "driver/field_types.h"
#include "driver/index_association.h"
#include "driver/index_names.h"
#include "driver/library_state.h"
#include "driver/paths.h"
#include "driver/xbase_connection.h"
#include "driver/xbase_cursor.h"
#include "driver/xbase_objects.h"
#include "driver/xbase_variants.h"
#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "framework/codepage.h"

namespace fs = std::filesystem;

namespace {

std::u16string lower_ascii(std::u16string s) {
    for (char16_t& c : s)
        if (c >= u'A' && c <= u'Z') c = (char16_t)(c + 32);
    return s;
}

// The row of the variant the engine opens the file under (the probe of a listing):
// tried in the table's order, shared, then closed again. -1 with the last status
// when none opens it.
int probe(const std::string& path, int16_t* status) {
    *status = XD_OK;
    for (int row = 0; row < kXbaseVariantCount; row++) {
        xdb_set_status(XD_OK);
        int16_t h = -1;
        XDSTATUS s = dbf_open(&h, path.c_str(), (uint16_t)(kXbaseVariants[row].code | XDB_OPEN_DENYNONE | XDB_OPEN_SHARED));
        if (s >= 0) {
            xdb_set_status(XD_OK);
            dbf_close(h);
            xdb_set_status(XD_OK);
            return row;
        }
        if (*status == XD_OK || *status == XD_BADVERSION) *status = s;
    }
    xdb_set_status(XD_OK);
    return -1;
}

}  // namespace

XbaseDriver::XbaseDriver() {}

XbaseDriver::~XbaseDriver() {
    QXDB_DRIVER_ENTRY;
    if (library().current_driver == this) library().current_driver = nullptr;
    for (DriverProxy* p : proxies_) p->ForgetDriver();
    // Tables declared through HDBOuvre close with the driver.
    std::vector<Registration> declared;
    declared.swap(registrations_);
    for (Registration& r : declared) r.table->Release();
    // Objects that outlive the driver must not reach back into it.
    ForEachRegistered([](IXObject* o, int kind) {
        if (kind == 0) static_cast<XbaseConnection*>(static_cast<IXbaseConnection*>(o))->owner = nullptr;
        if (kind == 1) static_cast<XbaseTable*>(static_cast<IXbaseTable*>(o))->owner = nullptr;
        if (kind == 2) static_cast<XbaseTableDescription*>(static_cast<IXbaseTableDescription*>(o))->owner = nullptr;
    });
}

void XbaseDriver::Destroy() { delete this; }

// The framework's step has nothing to add here; then every composite key the host
// declared by its components alone gets the expression an index file needs: the
// components joined with "+", dates through DTOS and numbers through STR, so that
// the key orders as its components do.
int XbaseDriver::PrepareDescription(IXbaseTableDescription* description) {
    QXDB_DRIVER_ENTRY;
    errors_.Reset();
    auto* d = dynamic_cast<XbaseTableDescription*>(description);
    if (!d) return refuse_operation(errors_, 1);
    for (int i = 1; i <= d->GetItemCount(); i++) {
        auto* key = static_cast<XbaseItemDescription*>(d->GetItem(i));
        if (key->field || key->components.empty() || !key->key_expression.empty()) continue;
        std::u16string expression;
        for (IXbaseItemDescription* part : key->components) {
            auto* c = static_cast<XbaseItemDescription*>(part);
            if (!c) {
                raise_error(&errors_, 1070, 101, 34, {key->name});
                return 0;
            }
            std::u16string term = c->name;
            XbaseFieldShape shape;
            int variant = creation_variant_of_host_format(d->GetHostFormatCode());
            if (c->host_type == kItemDate) {
                term = u"DTOS(" + c->name + u")";
            } else if (c->type_letter == 'N' || c->type_letter == 'F' ||
                       (c->type_letter == ' ' && field_of_host_item(c->host_type, c->size, c->digits, c->decimals,
                                                                    variant, false, &shape) &&
                        (shape.type == 'N' || shape.type == 'F'))) {
                int length = c->type_letter == ' ' ? shape.length : c->digits + (c->decimals > 0 ? c->decimals + 1 : 0);
                int decimals = c->type_letter == ' ' ? shape.decimals : c->decimals;
                auto digits = [](int n) {
                    const std::string text = std::to_string(n);
                    return std::u16string(text.begin(), text.end());
                };
                term = u"STR(" + c->name + u"," + digits(length) + u"," + digits(decimals) + u")";
            }
            if (!expression.empty()) expression += u"+";
            expression += term;
        }
        key->key_expression = expression;
    }
    return 1;
}

IXbaseTable* XbaseDriver::OpenTableByName(IXbaseConnection* connection, const char16_t* name) {
    QXDB_DRIVER_ENTRY;
    errors_.Reset();
    auto* conn = static_cast<XbaseConnection*>(connection);
    if (!conn || !name) {
        refuse_operation(errors_, 2);
        return nullptr;
    }
    std::u16string path;
    if (!conn->Resolve(name, u".dbf", &path, &errors_)) return nullptr;
    if (!xdb_fexists(system_name_from_wide(path).c_str())) {
        raise_error(&errors_, 1032, 101, 27, {path});
        return nullptr;
    }
    auto* wanted = new XbaseTableDescription(nullptr);
    wanted->AddRef();
    wanted->SetPhysicalPath(path.c_str());
    IXbaseTable* table = OpenTableFromDescription(connection, wanted);
    wanted->Release();
    if (!table) return nullptr;
    discover_indexes(static_cast<XbaseTableDescription*>(table->GetDescription()));
    return table;
}

IXbaseTableDescription* XbaseDriver::CreateTableDescription() {
    QXDB_DRIVER_ENTRY;
    auto* d = new XbaseTableDescription(this);
    d->AddRef();
    RegisterDescription(static_cast<IXbaseTableDescription*>(d));
    return d;
}

IXbaseTable* XbaseDriver::CreateTable() {
    QXDB_DRIVER_ENTRY;
    auto* t = new XbaseTable(this);
    t->AddRef();
    RegisterTable(static_cast<IXbaseTable*>(t));
    return t;
}

IXbaseCursor* XbaseDriver::CreateCursor(IXbaseTable* table) {
    QXDB_DRIVER_ENTRY;
    auto* c = new XbaseCursor(table);  // holds a reference to the table
    c->AddRef();
    return c;
}

IXObject* XbaseDriver::CreateRequest(int) {
    QXDB_DRIVER_ENTRY;
    // No request of this driver asks for an object of its own: the framework's
    // default would serve, and this library has none to give.
    refuse_operation(errors_, 4);
    return nullptr;
}

IXbaseConnection* XbaseDriver::CreateConnection(const HostConnectionDescription* description) {
    QXDB_DRIVER_ENTRY;
    auto* c = new XbaseConnection(this, description);
    c->AddRef();
    RegisterConnection(static_cast<IXbaseConnection*>(c));
    return c;
}

IXbaseTableContext* XbaseDriver::CreateTableContext() {
    QXDB_DRIVER_ENTRY;
    auto* c = new XbaseTableContext();
    c->AddRef();
    return c;
}

int XbaseDriver::ListTables(IHostResultValue* result, IXbaseConnection* connection, uint32_t options) {
    QXDB_DRIVER_ENTRY;
    auto* conn = static_cast<XbaseConnection*>(connection);
    if (!conn || !result) return 0;
    bool opened_here = false;
    if (!conn->IsOpen()) {
        if (!conn->Open()) return 0;
        opened_here = true;
    }
    std::u16string list;
    int found = 0;
    std::u16string source = conn->GetSource();
    std::error_code ec;
    fs::path dir = filesystem_path(system_name_from_wide(source));
    if (fs::is_regular_file(dir, ec)) dir = dir.parent_path();
    std::u16string dir_text = wide_name_of(dir);
    if (dir_text.size() > 1 && (dir_text.back() == u'/' || dir_text.back() == u'\\')) dir_text.pop_back();
    // An empty source names no directory: the list is empty (resolving a name is
    // another matter, where "." stands in).
    if (!dir_text.empty() && fs::is_directory(dir, ec)) {
        // Extensions compare without regard to case, as the system's search does.
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            std::u16string file = wide_name_of(it->path().filename());
            if (file.size() < 4 || lower_ascii(file.substr(file.size() - 4)) != u".dbf") continue;
            if (!it->is_regular_file(ec)) continue;
            std::u16string full = dir_text + kPathSeparator + file;
            std::u16string base = file.substr(0, file.size() - 4);
            found++;
            // A file that opens under no variant is listed all the same: the host
            // sees the directory as it is, and opening it reports why it fails.
            int16_t status;
            probe(system_name_from_wide(full), &status);
            if (options & kListNames) {
                if (!list.empty()) list += u"\r\n";
                list += base;
                if (options & kListDetails) list += u"\t" + base + u"\t\t" + full;
            }
        }
    }
    result->SetText(list.c_str(), (uint32_t)(list.size() * sizeof(char16_t)));  // a length in bytes
    result->SetStateWord((uint16_t)(result->GetStateWord() & ~0x0500));
    if (opened_here) conn->Close();
    return found > 0 ? 1 : 0;
}

int XbaseDriver::TableExists(IXbaseConnection* connection, const char16_t* name, int* exists) {
    QXDB_DRIVER_ENTRY;
    auto* conn = static_cast<XbaseConnection*>(connection);
    if (exists) *exists = 0;
    if (!conn || !name) return 0;
    errors_.Reset();  // an old 1032 must not outlive a later success
    std::u16string path;
    if (!conn->Resolve(name, u"", &path, &errors_)) return 0;
    if (xdb_fexists(system_name_from_wide(path).c_str())) {
        if (exists) *exists = 1;
        return 1;
    }
    raise_error(&errors_, 1032, 101, 27, {path});
    return 0;
}

IXbaseTable* XbaseDriver::OpenTableFromDescription(IXbaseConnection* connection, IXbaseTableDescription* wanted) {
    QXDB_DRIVER_ENTRY;
    errors_.Reset();
    auto* conn = static_cast<XbaseConnection*>(connection);
    if (!conn || !wanted) {
        refuse_operation(errors_, 3);
        return nullptr;
    }
    if (!conn->IsOpen() && !conn->Open()) {
        raise_error(&errors_, 1004, 101, 28, {conn->GetSource()});
        return nullptr;
    }
    // The explicit file name, or the table's name in the connection's directory.
    std::u16string path = wanted->GetPhysicalPath() ? wanted->GetPhysicalPath() : u"";
    if (path.empty() && !conn->Resolve(wanted->GetTableName(), u".dbf", &path, &errors_)) return nullptr;
    auto* d = new XbaseTableDescription(this);
    d->AddRef();
    RegisterDescription(static_cast<IXbaseTableDescription*>(d));
    d->CopyFrom(wanted);
    d->SetPhysicalPath(path.c_str());
    if (!d->DescribeInto(&errors_)) {
        d->Release();
        return nullptr;
    }
    auto* t = new XbaseTable(this);
    t->AddRef();
    RegisterTable(static_cast<IXbaseTable*>(t));
    t->SetDescription(d);
    t->SetOemToAnsi(conn->GetOemToAnsi() != 0);
    d->Release();  // the table holds it now
    return t;
}

void XbaseDriver::AttachProxy(DriverProxy* proxy) {
    QXDB_DRIVER_ENTRY;
    proxies_.push_back(proxy);
}

void XbaseDriver::DetachProxy(DriverProxy* proxy) {
    QXDB_DRIVER_ENTRY;
    for (size_t i = 0; i < proxies_.size(); i++)
        if (proxies_[i] == proxy) proxies_.erase(proxies_.begin() + (long)i--);
}

// ---- HDBOuvre and HDBIndex ----


XbaseDriver::Registration* XbaseDriver::FindRegistration(const std::u16string& name) {
    for (Registration& r : registrations_)
        if (same_name_ignoring_case(r.name, name)) return &r;
    return nullptr;
}

XbaseTable* XbaseDriver::FindTable(const std::u16string& name) {
    QXDB_DRIVER_ENTRY;
    if (IXbaseTable* t = RegisteredTable(name.c_str())) return dynamic_cast<XbaseTable*>(t);
    XbaseTable* found = nullptr;
    ForEachRegistered([&](IXObject* o, int kind) {
        auto* t = kind == 1 ? dynamic_cast<XbaseTable*>(o) : nullptr;
        IXbaseTableDescription* d = t ? t->GetDescription() : nullptr;
        if (!found && d && same_name_ignoring_case(d->GetTableName(), name)) found = t;
    });
    return found;
}

IXbaseTable* XbaseDriver::RegisteredTable(const char16_t* name) {
    QXDB_DRIVER_ENTRY;
    Registration* r = name ? FindRegistration(name) : nullptr;
    return r ? r->table : nullptr;
}

XbaseConnection* XbaseDriver::OpenConnectionNamed(const std::u16string& name) {
    XbaseConnection* conn = nullptr;
    ForEachRegistered([&](IXObject* o, int kind) {
        auto* c = kind == 0 ? static_cast<XbaseConnection*>(static_cast<IXbaseConnection*>(o)) : nullptr;
        if (c && !conn && same_name_ignoring_case(c->Name(), name)) conn = c;
    });
    if (!conn || (!conn->IsOpen() && !conn->Open())) {
        raise_error(&errors_, 1004, 101, 30, {name});
        return nullptr;
    }
    return conn;
}

int XbaseDriver::DeclareTable(const char16_t* connection, const char16_t* table, const char16_t* path, int options) {
    QXDB_DRIVER_ENTRY;
    errors_.Reset();
    const std::u16string name = table ? table : u"";
    XbaseConnection* conn = OpenConnectionNamed(connection ? connection : u"");
    if (!conn) return 0;
    // The explicit file, or the table's name in the connection's directory.
    std::u16string file = path && *path ? path : u"";
    if (file.empty() && !conn->Resolve(name, u".dbf", &file, &errors_)) return 0;
    auto* wanted = new XbaseTableDescription(nullptr);
    wanted->AddRef();
    wanted->SetPhysicalPath(file.c_str());
    IXbaseTable* opened = OpenTableFromDescription(conn, wanted);
    wanted->Release();
    if (!opened) return 0;
    opened->SetOpenMode(options & kDeclareWrite ? 3 : 0);
    if (!opened->Open()) {
        int status = static_cast<XbaseTable*>(opened)->Errors().BaseCode();
        raise_error(&errors_, 1001, 101, 31, {file}, &status);
        opened->Release();
        return 0;
    }
    // Exclusive use: the whole file locked for as long as the table is open (and
    // again at each later open: see XbaseTable::Open).
    auto* declared = static_cast<XbaseTable*>(opened);
    if ((options & kDeclareExclusive) && !declared->TakeFileLock(3, &declared->Errors())) {
        raise_error(&errors_, 1054, 101, 32, {name});
        opened->Release();
        return 0;
    }
    // A new declaration of the table replaces the earlier one.
    if (Registration* old = FindRegistration(name)) {
        XbaseTable* previous = old->table;
        old->table = static_cast<XbaseTable*>(opened);
        old->indexes.clear();
        old->options = options;
        previous->Release();
    } else {
        registrations_.push_back(Registration{name, static_cast<XbaseTable*>(opened), {}, options});
    }
    return 1;
}

bool XbaseDriver::DeclaredExclusive(const XbaseTable* table) {
    QXDB_DRIVER_ENTRY;
    for (const Registration& r : registrations_)
        if (r.table == table) return (r.options & kDeclareExclusive) != 0;
    return false;
}

int XbaseDriver::DeclareIndex(const char16_t* connection, const char16_t* table, const char16_t* index,
                              const char16_t* key) {
    QXDB_DRIVER_ENTRY;
    errors_.Reset();
    const std::u16string index_name = index ? index : u"", key_name = key ? key : u"";
    if (!OpenConnectionNamed(connection ? connection : u"")) return 0;
    Registration* r = table ? FindRegistration(table) : nullptr;
    // Without an HDBOuvre declaration, a table the host opened under that name
    // takes the index.
    XbaseTable* opened = r ? r->table : table ? FindTable(table) : nullptr;
    auto* d = opened ? static_cast<XbaseTableDescription*>(opened->GetDescription()) : nullptr;
    if (!d) {
        raise_error(&errors_, 1067, 101, 32, {index_name});
        return 0;
    }
    std::u16string path = system_name_to_wide(
        path_matching_case(index_path_from_name(system_name_from_wide(index_name), system_name_from_wide(d->GetPhysicalPath()))));
    // Only a multi-tag file names its keys itself.
    int type = index_type_of_path(system_name_from_wide(path));
    if (key_name.empty() && type != kIndexMdx && type != kIndexCdx) {
        raise_error(&errors_, 1068, 101, 33, {index_name});
        return 0;
    }
    if (!associate_index(d, path, key_name, 0, &errors_)) return 0;
    if (r) r->indexes.push_back(path);
    return 1;
}
