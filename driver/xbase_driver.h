#pragma once
// The driver object: the host's entry to connections and tables.

#include <string>
#include <vector>

#include "driver/interfaces.h"
#include "framework/native.h"

class XbaseDriver final : public NativeDriver<IXbaseDriver> {
public:
    XbaseDriver();
    int FirstInterfaceId() override { return 18; }
    int SecondInterfaceId() override { return 17; }
    int PrepareDescription(IXbaseTableDescription* description) override;
    IXbaseTable* OpenTableByName(IXbaseConnection* connection, const char16_t* name) override;
    void Destroy() override;
    IXbaseTableDescription* CreateTableDescription() override;
    IXbaseTable* CreateTable() override;
    IXbaseCursor* CreateCursor(IXbaseTable* table) override;
    IXObject* CreateRequest(int kind) override;
    int AnswersZero() override { return 0; }
    IXbaseConnection* CreateConnection(const HostConnectionDescription* description) override;
    IXbaseTableContext* CreateTableContext() override;
    int ListTables(IHostResultValue* result, IXbaseConnection* connection, uint32_t options) override;
    int TableExists(IXbaseConnection* connection, const char16_t* name, int* exists) override;
    int AnswersOne() override { return 1; }
    IXbaseTable* OpenTableFromDescription(IXbaseConnection* connection, IXbaseTableDescription* description) override;
    IXbaseTable* RegisteredTable(const char16_t* name) override;
    // A table by name: the HDBOuvre registration of that name, else a live table
    // whose file has that name (case aside). Null when there is none.
    class XbaseTable* FindTable(const std::u16string& name);

    // HDBOuvre and HDBIndex (the proxy's operations).
    int DeclareTable(const char16_t* connection, const char16_t* table, const char16_t* path, int options);
    // True when an HDBOuvre declaration of `table` asked for exclusive use.
    bool DeclaredExclusive(const class XbaseTable* table);
    int DeclareIndex(const char16_t* connection, const char16_t* table, const char16_t* index, const char16_t* key);

    // Proxies handed out for this driver: told when it goes.
    void AttachProxy(class DriverProxy* proxy);
    void DetachProxy(class DriverProxy* proxy);

    // The error-holder factory's work at piQueryInterface: a fresh holder.
    void RenewErrorHolder() { errors_.Reset(); }

private:
    ~XbaseDriver();
    // A table opened through HDBOuvre, with the index files HDBIndex joined to it.
    struct Registration {
        std::u16string name;
        class XbaseTable* table;  // one reference, opened
        std::vector<std::u16string> indexes;
        int options = 0;
    };
    Registration* FindRegistration(const std::u16string& name);
    // The named connection, opened; null (error 1004 raised) when it cannot be.
    class XbaseConnection* OpenConnectionNamed(const std::u16string& name);
    std::vector<class DriverProxy*> proxies_;
    std::vector<Registration> registrations_;
};
