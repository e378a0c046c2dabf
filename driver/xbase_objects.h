#pragma once
// The driver's table-level objects. Their xBase operations arrive with the table,
// reading, writing and locking work; until then each answers 0 with the
// framework's error 8 ("Opération non supportée.") in the object's error holder.

#include <string>
#include <vector>

#include "driver/interfaces.h"
#include "framework/native.h"

class XbaseItemDescription final : public CXRefObject<IXbaseItemDescription> {
public:
    const char16_t* GetIndexPath() override { return index_path_.c_str(); }
    const char16_t* GetKeyExpression() override { return key_expression_.c_str(); }
    int GetComponentCount() override { return (int)components_.size(); }
    int SetComponentCount(int count) override;
    IXbaseItemDescription* GetComponent(int i) override;
    int SetComponent(int i, IXbaseItemDescription* item) override;
    void Destroy() override { delete this; }
    int CopyFrom(IXbaseItemDescription* other) override;
    char type_letter = ' ';

private:
    std::u16string index_path_, key_expression_;
    std::vector<IXbaseItemDescription*> components_;  // not owned
};

class XbaseDriver;

// Objects the driver registers leave its registry when they are destroyed. The
// owner field is read under the driver lock (a driver going away clears it).
void leave_registry(XbaseDriver* const& owner, IXObject* object);

class XbaseTableDescription final : public CXRefObject<IXbaseTableDescription> {
public:
    explicit XbaseTableDescription(XbaseDriver* driver) : owner(driver) {}
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
    void Destroy() override {
        leave_registry(owner, this);
        delete this;
    }
    int CheckItemExists(const char16_t*) override { return refuse_operation(errors_, 20); }
    int CopyFrom(IXbaseTableDescription* other) override;
    int Describe() override { return refuse_operation(errors_, 21); }

private:
    std::u16string path_, memo_;
    int host_format_ = 0;
    int variant_row_ = -1;
};

class XbaseTable final : public CXRefObject<IXbaseTable> {
public:
    explicit XbaseTable(XbaseDriver* driver) : owner(driver) {}
    XbaseDriver* owner;
    void Destroy() override {
        leave_registry(owner, this);
        delete this;
    }
    int HasKey() override { return 0; }
    int CreateFiles() override { return refuse(); }
    int Refused() override { return refuse(); }
    int Open() override { return refuse(); }
    int Close() override { return refuse(); }
    int AddRecord() override { return refuse(); }
    int WriteRecordAt(int64_t) override { return refuse(); }
    int DeleteRecord(int64_t) override { return refuse(); }
    int ModifyRecord(int64_t) override { return refuse(); }
    int DeleteRecordAt(int64_t) override { return refuse(); }
    int GoToRecord(int64_t) override { return refuse(); }
    int StartKeyBrowse(const char16_t*) override { return refuse(); }
    int BrowseRange(const char16_t*, int) override { return refuse(); }
    int BuildSearchValue(const char16_t*) override { return refuse(); }
    int RefreshItem(const char16_t*) override { return refuse(); }
    int LockFile(int) override { return refuse(); }
    int UnlockFile() override { return refuse(); }
    int LockRecord(int64_t, int) override { return refuse(); }
    int UnlockRecord(int64_t) override { return refuse(); }
    int RecordRequest(int) override { return refuse(); }
    int CountRecords(int64_t*) override { return refuse(); }
    int CurrentRecordNumber(int64_t*) override { return refuse(); }
    int GoToRecordRequest(int64_t) override { return refuse(); }
    int ComputeKeyValue(const char16_t*) override { return refuse(); }
    int LockOrUnlockRecord(int64_t, int) override { return refuse(); }
    int Compact() override { return refuse(); }
    int Reopen() override { return refuse(); }
    int ChangeBrowseKey(const char16_t*) override { return refuse(); }
    int RecordLayerRequest(int) override { return refuse(); }
    int RecheckDataFile() override { return refuse(); }
    int CreateFirstAuxiliary() override { return refuse(); }
    int AttachHostRecord(void*) override { return refuse(); }
    int CreateSecondAuxiliary() override { return refuse(); }
    int ReadCurrentRecord() override { return refuse(); }
    int SetMemoPath(const char16_t*) override { return refuse(); }
    int ReleaseResources() override { return 1; }
    int ValidateRecordNumber(int64_t) override { return refuse(); }
    int Browse(int) override { return refuse(); }
    int Refresh() override { return refuse(); }

private:
    int refuse() { return refuse_operation(errors_, 30); }
};

class XbaseCursor final : public CXRefObject<IXbaseCursor> {
public:
    explicit XbaseCursor(IXbaseTable* table) : table_(table) {}
    void Destroy() override { delete this; }
    int Count(int64_t*) override { return refuse_operation(errors_, 40); }
    int FillHostRecord() override { return refuse_operation(errors_, 41); }
    int SavePosition() override { return refuse_operation(errors_, 42); }
    int RestorePosition() override { return refuse_operation(errors_, 43); }
    int RefreshEndFlag() override { return refuse_operation(errors_, 44); }
    IXbaseTable* Table() const { return table_; }

private:
    IXbaseTable* table_;  // not owned
};

class XbaseTableContext final : public CXRefObject<IXbaseTableContext> {
public:
    void FreeText(char16_t* text) override { delete[] text; }
    int ContextComputeKey(const char16_t*, const char16_t*) override { return refuse_operation(errors_, 50); }
    int ContextLock(const char16_t*) override { return refuse_operation(errors_, 51); }
    int ContextLockIfOpen(const char16_t*) override { return 1; }  // no table of this context is open yet
    int ContextSearchValue(const char16_t*, const char16_t*) override { return refuse_operation(errors_, 52); }
    void Destroy() override { delete this; }
    int16_t first_handle = -1, second_handle = -1;
};
