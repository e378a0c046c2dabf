#pragma once
// The proxy of the host-language functions that exist only for this driver
// (HDBOuvre, HDBIndex), handed out by pQueryProxy(191).

#include "driver/interfaces.h"
#include "framework/native.h"

class XbaseDriver;

class DriverProxy final : public IXDriverProxy {
public:
    explicit DriverProxy(XbaseDriver* driver);
    // The driver is going away: from now on the proxy answers without it.
    void ForgetDriver() { driver_ = nullptr; }
    int AnswersTwoA() override { return 2; }
    int AnswersTwoB() override { return 2; }
    int AnswersMinusOneA() override { return -1; }
    int AnswersMinusOneB() override { return -1; }
    void DoesNothing() override {}
    uint32_t AddRef() override { return ++refs_; }
    uint32_t Release() override;
    IXErrorHolder* GetDriverErrorHolder() override;
    int OpenTable(const char16_t* connection, const char16_t* table, const char16_t* path, int options) override;
    int AssociateIndex(const char16_t* connection, const char16_t* table, const char16_t* index,
                       const char16_t* key) override;
    int MarkDeclared(const char16_t*, const char16_t*) override { return 1; }
    int AsciiSort(int request) override;
    void Nothing1() override {}
    void Nothing2() override {}
    void Nothing3() override {}
    void Nothing4() override {}
    void Nothing5() override {}
    void Nothing6() override {}
    void Nothing7() override {}
    void Nothing8() override {}
    void Nothing9() override {}
    void Nothing10() override {}
    void Nothing11() override {}
    void Nothing12() override {}
    void Destroy() override;
    uint32_t References() const { return refs_; }

private:
    XbaseDriver* driver_;  // not owned; cleared by the driver when it goes
    std::atomic<uint32_t> refs_{0};
    CXErrorHolder errors_;  // where the proxy's reasons go once its driver is gone
};
