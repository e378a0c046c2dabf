#pragma once
// What the host sees of the library: the objects the exports hand out, as abstract
// interfaces whose operations keep the order of their interface tables, and the
// few host objects the library is given. The host includes only this header (and
// driver/library.h); everything behind it is the library's.
//
// For a host integrator (what the stand-in host hides):
// - Interface tables: each class below is one table of function pointers, in the
//   order its operations are declared here, slot 0 first (no destructor slots). An
//   operation is called with the object itself as its first, hidden argument: on
//   32-bit Windows the thiscall convention (the object in ECX, the arguments on the
//   stack, removed by the callee); elsewhere the platform's C++ member call.
// - IXObject's three operations (AddRef, Release, GetErrorHolder) take the first
//   three slots of every class but the driver, whose table starts with its two
//   interface ids (18 and 17), then AddRef, Release, GetErrorHolder.
// - Text is UTF-16, NUL-terminated. Lengths given to IHostResultValue::SetText are
//   in bytes (two per UTF-16 unit), the terminator not counted. A text an object
//   returns stays valid until the next call on that object, or its destruction.
// - Answers: 1 for success, 0 (or null) for failure, with the reason as the
//   current error of the object's error holder. The error's code
//   (IXErrorHolder::CurrentCode) is its message's identifier; when an engine
//   operation failed, the dump shows the engine status too ("EIT_BASECODE : <-46>"
//   for XD_OPENERR).
// - Calls into one library are serialised by the library's own lock; objects may
//   be released on any thread. Objects that outlive their driver answer 0 (with
//   the error in their own holder) and touch nothing of it.

#include <cstdint>

#include "framework/host_value.h"
#include "framework/object_interface.h"

// ---- Given by the host ----

// A connection description: the host's connection record.
struct HostConnectionDescription {
    const char16_t* name;
    const char16_t* source;         // the directory (or a file in it)
    const char16_t* extended_info;  // "OEMTOANSI=WINDOWS;..." and other options
};

// The host's result value of a listing: a text with its length and a state word.
class IHostResultValue {
public:
    virtual void SetText(const char16_t* text, uint32_t length) = 0;
    virtual uint16_t GetStateWord() const = 0;
    virtual void SetStateWord(uint16_t state) = 0;

protected:
    ~IHostResultValue() = default;
};

// The object the host's "Execution" entry answers to request 3053, sub-code 9: the
// library asks it for the host's level before it passes a query on (Execution
// 4963).
class IHostExecutionFacility {
public:
    virtual int32_t Level() = 0;

protected:
    ~IHostExecutionFacility() = default;
};

// The host's record: the items the host bound (by name, each with a host item type
// and, for text, the most bytes it keeps), their values and the record's state
// word (0x40: the record read is deleted). A table holds a reference to the record
// attached to it.
class IHostRecord {
public:
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;
    virtual int GetItemCount() = 0;
    virtual const char16_t* GetItemName(int i) = 0;  // items counted from 0
    virtual int GetItemType(int i) = 0;              // host item type (framework/host_item_types.h)
    virtual int GetItemSize(int i) = 0;              // text: the most bytes kept (0: no limit)
    // Changes whenever items are bound or unbound: the library binds again then.
    virtual uint32_t GetLayoutVersion() = 0;
    // Copies the value into the item; 0 when the host refuses it.
    virtual int SetItemValue(int i, const HostItemValue* value) = 0;
    // The item's value, valid until the item changes.
    virtual int GetItemValue(int i, HostItemValue* value) = 0;
    // 1 when the host changed the item's value since the library last set it.
    virtual int IsItemChanged(int i) = 0;
    virtual uint16_t GetStateWord() = 0;
    virtual void SetStateWord(uint16_t state) = 0;
    // The lock type of the record last locked or unlocked for the host.
    virtual void SetLockType(int type) = 0;

protected:
    ~IHostRecord() = default;
};

// The host's filter of a cursor: 1 when the record just read into the host record
// is one the browse shows.
class IHostRecordFilter {
public:
    virtual int Accepts(IHostRecord* record) = 0;

protected:
    ~IHostRecordFilter() = default;
};

// A cursor position as the host keeps it (SavePosition, RestorePosition): the
// library's bytes, stored and given back unread.
struct HostCursorPosition {
    uint8_t bytes[192];
};

// ---- Handed out by the library (reference counted) ----

class IXbaseConnection;
class IXbaseTableDescription;
class IXbaseTable;
class IXbaseCursor;
class IXbaseTableContext;

class IXbaseConnection : public IXObject {
public:
    virtual void Destroy() = 0;
    // Starts the xBase engine on first use.
    virtual int Open() = 0;
    virtual int IsEngineStarted() = 0;
    // The framework's part: the connection's texts and closing.
    virtual const char16_t* GetSource() = 0;
    virtual const char16_t* GetExtendedInfo() = 0;
    virtual int IsOpen() = 0;
    virtual int Close() = 0;
    // 1 when the tables of this connection convert text between OEM and ANSI.
    virtual int GetOemToAnsi() = 0;
    // Resolves a table file name into the full path of its data file
    // (error 1031 when the directory is missing). `out` receives at most `cap`
    // characters with the terminator.
    virtual int ResolveTablePath(const char16_t* name, const char16_t* default_extension, char16_t* out, uint32_t cap,
                                 IXErrorHolder* holder) = 0;

protected:
    ~IXbaseConnection() = default;
};

class IXbaseItemDescription : public IXObject {
public:
    virtual const char16_t* GetIndexPath() = 0;
    virtual const char16_t* GetKeyExpression() = 0;
    virtual int GetComponentCount() = 0;
    virtual int SetComponentCount(int count) = 0;
    virtual IXbaseItemDescription* GetComponent(int i) = 0;
    virtual int SetComponent(int i, IXbaseItemDescription* item) = 0;
    virtual void Destroy() = 0;
    virtual int CopyFrom(IXbaseItemDescription* other) = 0;
    // The framework's item operations, after the xBase ones.
    virtual const char16_t* GetName() = 0;
    virtual int GetHostType() = 0;   // host item type (framework/host_item_types.h)
    virtual int GetSize() = 0;       // host size (0 where the type has none)
    virtual int GetDigits() = 0;     // N and F: integer digits
    virtual int GetDecimals() = 0;   // N and F: decimals
    virtual int GetTypeLetter() = 0; // the xBase type letter ('C' for a composite key)
    virtual int IsField() = 0;       // 1: a field of the data file; 0: a composite key
    virtual int GetKeyNumber() = 0;  // 0 when the item is no key
    virtual int GetKeyOptions() = 0; // host key options (0x0400 descending, 0x4000 unique...)
    virtual int GetTagNumber() = 0;  // the key's tag in its index file
    virtual const char16_t* GetMemoPath() = 0;  // memo items: the memo file, when it exists

protected:
    ~IXbaseItemDescription() = default;
};

class IXbaseTableDescription : public IXObject {
public:
    virtual const char16_t* GetPhysicalPath() = 0;
    virtual int GetHostFormatCode() = 0;
    virtual const char16_t* GetMemoName() = 0;
    virtual void Reserved1() = 0;
    virtual void Reserved2() = 0;
    virtual void Reserved3() = 0;
    virtual void Reserved4() = 0;
    virtual void Reserved5() = 0;
    virtual void Reserved6() = 0;
    virtual void Reserved7() = 0;
    virtual void Reserved8() = 0;
    virtual void Reserved9() = 0;
    virtual void Reserved10() = 0;
    virtual void Destroy() = 0;
    virtual int CheckItemExists(const char16_t* item) = 0;
    virtual int CopyFrom(IXbaseTableDescription* other) = 0;
    virtual int Describe() = 0;
    // The framework's description operations, after the xBase ones. Items are
    // counted from 1 and belong to the description (valid while it lives).
    virtual int SetPhysicalPath(const char16_t* path) = 0;
    virtual const char16_t* GetTableName() = 0;
    virtual int GetItemCount() = 0;
    virtual IXbaseItemDescription* GetItem(int i) = 0;
    virtual IXbaseItemDescription* FindItem(const char16_t* name) = 0;
    // What went wrong while index files were found and associated (one message per
    // line, empty when nothing did): such failures do not stop an open.
    virtual const char16_t* GetAssociationReport() = 0;
    // Building a description for a new table (CreateFiles makes its files). A field
    // item; a key on `expression` (a field's name: that field becomes the key; any
    // other expression: a composite key named `name`; empty: a composite key whose
    // components the host sets, PrepareDescription writing its expression) kept in
    // `index_file`; the memo file's name; the host format code; creation options.
    virtual int AddField(const char16_t* name, int host_type, int size, int digits, int decimals) = 0;
    virtual int AddKey(const char16_t* name, const char16_t* expression, const char16_t* index_file, int options) = 0;
    virtual int SetMemoName(const char16_t* name) = 0;
    virtual int SetHostFormatCode(int code) = 0;
    virtual int SetCreationOptions(int options) = 0;
    // The table's index set: every index file its writes keep in step, and the
    // files found beside it that were passed over; one line each,
    // "taken\t<file>\t<why>", "not writable\t<file>\t<why>" (a write is refused
    // while such a file is in the set) or "passed over\t<file>\t<why>".
    virtual const char16_t* GetIndexSetReport() = 0;

protected:
    ~IXbaseTableDescription() = default;
};

class IXbaseTable : public IXObject {
public:
    virtual void Destroy() = 0;
    virtual int HasKey() = 0;
    virtual int CreateFiles() = 0;
    virtual int Refused() = 0;
    virtual int Open() = 0;
    virtual int Close() = 0;
    virtual int AddRecord() = 0;
    virtual int WriteRecordAt(int64_t recno) = 0;
    // Deletes record `recno` (0: the current one) after locking it as `lock_type`
    // asks (the record lock types of LockRecord; 2 and 3 keep the lock). Any other
    // program's lock on the record refuses the delete (1041) whatever the type.
    virtual int DeleteRecord(int64_t recno, int lock_type) = 0;
    virtual int ModifyRecord(int64_t recno) = 0;
    virtual int DeleteRecordAt(int64_t recno, int lock_type) = 0;
    // Reads record `recno` (0: the current one) into the host record.
    virtual int GoToRecord(int64_t recno) = 0;
    // Browse operations work on a cursor of this table (see IXbaseCursor).
    virtual int StartKeyBrowse(IXbaseCursor* cursor, const char16_t* key) = 0;
    virtual int BrowseRange(IXbaseCursor* cursor, const char16_t* key, int mode, const HostItemValue* from,
                            const HostItemValue* to, int options) = 0;
    // The cursor's search key from a host value of the key's item.
    virtual int BuildSearchValue(IXbaseCursor* cursor, const char16_t* key, const HostItemValue* value, int options) = 0;
    virtual int RefreshItem(const char16_t* item) = 0;
    virtual int LockFile(int mode) = 0;
    virtual int UnlockFile() = 0;
    virtual int LockRecord(int64_t recno, int lock_type) = 0;
    virtual int UnlockRecord(int64_t recno) = 0;
    virtual int RecordRequest(int request) = 0;
    virtual int CountRecords(int64_t* count) = 0;
    virtual int CurrentRecordNumber(int64_t* recno) = 0;
    virtual int GoToRecordRequest(int64_t recno) = 0;
    virtual int ComputeKeyValue(const char16_t* key) = 0;
    virtual int LockOrUnlockRecord(int64_t recno, int lock) = 0;
    // Options: 0x01 removes the deleted records (pack of the data and memo files);
    // every index of the table is built again.
    virtual int Compact(int options) = 0;
    virtual int Reopen() = 0;
    virtual int ChangeBrowseKey(IXbaseCursor* cursor, const char16_t* key) = 0;
    virtual int RecordLayerRequest(int request) = 0;
    virtual int RecheckDataFile() = 0;
    virtual int CreateFirstAuxiliary() = 0;
    virtual int AttachHostRecord(IHostRecord* record) = 0;
    virtual int CreateSecondAuxiliary() = 0;
    virtual int ReadCurrentRecord() = 0;
    virtual int SetMemoPath(const char16_t* path) = 0;
    virtual int ReleaseResources() = 0;
    virtual int ValidateRecordNumber(int64_t recno) = 0;
    virtual int Browse(IXbaseCursor* cursor, const char16_t* key, int mode, int options) = 0;
    virtual int Refresh() = 0;
    // The framework's table operations, after the xBase ones.
    // The table's description (owned by the table; null before one is set).
    virtual IXbaseTableDescription* GetDescription() = 0;
    // The host's open mode for the next Open: 3 reads and writes, else read only.
    virtual int SetOpenMode(int mode) = 0;
    virtual int IsOpen() = 0;
    // Gives the table the description of a table to create (CreateFiles), taking
    // a reference.
    virtual int SetTableDescription(IXbaseTableDescription* description) = 0;
    // The file-lock state: 3 while the file is locked exclusively (host request 3),
    // 2 while locked with request 2, else 0.
    virtual int FileLockState() = 0;
    // The framework's lock mode of the table: non-zero (the default: tables open
    // their data files shared) when the table coordinates with other programs
    // through locks; 0 when the host uses the table alone: every lock request then
    // answers 1 and no lock is tested or taken. A table whose host sets no lock
    // mode of its own, declared by HDBOuvre for exclusive use, locks the whole
    // file at every open.
    virtual int SetLockMode(int mode) = 0;

protected:
    ~IXbaseTable() = default;
};

// A browse over a table: its current record, end-of-data and positioned flags, and
// the key browse it is in (the key, the position in its index, a range). Reads go
// into the host record attached to the table.
class IXbaseCursor : public IXObject {
public:
    virtual void Destroy() = 0;
    // Options kCountAll (the table's record count), kCountRange (the keys of the
    // cursor's range); without either, the deleted records, read one by one.
    virtual int Count(int64_t* count, int options) = 0;
    virtual int FillHostRecord() = 0;
    virtual int SavePosition(HostCursorPosition* position) = 0;
    virtual int RestorePosition(const HostCursorPosition* position) = 0;
    virtual int RefreshEndFlag() = 0;
    // The framework's cursor operations, after the xBase ones.
    // Reads record `recno` (0: the current one). No such record: answers 1 with
    // end of data. *deleted (may be null) receives 1 for a deleted record.
    virtual int Read(int64_t recno, int number_only, int* deleted) = 0;
    // Moves (kBrowseFirst ... kBrowseCurrent) in physical order (key null or empty)
    // or in the order of a key, and reads the record; end of data answers 1.
    virtual int Browse(const char16_t* key, int mode, int options) = 0;
    // The same within bounds (null: none on that side); first and last set them.
    // Text bounds compare as prefixes: "B" to "C" takes every key from B to C....
    virtual int BrowseRange(const char16_t* key, int mode, const HostItemValue* from, const HostItemValue* to,
                            int options) = 0;
    // Searches a value of a key (options: kSearchGeneric for a prefix); *outcome
    // receives a kSearch* answer. Found: the record is read.
    virtual int Search(const char16_t* key, const HostItemValue* value, int options, int* outcome) = 0;
    // Positions the index of `key` on the current record, for browsing on from it.
    virtual int ChangeBrowseKey(const char16_t* key) = 0;
    virtual int IsEndOfData() = 0;
    virtual int IsPositioned() = 0;
    virtual int64_t GetRecordNumber() = 0;  // -1 when there is none
    // The host's filter (null: none); kept, not owned.
    virtual int SetFilter(IHostRecordFilter* filter) = 0;

protected:
    ~IXbaseCursor() = default;
};

class IXbaseTableContext : public IXObject {
public:
    virtual void FreeText(char16_t* text) = 0;
    virtual int ContextComputeKey(const char16_t* table, const char16_t* key) = 0;
    virtual int ContextLock(const char16_t* table) = 0;
    virtual int ContextLockIfOpen(const char16_t* table) = 0;
    virtual int ContextSearchValue(const char16_t* table, const char16_t* key) = 0;
    virtual void Destroy() = 0;

protected:
    ~IXbaseTableContext() = default;
};

// Creation options of a table description.
enum : int {
    kCreateStrictNames = 0x01,         // a field name longer than 10 characters is refused (1059)
    kCreateBooleansAsLogicals = 0x02,  // host item type 26 becomes an L field
};

// Browse modes, the cursor's direction word.
enum : int {
    kBrowseFirst = 0,
    kBrowseLast = 1,
    kBrowseNext = 2,
    kBrowsePrevious = 3,
    kBrowseCurrent = 4,
};

// HDBOuvre options.
enum : int {
    kDeclareWrite = 0x01,
    kDeclareExclusive = 0x02,
};

// Browse options.
enum : int {
    kBrowseLock = 0x01,  // the record read is locked for the host first (lock type 2)
};

// Search options and outcomes.
enum : int {
    kSearchGeneric = 0x01,  // the value is a prefix of the key (text keys)
};
enum : int {
    kSearchNotFound = 0,         // positioned on the key before the value's place: next gives the one after
    kSearchFound = 1,            // the record is read
    kSearchNotFoundAtFirst = 2,  // no key is smaller: positioned on the first key (current reads it)
    kSearchEmpty = 3,            // no keys at all: end of data
};

// Count options.
enum : int {
    kCountAll = 0x10,
    kCountRange = 0x20,
};

// Listing options of ListTables.
enum : uint32_t {
    kListNames = 0x01,    // append each table's base name
    kListDetails = 0x20,  // with bit 0x01: "\t<name>\t\t<full path>" after each name
};

// The driver's table begins with its interface ids, before the reference counting.
class IXbaseDriver {
public:
    virtual int FirstInterfaceId() = 0;   // 18
    virtual int SecondInterfaceId() = 0;  // 17
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;
    virtual IXErrorHolder* GetErrorHolder() = 0;
    virtual int PrepareDescription(IXbaseTableDescription* description) = 0;
    virtual IXbaseTable* OpenTableByName(IXbaseConnection* connection, const char16_t* name) = 0;
    virtual void Destroy() = 0;
    virtual IXbaseTableDescription* CreateTableDescription() = 0;
    virtual IXbaseTable* CreateTable() = 0;
    virtual IXbaseCursor* CreateCursor(IXbaseTable* table) = 0;
    virtual IXObject* CreateRequest(int kind) = 0;
    virtual int AnswersZero() = 0;
    virtual IXbaseConnection* CreateConnection(const HostConnectionDescription* description) = 0;
    virtual IXbaseTableContext* CreateTableContext() = 0;
    virtual int ListTables(IHostResultValue* result, IXbaseConnection* connection, uint32_t options) = 0;
    // Writes 1 to *exists when the table's data file exists; else error 1032 and 0.
    virtual int TableExists(IXbaseConnection* connection, const char16_t* name, int* exists) = 0;
    virtual int AnswersOne() = 0;
    virtual IXbaseTable* OpenTableFromDescription(IXbaseConnection* connection, IXbaseTableDescription* description) = 0;
    // The framework's driver operations, after the xBase ones.
    // The table an HDBOuvre registration holds under `name` (null when none).
    virtual IXbaseTable* RegisteredTable(const char16_t* name) = 0;

protected:
    ~IXbaseDriver() = default;
};

// The proxy of the host-language functions HDBOuvre and HDBIndex (pQueryProxy 191).
class IXDriverProxy {
public:
    virtual int AnswersTwoA() = 0;
    virtual int AnswersTwoB() = 0;
    virtual int AnswersMinusOneA() = 0;
    virtual int AnswersMinusOneB() = 0;
    virtual void DoesNothing() = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;
    virtual IXErrorHolder* GetDriverErrorHolder() = 0;
    // HDBOuvre: options kDeclareWrite (the table opened for reading and writing) and
    // kDeclareExclusive (the whole file locked while the table is open).
    virtual int OpenTable(const char16_t* connection, const char16_t* table, const char16_t* path, int options) = 0;
    // HDBIndex: the table declared by HDBOuvre on that connection, or else one the
    // host has opened under that name.
    virtual int AssociateIndex(const char16_t* connection, const char16_t* table, const char16_t* index,
                               const char16_t* key) = 0;
    virtual int MarkDeclared(const char16_t* connection, const char16_t* table) = 0;
    // -1 asks, 1 sets, anything else clears; answers 1 when the flag was set before,
    // 0 when it was clear, -1 when the engine could not start (the reason in the
    // driver's error holder).
    virtual int AsciiSort(int request) = 0;
    virtual void Nothing1() = 0;
    virtual void Nothing2() = 0;
    virtual void Nothing3() = 0;
    virtual void Nothing4() = 0;
    virtual void Nothing5() = 0;
    virtual void Nothing6() = 0;
    virtual void Nothing7() = 0;
    virtual void Nothing8() = 0;
    virtual void Nothing9() = 0;
    virtual void Nothing10() = 0;
    virtual void Nothing11() = 0;
    virtual void Nothing12() = 0;
    virtual void Destroy() = 0;

protected:
    ~IXDriverProxy() = default;
};
