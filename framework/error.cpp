#include "framework/error.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "engine/core/status.h"
#include "framework/codepage.h"
#include "resources/messages.h"

namespace {

const char kModule[] = "QXDB";
const char kVersion[] = "23.0.2.0";

std::u16string w(const char* utf8) { return utf8_to_wide(utf8); }

std::u16string printf_text(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::u16string printf_text(const char* format, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    return w(buf);
}

void append_line(std::u16string& text, const std::u16string& line) {
    if (!text.empty()) text += u"\r\n";
    text += line;
}

// How each item prints in a dump; kNone marks item numbers without a value.
struct ItemFormat {
    const char* name;
    ErrorItemValue::Kind kind;
    const char* layout;  // "<>" value in angle brackets, ":" after " : ", "\n" on the next line, "" name only
};

const ItemFormat kItemFormats[45] = {
    {nullptr, ErrorItemValue::kNone, ""},
    {"EIT_SRCFILE", ErrorItemValue::kString, "<>"},
    {"EIT_DSTFILE", ErrorItemValue::kString, "<>"},
    {"EIT_USERNAME", ErrorItemValue::kString, "<>"},
    {"EIT_HELPFILE", ErrorItemValue::kString, "<>"},
    {"EIT_PATHQXD", ErrorItemValue::kString, "<>"},
    {"EIT_LOGICALTABLENAME", ErrorItemValue::kString, "<>"},
    {"EIT_ITEMNAME", ErrorItemValue::kString, "<>"},
    {"EIT_PATHFIC", ErrorItemValue::kString, "<>"},
    {"EIT_PATHNDX", ErrorItemValue::kString, "<>"},
    {"EIT_PATHMMO", ErrorItemValue::kString, "<>"},
    {"EIT_LINKNAME", ErrorItemValue::kString, "<>"},
    {"EIT_RECNUM", ErrorItemValue::kInt64, "<>"},
    {"EIT_ODBCCODE", ErrorItemValue::kString, "<>"},
    {"EIT_ODBCDESCRIPTION", ErrorItemValue::kString, "<>"},
    {"EIT_BASECODE", ErrorItemValue::kInt32, "<>"},
    {"EIT_NATIVECODE", ErrorItemValue::kInt32, "<>"},
    {"EIT_ADOCODE", ErrorItemValue::kInt32, "<>"},
    {"EIT_BASEMESSAGE", ErrorItemValue::kString, "<>"},
    {"EIT_NATIVEMESSAGE", ErrorItemValue::kString, "<>"},
    {"EIT_ADOMESSAGE", ErrorItemValue::kString, "<>"},
    {"EIT_DATAACCESS", ErrorItemValue::kObject, "<>"},
    {"EIT_INFOCLIENT", ErrorItemValue::kString, "<>"},
    {"EIT_INFOSERVEUR", ErrorItemValue::kString, "<>"},
    {"EIT_PILEWL", ErrorItemValue::kString, "\n"},
    {"EIT_DATEHEURE", ErrorItemValue::kString, ":"},
    {"EIT_LOCKINFO", ErrorItemValue::kString, ":"},
    {"EIT_CORRIGE_ETAT", ErrorItemValue::kString, ":"},
    {"EIT_INFOCS", ErrorItemValue::kString, "<>"},
    {nullptr, ErrorItemValue::kNone, ""},  // 29: no value
    {"EIT_XINFO", ErrorItemValue::kInt32, "<>"},
    {"EIT_COMPOSANT", ErrorItemValue::kString, "\n"},
    {"EIT_SERVEURCS", ErrorItemValue::kString, "<>"},
    {"EIT_PILEC", ErrorItemValue::kString, "\n"},
    {nullptr, ErrorItemValue::kNone, ""},  // 34, 35: not defined
    {nullptr, ErrorItemValue::kNone, ""},
    {"EIT_HLOCKTIME", ErrorItemValue::kInt64, "<>"},
    {"EIT_HCNXID", ErrorItemValue::kInt32, "<>"},
    {"EIT_EXCEPTIONDOTNET", ErrorItemValue::kException, ""},
    {"EIT_POSITION_ERREUR", ErrorItemValue::kString, "<>"},
    {"EIT_EXCEPTION_CLASS_NAME", ErrorItemValue::kString, "<>"},
    {"EIT_TYPE_QXFILE", ErrorItemValue::kInt32, "<>"},
    {"EIT_IDCODE", ErrorItemValue::kInt32, "<>"},
    {"EIT_EXCEPTIONJAVA", ErrorItemValue::kException, ""},
    {"EIT_CODEHTTP", ErrorItemValue::kInt32, "<>"},
};

const ItemFormat* item_format(uint32_t item) {
    if (item < 1 || item > 44 || kItemFormats[item].kind == ErrorItemValue::kNone) return nullptr;
    return &kItemFormats[item];
}

std::u16string item_line(uint32_t item, const ErrorItemValue& v) {
    const ItemFormat* f = item_format(item);
    if (!f) return u"";
    std::u16string value;
    switch (f->kind) {
    case ErrorItemValue::kString:
        if (v.text.empty()) return u"";
        value = v.text;
        break;
    case ErrorItemValue::kInt32: value = printf_text("%d", (int)(int32_t)v.number); break;
    case ErrorItemValue::kInt64: value = printf_text("%lld", (long long)v.number); break;
    case ErrorItemValue::kObject: value = printf_text("%p", (void*)v.object); break;
    case ErrorItemValue::kException: return w(f->name);
    default: return u"";
    }
    std::string layout = f->layout;
    if (layout == "<>") return w(f->name) + u" : <" + value + u">";
    if (layout == ":") return w(f->name) + u" : " + value;
    return w(f->name) + u" :\r\n" + value;
}

std::function<void(const std::u16string&)>& ignored_sink() {
    static std::function<void(const std::u16string&)> sink;
    return sink;
}

void section(std::u16string& out, uint32_t title_id, const std::vector<MessageArg>& args = {}) {
    out += u"\r\n----- " + load_message(title_id, args) + u" -----\r\n\r\n";
}

}  // namespace

std::u16string error_debug_site(unsigned area, unsigned site) {
    return printf_text("IE%s=%u.%u\r\nModule=<%s>\r\nVersion=<%s>", kModule, area, site, kModule, kVersion);
}

std::u16string load_message(uint32_t message_id, const std::vector<MessageArg>& args) {
    const char* text = qxdb_message_text(message_id);
    if (!text) return printf_text("##(CXError)-Ressource <%u> non chargée##", message_id);
    if (!*text) return printf_text("##(CXError)-Ressource <%u> vide. LastError = <%u>##", message_id, (unsigned)errno);
    return format_message(w(text), args);
}

CXError::~CXError() { clear_items(); }

void CXError::release(ErrorItemValue& v) {
    if (v.kind == ErrorItemValue::kObject && v.object) v.object->Release();
    if (v.kind == ErrorItemValue::kException) delete v.exception;
    v = ErrorItemValue();
}

void CXError::clear_items() {
    for (size_t i = items_.size(); i-- > 0;) release(items_[i].value);
    items_.clear();
}

void CXError::Raise(uint32_t error_id, const std::vector<MessageArg>& args) {
    error_id_ = error_id;
    const ErrorDefinition* def = find_error_definition(error_id);
    if (!def) {
        level_ = EL_FATAL;
        user_message_ = printf_text("##(CXError)-Pas de definition d'erreur dans gstErrorDef pour l'identifiant <%u>##", error_id);
        return;
    }
    external_code_ = def->external_code;
    level_ = def->level;
    user_message_ = load_message(def->message_id, args);
}

void CXError::RaiseText(const std::u16string& format, const std::vector<MessageArg>& args) {
    user_message_ = format_message(format, args);
}

void CXError::SetLevel(uint32_t level) {
    if (level != EL_NONE) {
        level_ = level;
        return;
    }
    clear_items();
    error_id_ = external_code_ = system_code_ = 0;
    level_ = EL_NONE;
    user_message_.clear();
    system_message_.clear();
    debug_info_.clear();
}

void CXError::AppendUserMessage(uint32_t message_id, const std::vector<MessageArg>& args) {
    append_line(user_message_, load_message(message_id, args));
}

void CXError::AppendDebugInfo(uint32_t message_id, const std::vector<MessageArg>& args) {
    append_line(debug_info_, load_message(message_id, args));
}

void CXError::AddEngineStatus(int status) {
    if (status < -59 || status > 12) return;
    const XdbStatusInfo* info = xdb_status_info((XDSTATUS)status);
    if (!info) return;
    AppendUserMessage(info->message_id);
    if (info->explanation_id == 0) return;
    if (info->explanation_is_debug) AppendDebugInfo(info->explanation_id);
    else AppendUserMessage(info->explanation_id);
}

void CXError::SetItem(uint32_t item, const ErrorItemValue& value) {
    const ItemFormat* f = item_format(item);
    if (!f) return;
    ErrorItemValue v = value;
    v.kind = f->kind;  // the item number decides the kind
    for (Entry& e : items_) {
        if (e.item != item) continue;
        bool same_object = f->kind == ErrorItemValue::kObject && e.value.object == v.object;
        bool same_exception = f->kind == ErrorItemValue::kException && e.value.exception == v.exception;
        if (same_object || same_exception) {
            e.value = v;
            return;
        }
        release(e.value);
        if (f->kind == ErrorItemValue::kObject && v.object) v.object->AddRef();
        e.value = v;
        return;
    }
    if (f->kind == ErrorItemValue::kObject && v.object) v.object->AddRef();
    items_.push_back({item, v});
}

void CXError::SetItemString(uint32_t item, const std::u16string& text) {
    ErrorItemValue v;
    v.text = text;
    SetItem(item, v);
}

void CXError::SetItemInt(uint32_t item, int32_t value) {
    ErrorItemValue v;
    v.number = value;
    SetItem(item, v);
}

void CXError::SetItemInt64(uint32_t item, int64_t value) {
    ErrorItemValue v;
    v.number = value;
    SetItem(item, v);
}

void CXError::SetItemObject(uint32_t item, IXRefCounted* object) {
    ErrorItemValue v;
    v.object = object;
    SetItem(item, v);
}

void CXError::SetItemException(uint32_t item, CXExceptionObject* exception) {
    ErrorItemValue v;
    v.exception = exception;
    if (!item_format(item) || item_format(item)->kind != ErrorItemValue::kException) {
        delete exception;  // the error owns it even when it cannot keep it
        return;
    }
    SetItem(item, v);
}

bool CXError::GetItem(uint32_t item, ErrorItemValue* value) const {
    for (const Entry& e : items_) {
        if (e.item == item) {
            if (value) *value = e.value;
            return true;
        }
    }
    return false;
}

std::u16string CXError::DumpItems() const {
    std::u16string out;
    for (const Entry& e : items_) {
        std::u16string line = item_line(e.item, e.value);
        if (!line.empty()) out += u"\r\n" + line;
    }
    return out;
}

std::u16string CXError::Dump() const {
    std::u16string out;
    section(out, 28857);
    out += user_message_.empty() ? load_message(28858, {}) : user_message_;
    out += u"\r\n\r\n" + load_message(28851, {MessageArg(external_code_)});
    switch (level_) {
    case EL_NONE: out += u"\r\n" + load_message(28847, {}); break;
    case EL_ONRETURN: out += u"\r\n" + load_message(28848, {}); break;
    case EL_FATAL: out += u"\r\n" + load_message(28849, {}); break;
    default: out += u"\r\n" + load_message(28850, {MessageArg(level_)}); break;
    }
    out += u"\r\n" + load_message(28852, {MessageArg(error_id_)});
    out += u"\r\n" + (system_code_ ? load_message(28853, {MessageArg(system_code_)}) : load_message(28854, {}));
    if (system_message_.empty()) {
        out += u"\r\n" + load_message(28856, {});
    } else {
        out += u"\r\n" + load_message(28855, {}) + u"\r\n" + system_message_;
    }
    out += u"\r\n" + load_message(28842, {MessageArg(kModule), MessageArg(kVersion)});
    ErrorItemValue id;
    if (GetItem(EIT_IDCODE, &id)) out += u"\r\n" + load_message(28863, {MessageArg((long long)id.number)});
    else out += u"\r\n" + load_message(28864, {});
    if (debug_info_.empty()) {
        out += u"\r\n" + load_message(28860, {});
    } else {
        section(out, 28859);
        out += debug_info_;
    }
    std::u16string items = DumpItems();
    if (items.empty()) {
        out += u"\r\n" + load_message(28862, {});
    } else {
        section(out, 28861);
        out += items.substr(2);  // the first line needs no break after the title
    }
    return out;
}

CXError& CXErrorHolder::Current() { return subs_.empty() ? embedded_ : *subs_.back(); }
const CXError& CXErrorHolder::Current() const { return subs_.empty() ? embedded_ : *subs_.back(); }

CXError& CXErrorHolder::AddSubError() {
    subs_.push_back(std::make_unique<CXError>());
    return *subs_.back();
}

void CXErrorHolder::Reset() {
    embedded_.SetLevel(EL_NONE);
    last_status_ = -1;
    subs_.clear();
}

int32_t CXErrorHolder::BaseCode() const {
    ErrorItemValue v;
    return Current().GetItem(EIT_BASECODE, &v) ? (int32_t)v.number : 0;
}

std::u16string CXErrorHolder::Dump(const HostCallInfo& call) const {
    std::u16string out;
    section(out, 28844);
    out += load_message(28845, {MessageArg(call.process), MessageArg(call.detail), MessageArg(call.line),
                                MessageArg(call.thread)});
    out += u"\r\n" + load_message(28846, {MessageArg(call.function), MessageArg(call.syntax)});
    out += embedded_.Dump();
    for (size_t i = 0; i < subs_.size(); i++) {
        section(out, 28865, {MessageArg((unsigned)(i + 1))});
        out += subs_[i]->Dump();
    }
    return out;
}

int map_error_gravity(int requested) {
    if (requested >= 1 && requested <= 3) return requested;
    return requested - 3;
}

void set_ignored_error_sink(std::function<void(const std::u16string&)> sink) { ignored_sink() = std::move(sink); }

void report_ignored_error(const CXError& error) {
    std::u16string text = u"Message d'erreur ignoré :" + error.Dump();
    if (ignored_sink()) {
        ignored_sink()(text);
        return;
    }
    std::string utf8 = wide_to_utf8(text);
    fprintf(stderr, "%s\n", utf8.c_str());
}

void raise_error(CXErrorHolder* holder, uint32_t error_id, unsigned area, unsigned site,
                 const std::vector<MessageArg>& args, const int* engine_status) {
    CXError local;
    CXError& e = holder ? holder->Embedded() : local;
    if (holder) holder->Reset();
    e.Raise(error_id, args);
    e.SetDebugInfo(error_debug_site(area, site));
    if (engine_status) {
        e.SetItemInt(EIT_BASECODE, *engine_status);
        e.AddEngineStatus(*engine_status);
        if (holder) holder->SetLastStatus(*engine_status);
    }
    if (!holder) report_ignored_error(e);
}
