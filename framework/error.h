#pragma once
// Error objects: every failure that reaches the host travels as one CXError, built
// from an error identifier of gstErrorDef (message, external code, level), with the
// message formatted from its inserts, optional information items, and a text dump.
// Error holders keep the current error of a connection, table or query.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/error_holder_interface.h"
#include "framework/message_format.h"

enum ErrorLevel : uint32_t {
    EL_NONE = 1,      // no error
    EL_ONRETURN = 2,  // non-fatal
    EL_FATAL = 3,
};

// Information items.
enum ErrorItem : uint32_t {
    EIT_SRCFILE = 1, EIT_DSTFILE, EIT_USERNAME, EIT_HELPFILE, EIT_PATHQXD, EIT_LOGICALTABLENAME,
    EIT_ITEMNAME, EIT_PATHFIC, EIT_PATHNDX, EIT_PATHMMO, EIT_LINKNAME, EIT_RECNUM, EIT_ODBCCODE,
    EIT_ODBCDESCRIPTION, EIT_BASECODE, EIT_NATIVECODE, EIT_ADOCODE, EIT_BASEMESSAGE,
    EIT_NATIVEMESSAGE, EIT_ADOMESSAGE, EIT_DATAACCESS, EIT_INFOCLIENT, EIT_INFOSERVEUR, EIT_PILEWL,
    EIT_DATEHEURE, EIT_LOCKINFO, EIT_CORRIGE_ETAT, EIT_INFOCS,
    EIT_XINFO = 30, EIT_COMPOSANT, EIT_SERVEURCS, EIT_PILEC,
    EIT_HLOCKTIME = 36, EIT_HCNXID, EIT_EXCEPTIONDOTNET, EIT_POSITION_ERREUR, EIT_EXCEPTION_CLASS_NAME,
    EIT_TYPE_QXFILE, EIT_IDCODE, EIT_EXCEPTIONJAVA, EIT_CODEHTTP,
};

// A reference-counted object, as item 21 (EIT_DATAACCESS) holds one.
class IXRefCounted {
public:
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;

protected:
    virtual ~IXRefCounted() = default;
};

// An exception object carried by items 38 and 43; the error owns it.
class CXExceptionObject {
public:
    virtual ~CXExceptionObject() = default;
};

// The value of an information item.
struct ErrorItemValue {
    enum Kind { kNone, kString, kInt32, kInt64, kObject, kException } kind = kNone;
    std::u16string text;
    int64_t number = 0;
    IXRefCounted* object = nullptr;
    CXExceptionObject* exception = nullptr;
};

// One record of gstErrorDef.
struct ErrorDefinition {
    uint32_t error_id;
    uint32_t message_id;
    uint32_t external_code;
    uint32_t level;
};
extern const ErrorDefinition gstErrorDef[];
extern const size_t gstErrorDefCount;
// The first record for `error_id`, or nullptr.
const ErrorDefinition* find_error_definition(uint32_t error_id);

// The debug text of a raising site: "IEQXDB=<area>.<site>\r\nModule=<QXDB>\r\nVersion=<23.0.2.0>".
std::u16string error_debug_site(unsigned area, unsigned site);

// The text of string-table message `id` formatted with `args`, or the internal
// "##(CXError)-" text when it cannot be loaded.
std::u16string load_message(uint32_t message_id, const std::vector<MessageArg>& args);

class CXError {
public:
    CXError() = default;
    ~CXError();
    CXError(const CXError&) = delete;
    CXError& operator=(const CXError&) = delete;

    // Raise from gstErrorDef with inserts (as a list or as arguments).
    void Raise(uint32_t error_id, const std::vector<MessageArg>& args);
    template <class... A>
    void RaiseV(uint32_t error_id, A&&... args) {
        Raise(error_id, std::vector<MessageArg>{MessageArg(std::forward<A>(args))...});
    }
    // Sets the user message from a format and inserts, without the table.
    void RaiseText(const std::u16string& format, const std::vector<MessageArg>& args);

    // Level 1 clears the whole object; other values are stored.
    void SetLevel(uint32_t level);
    // Loads message `message_id`, formats it and appends it (after "\r\n" when the
    // text is not empty) to the user message / to the debug information.
    void AppendUserMessage(uint32_t message_id, const std::vector<MessageArg>& args = {});
    void AppendDebugInfo(uint32_t message_id, const std::vector<MessageArg>& args = {});
    // Adds an engine status's short line and explanation (statuses -59..12).
    void AddEngineStatus(int status);

    void SetDebugInfo(const std::u16string& text) { debug_info_ = text; }
    void SetSystemError(uint32_t code, const std::u16string& text) {
        system_code_ = code;
        system_message_ = text;
    }

    // Information items. Setting an item replaces its earlier value (released);
    // numbers outside 1..44 and items without a value kind are ignored.
    void SetItem(uint32_t item, const ErrorItemValue& value);
    void SetItemString(uint32_t item, const std::u16string& text);
    void SetItemInt(uint32_t item, int32_t value);
    void SetItemInt64(uint32_t item, int64_t value);
    void SetItemObject(uint32_t item, IXRefCounted* object);
    void SetItemException(uint32_t item, CXExceptionObject* exception);
    bool GetItem(uint32_t item, ErrorItemValue* value) const;
    size_t ItemCount() const { return items_.size(); }

    uint32_t ErrorId() const { return error_id_; }
    uint32_t ExternalCode() const { return external_code_; }
    uint32_t Level() const { return level_; }
    const std::u16string& UserMessage() const { return user_message_; }
    const std::u16string& DebugInfo() const { return debug_info_; }
    uint32_t SystemCode() const { return system_code_; }
    const std::u16string& SystemMessage() const { return system_message_; }

    // The text dump of this error (without the host-call section).
    std::u16string Dump() const;
    // The information item lines, each preceded by "\r\n".
    std::u16string DumpItems() const;

private:
    struct Entry {
        uint32_t item;
        ErrorItemValue value;
    };
    static void release(ErrorItemValue& v);
    void clear_items();

    uint32_t error_id_ = 0;
    uint32_t external_code_ = 0;
    uint32_t level_ = EL_NONE;
    std::u16string user_message_;
    uint32_t system_code_ = 0;
    std::u16string system_message_;
    std::u16string debug_info_;
    std::vector<Entry> items_;
};

// What the host was running when the error arose (the first section of a dump).
struct HostCallInfo {
    std::u16string process;   // "Traitement de '%1'%2..."
    std::u16string detail;
    int line = 0;
    int thread = 0;
    std::u16string function;
    int syntax = 0;
};

// The holder of an object's errors: one embedded error plus sub-errors; the
// current error is the last sub-error, else the embedded one.
class CXErrorHolder : public IXErrorHolder {
public:
    virtual ~CXErrorHolder() = default;
    uint32_t CurrentErrorId() const override { return Current().ErrorId(); }
    uint32_t CurrentCode() const override { return Current().ExternalCode(); }
    uint32_t CurrentLevel() const override { return Current().Level(); }
    const char16_t* CurrentMessage() const override { return Current().UserMessage().c_str(); }
    const char16_t* DumpText() override {
        dump_ = Dump();
        return dump_.c_str();
    }

    CXError& Current();
    const CXError& Current() const;
    CXError& Embedded() { return embedded_; }
    CXError& AddSubError();
    size_t SubErrorCount() const { return subs_.size(); }
    const CXError& SubError(size_t i) const { return *subs_[i]; }
    // Clears the embedded error, sets the last status to -1, drops the sub-errors.
    void Reset();
    int LastStatus() const { return last_status_; }
    void SetLastStatus(int status) { last_status_ = status; }
    // EIT_BASECODE of the current error: the object's last engine status (0 when absent).
    int32_t BaseCode() const;
    std::u16string Dump(const HostCallInfo& call = HostCallInfo()) const;

private:
    CXError embedded_;
    std::vector<std::unique_ptr<CXError>> subs_;
    int last_status_ = -1;
    std::u16string dump_;
};

// Gravity requested by the driver to level: 1, 2, 3 map to themselves; other values
// come back as value - 3 and change nothing.
int map_error_gravity(int requested);

// Raises `error_id` into `holder` (its embedded error, after a reset) with the
// debug site and, when `engine_status` is not null, the engine status attached as
// EIT_BASECODE and as message lines. Without a holder the error is written out
// headed "Message d'erreur ignoré :" (see set_ignored_error_sink).
void raise_error(CXErrorHolder* holder, uint32_t error_id, unsigned area, unsigned site,
                 const std::vector<MessageArg>& args, const int* engine_status = nullptr);

// Where errors without a holder go: standard error unless a sink is set (tests).
void set_ignored_error_sink(std::function<void(const std::u16string&)> sink);
void report_ignored_error(const CXError& error);
