#pragma once
// The driver's table-level objects. Their xBase operations arrive with the table,
// reading, writing and locking work; until then each answers 0 with the
// framework's error 8 ("Opération non supportée.") in the object's error holder.

#include <string>
#include <vector>

#include "driver/interfaces.h"
#include "driver/record_reading.h"
#include "engine/index/index.h"
#include "framework/native.h"

// One field or key of a table description. A description holds a reference to
// each of its items; the components of a composite key are items of the same
// description (not owned).
class XbaseItemDescription final : public CXRefObject<IXbaseItemDescription> {
public:
    XbaseItemDescription();
    const char16_t* GetIndexPath() override { return index_path.c_str(); }
    const char16_t* GetKeyExpression() override { return key_expression.c_str(); }
    int GetComponentCount() override { return (int)components.size(); }
    int SetComponentCount(int count) override;
    IXbaseItemDescription* GetComponent(int i) override;
    int SetComponent(int i, IXbaseItemDescription* item) override;
    void Destroy() override;
    int CopyFrom(IXbaseItemDescription* other) override;
    const char16_t* GetName() override { return name.c_str(); }
    int GetHostType() override { return host_type; }
    int GetSize() override { return size; }
    int GetDigits() override { return digits; }
    int GetDecimals() override { return decimals; }
    int GetTypeLetter() override { return (unsigned char)type_letter; }
    int IsField() override { return field ? 1 : 0; }
    int GetKeyNumber() override { return key_number; }
    int GetKeyOptions() override { return key_options; }
    int GetTagNumber() override { return tag_number; }
    const char16_t* GetMemoPath() override { return memo_path.c_str(); }

    // Items alive in the process (tests count them).
    static int Live();

    std::u16string name;
    char type_letter = ' ';
    int host_type = 0, size = 0, digits = 0, decimals = 0;
    bool field = false;
    int field_index = -1;   // in the data file, for fields
    int field_length = 0;   // the field's length in the data file
    int key_number = 0, key_options = 0, tag_number = 0;
    std::u16string index_path, key_expression, memo_path;
    std::vector<IXbaseItemDescription*> components;  // not owned
};

class XbaseDriver;

// Objects the driver registers leave its registry when they are destroyed. The
// owner field is read under the driver lock (a driver going away clears it).
void leave_registry(XbaseDriver* const& owner, IXObject* object);

// One index file of a table's index set (see GetIndexSetReport).
struct IndexSetEntry {
    std::u16string path;
    bool writable = false;  // the engine keeps it in step; else every write is refused
    std::u16string reason;  // why it is the table's, or why it cannot be kept in step
};

class XbaseTableDescription final : public CXRefObject<IXbaseTableDescription> {
public:
    explicit XbaseTableDescription(XbaseDriver* driver);
    XbaseDriver* owner;
    const char16_t* GetPhysicalPath() override { return path_.c_str(); }
    int GetHostFormatCode() override { return host_format_; }
    const char16_t* GetMemoName() override { return memo_.empty() ? nullptr : memo_.c_str(); }
    void Reserved1() override {}
    void Reserved2() override {}
    void Reserved3() override {}
    void Reserved4() override {}
    void Reserved5() override {}
    void Reserved6() override {}
    void Reserved7() override {}
    void Reserved8() override {}
    void Reserved9() override {}
    void Reserved10() override {}
    void Destroy() override;
    int CheckItemExists(const char16_t* item) override;
    int CopyFrom(IXbaseTableDescription* other) override;
    int Describe() override;
    int SetPhysicalPath(const char16_t* path) override;
    const char16_t* GetTableName() override { return table_name_.c_str(); }
    int GetItemCount() override { return (int)items_.size(); }
    IXbaseItemDescription* GetItem(int i) override;
    IXbaseItemDescription* FindItem(const char16_t* name) override;
    const char16_t* GetAssociationReport() override { return report_.c_str(); }
    int AddField(const char16_t* name, int host_type, int size, int digits, int decimals) override;
    int AddKey(const char16_t* name, const char16_t* expression, const char16_t* index_file, int options) override;
    int SetMemoName(const char16_t* name) override {
        memo_ = name ? name : u"";
        return 1;
    }
    int SetHostFormatCode(int code) override {
        host_format_ = code;
        return 1;
    }
    int SetCreationOptions(int options) override {
        creation_options_ = options;
        return 1;
    }
    int CreationOptions() const { return creation_options_; }
    const char16_t* GetIndexSetReport() override;

    // The index set: the files found to be the table's (TakeIndex), the files
    // found beside it and passed over (PassOverIndex), and the index file of every
    // key (declared, associated, created), which belongs to the set as well.
    void TakeIndex(const std::u16string& path, bool writable, const std::u16string& reason);
    void PassOverIndex(const std::u16string& path, const std::u16string& reason);
    std::vector<IndexSetEntry> IndexSet() const;
    // A digest of what the index set is made of (the files taken, every key's
    // number, tag, field and index file): equal digests, the same set.
    uint64_t IndexSetStamp() const;

    // The driver's own use. Describes into `holder` (the description's own by
    // Describe).
    int DescribeInto(CXErrorHolder* holder);
    XbaseItemDescription* Find(const std::u16string& name);
    // Takes over the caller's reference.
    void AddItem(XbaseItemDescription* item);
    int VariantRow() const { return variant_row_; }
    int VariantCode() const;
    int NextKeyNumber() const;
    void Report(const std::u16string& message);
    // Changes whenever items are added, removed or changed: what was bound to the
    // items is bound again.
    uint32_t Generation() const { return generation_; }
    void Changed() { generation_++; }
    static int Live();

private:
    ~XbaseTableDescription();
    void ClearItems();

    std::u16string path_, memo_, table_name_, report_, set_report_;
    std::vector<IndexSetEntry> index_set_;
    std::vector<IndexSetEntry> passed_over_;
    int host_format_ = 0;
    int variant_row_ = -1;
    int creation_options_ = 0;
    uint32_t generation_ = 0;
    std::vector<XbaseItemDescription*> items_;  // one reference each
};

class XbaseTable final : public CXRefObject<IXbaseTable> {
public:
    explicit XbaseTable(XbaseDriver* driver) : owner(driver) {}
    XbaseDriver* owner;
    void Destroy() override;
    IXbaseTableDescription* GetDescription() override { return description_; }
    int SetOpenMode(int mode) override {
        open_mode_ = mode;
        return 1;
    }
    int IsOpen() override { return open_ ? 1 : 0; }
    int SetTableDescription(IXbaseTableDescription* description) override;
    int FileLockState() override;
    int SetLockMode(int mode) override {
        lock_mode_ = mode;
        lock_mode_own_ = true;
        return 1;
    }
    // Takes the file lock of host request `request` whatever the lock mode (the
    // exclusive use of an HDBOuvre declaration); error 1054 when refused.
    int TakeFileLock(int request, CXErrorHolder* holder);
    // Takes a reference to `description` (dropping an earlier one).
    void SetDescription(XbaseTableDescription* description);
    // The engine handle of the data file (-1 while the table is closed).
    int16_t DataHandle() const;
    // The index of a key, opened on its first use (and kept until the table closes):
    // fills *access for the uniform index operations. 0 with the reason (1023,
    // 1058, 1001, 1044) in the table's holder.
    int UseKey(const std::u16string& key, struct IndexAccess* access, CXErrorHolder* holder = nullptr);
    // The index file `path` of the table's index set, opened on its first use (a
    // single-key file, or tag `tag`); *desc receives its description.
    int UseIndexFile(const std::u16string& path, int tag, struct IndexAccess* access, IndexDescription* desc,
                     CXErrorHolder* holder);
    // The kind of keys of an open file or tag, learnt from the table where the
    // file does not say (IDX, CDX).
    void LearnKeyType(int type, int16_t handle);
    // Text of this table's files converts between OEM and ANSI with the system's
    // tables (else only fifteen accented letters change).
    void SetOemToAnsi(bool on) { oem_to_ansi_ = on; }
    bool OemToAnsi() const { return oem_to_ansi_; }

    // Reading and browsing (table_reading.cpp), for a cursor's state or, where the
    // state is null, for the table alone. Errors go to `holder`.
    // Reads record n (0: the current one). *got: whether a record was read (no
    // such record sets end of data); *deleted: whether it is marked deleted.
    int ReadRecord(struct CursorState* cursor, int64_t n, bool number_only, int* deleted, bool* got,
                   CXErrorHolder* holder);
    int BrowseCursor(struct CursorState* cursor, const std::u16string& key, int mode, int options, CXErrorHolder* holder);
    int SetRange(struct CursorState* cursor, const std::u16string& key, const HostItemValue* from,
                 const HostItemValue* to, CXErrorHolder* holder);
    int RangeBrowse(struct CursorState* cursor, const std::u16string& key, int mode, const HostItemValue* from,
                    const HostItemValue* to, int options, CXErrorHolder* holder);
    int BuildSearch(struct CursorState* cursor, const std::u16string& key, const HostItemValue* value, int options,
                    CXErrorHolder* holder);
    int SearchCursor(struct CursorState* cursor, const std::u16string& key, const HostItemValue* value, int options,
                     int* outcome, CXErrorHolder* holder);
    int ChangeKey(struct CursorState* cursor, const std::u16string& key, CXErrorHolder* holder);
    int CountFor(struct CursorState* cursor, int64_t* count, int options, CXErrorHolder* holder);
    int SaveCursor(const struct CursorState* cursor, HostCursorPosition* position, CXErrorHolder* holder);
    int RestoreCursor(struct CursorState* cursor, const HostCursorPosition* position, CXErrorHolder* holder);
    int RefreshEnd(struct CursorState* cursor, CXErrorHolder* holder);
    int RecordCount(int64_t* count, CXErrorHolder* holder);
    int HasKey() override;
    int CreateFiles() override;
    int Refused() override { return refuse(); }
    int Open() override;
    int Close() override;
    int AddRecord() override;
    int WriteRecordAt(int64_t recno) override;
    int DeleteRecord(int64_t recno, int lock_type) override;
    int ModifyRecord(int64_t recno) override;
    int DeleteRecordAt(int64_t recno, int lock_type) override;
    int GoToRecord(int64_t recno) override;
    int StartKeyBrowse(IXbaseCursor* cursor, const char16_t* key) override;
    int BrowseRange(IXbaseCursor* cursor, const char16_t* key, int mode, const HostItemValue* from,
                    const HostItemValue* to, int options) override;
    int BuildSearchValue(IXbaseCursor* cursor, const char16_t* key, const HostItemValue* value, int options) override;
    int RefreshItem(const char16_t*) override { return refuse(); }
    int LockFile(int request) override;
    int UnlockFile() override;
    int LockRecord(int64_t recno, int type) override;
    int UnlockRecord(int64_t recno) override;
    int RecordRequest(int) override { return refuse(); }
    int CountRecords(int64_t* count) override;
    int CurrentRecordNumber(int64_t* recno) override;
    int GoToRecordRequest(int64_t) override { return refuse(); }
    // The key of the current record, as bytes, into the host record's item of the
    // key's name.
    int ComputeKeyValue(const char16_t* key) override;
    // The key that the host values of a composite key's components make, as bytes,
    // into the host record's item of the key's name (the value a search takes).
    int BuildCompositeSearchValue(const std::u16string& key, CXErrorHolder* holder);
    int LockOrUnlockRecord(int64_t recno, int type) override;
    int Compact(int options) override;
    int Reopen() override;
    int ChangeBrowseKey(IXbaseCursor* cursor, const char16_t* key) override;
    int RecordLayerRequest(int) override { return refuse(); }
    int RecheckDataFile() override;
    int CreateFirstAuxiliary() override { return refuse(); }
    int AttachHostRecord(IHostRecord* record) override;
    int CreateSecondAuxiliary() override { return refuse(); }
    int ReadCurrentRecord() override;
    int SetMemoPath(const char16_t* path) override;
    int ReleaseResources() override;
    int ValidateRecordNumber(int64_t recno) override;
    int Browse(IXbaseCursor* cursor, const char16_t* key, int mode, int options) override;
    int Refresh() override { return refuse(); }

private:
    int refuse() { return refuse_operation(errors_, 30); }
    XbaseTableDescription* description_ = nullptr;
    struct PhysicalFile* file_ = nullptr;  // shared with the other tables of the data file
    bool open_ = false;
    int open_mode_ = 0;  // the host's open mode: 3 reads and writes, anything else reads
    int lock_mode_ = 1;  // see SetLockMode
    bool lock_mode_own_ = false;
    int64_t current_record_ = 0;
    struct OpenIndex {
        std::u16string path;
        int type;
        int16_t handle;
        std::vector<int32_t> tags;  // a multi-tag file's open tags by number (-1: not open)
        uint32_t held_for = 0;      // the table's whole lock the file is held for (0: none)
        int16_t tag_count = -1;     // its tags when they were opened (-1: not listed yet)
        uint64_t tag_stamp = 0;     // and the stamp of their list
    };
    // A multi-tag file found with `count` tags listed as `stamp`: when another
    // program made or removed one since its tags were opened, their numbers may
    // name other tags now, and they are opened again. True when they were.
    bool RenumberTags(const std::u16string& path, int16_t count, uint64_t stamp);
    std::vector<OpenIndex> indexes_;  // this table's open index files, by path
    uint32_t indexes_generation_ = 1;  // changes when they close: accesses kept by cursors are made again
    bool oem_to_ansi_ = false;
    HostBinding binding_;
    MemoReader memo_;
    void CloseIndexes();
    // Table-writing helpers (table_writing.cpp).
    struct KeyWork {
        class XbaseItemDescription* item = nullptr;  // the key that names the file, when one does
        std::u16string name;                         // the key's name, else the file's
        std::u16string path;                         // the index file
        std::string expression;  // as the index says it (code page 1252), made wide for a message
        bool unique = false;
        IndexAccess access{};
        uint8_t old_key[kIndexKeyBuffer] = {0};
        uint8_t new_key[kIndexKeyBuffer] = {0};
        // Whether the record as it was and as it is belongs in the index (a
        // conditional index leaves records out).
        bool old_in = true, new_in = true;
        bool changed = false;
        bool revived = false;  // a deleted record made live: its entries may be missing
    };
    int WriteRecord(int64_t* recno, bool keys_too, uint16_t mode, CXErrorHolder* holder);
    int WriteLockTake(CXErrorHolder* holder, bool* taken);
    int FillAutomaticIdentifier(uint16_t mode, CXErrorHolder* holder);
    void WriteLockRelease(bool taken);
    // Every index of the table's index set, opened, with what it needs to be kept
    // in step; 0 with the reason when one cannot be (nothing is written then).
    int KeysOfTable(std::vector<KeyWork>* keys, CXErrorHolder* holder);
    // The keys as made last, for the next write: they stand while the index set,
    // the open index files and every multi-tag file's list of tags stay the same.
    struct KeysMade {
        bool valid = false;
        uint64_t stamp = 0;
        std::vector<KeyWork> keys;
        struct TagFile {
            int type;
            int16_t handle, tags;
            uint64_t stamp;
        };
        std::vector<TagFile> tag_files;
    } keys_made_;
    uint64_t KeysStamp() const;
    // Holds (or stops holding) every open index file for the table's whole lock
    // as it is now.
    void HoldIndexesForWholeLock();
    // Applies the change of every key from (old_in, old_key) to (new_in, new_key);
    // 0 with every key put back when one fails.
    int ApplyKeyChanges(std::vector<KeyWork>& keys, uint32_t recno, CXErrorHolder* holder);
    int MakeRecordKey(KeyWork& key, uint8_t* out, bool* included, CXErrorHolder* holder);
    // Hands key bytes to the host record's item named `key` (when the host bound one).
    int GiveKeyToHost(const std::u16string& key, const KeyWork& work, const uint8_t* bytes);
    // Puts the host record's values into the record buffer: the fields, or (memos)
    // the memo items, written to the memo file first.
    // New memos' blocks go to `new_blocks`, the blocks of the memos they replace
    // (given back once the record is rewritten) to `old_blocks`.
    int StoreFields(bool modify, bool memos, std::vector<uint32_t>* new_blocks, std::vector<uint32_t>* old_blocks,
                    CXErrorHolder* holder);
    // The new keys of the record in the buffer; a unique key another record holds
    // (DUPLICATESON) refuses the write (1053) before it is made.
    int ComputeNewKeys(std::vector<KeyWork>& keys, bool modify, uint32_t recno, CXErrorHolder* holder);
    int DeleteWithKeys(int64_t recno, int lock_type, CXErrorHolder* holder);
    int ReleaseFileLocks();
    void ReleaseRecordLocksOfTable();
    int LockRecordFor(uint32_t recno, int type, CXErrorHolder* holder);
    // Table-reading helpers (table_reading.cpp).
    int FillHost(uint32_t recno, bool deleted, CXErrorHolder* holder);
    int PrepareKey(struct CursorState* cursor, const std::u16string& key, CXErrorHolder* holder);
    int KeyMove(struct CursorState* cursor, int mode, int options, CXErrorHolder* holder);
    // Reads the record a key points to; a record the data file does not hold is
    // error 1015 (raised at `site`).
    int ReadKeyedRecord(struct CursorState* cursor, uint32_t recno, unsigned site, CXErrorHolder* holder);
    int PhysicalMove(struct CursorState* cursor, int mode, int options, CXErrorHolder* holder);
    int MakeBoundKey(struct CursorState* cursor, const HostItemValue* value, uint8_t* key, uint32_t* length,
                     CXErrorHolder* holder);
    class XbaseCursor* CursorOf(IXbaseCursor* cursor);
};

class XbaseTableContext final : public CXRefObject<IXbaseTableContext> {
public:
    void FreeText(char16_t* text) override { delete[] text; }
    int ContextComputeKey(const char16_t* table, const char16_t* key) override;
    // The context lock (a shared reader lock of the data file) on the named table,
    // opened first when needed; ...IfOpen answers 1 for a table that is not open.
    int ContextLock(const char16_t* table) override { return Lock(table, true); }
    int ContextLockIfOpen(const char16_t* table) override { return Lock(table, false); }
    int ContextSearchValue(const char16_t* table, const char16_t* key) override;
    void Destroy() override { delete this; }
    int16_t first_handle = -1, second_handle = -1;

private:
    int Lock(const char16_t* table, bool open_when_needed);
    // The named table, opened when needed; null with the reason in the holder.
    class XbaseTable* TableNamed(const char16_t* table);
};
