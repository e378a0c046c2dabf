#pragma once
// A connection of this driver: a directory of xBase files.

#include <string>

#include "driver/interfaces.h"
#include "framework/native.h"

class XbaseDriver;

class XbaseConnection final : public CXRefObject<IXbaseConnection> {
public:
    XbaseConnection(XbaseDriver* owner, const HostConnectionDescription* description);
    void Destroy() override;
    int Open() override;
    int IsEngineStarted() override;
    const char16_t* GetSource() override { return source_.c_str(); }
    const char16_t* GetExtendedInfo() override { return extended_info_.c_str(); }
    // Open only under the engine start it was opened in: a complete stop of the
    // library and a new start close every connection of before.
    int IsOpen() override;
    int Close() override;
    int GetOemToAnsi() override { return oem_to_ansi_ ? 1 : 0; }
    int ResolveTablePath(const char16_t* name, const char16_t* default_extension, char16_t* out, uint32_t cap,
                         IXErrorHolder* holder) override;

    // Path resolution for the driver: the full path, or false after error 1031.
    bool Resolve(const std::u16string& name, const std::u16string& default_extension, std::u16string* path,
                 CXErrorHolder* holder);
    const std::u16string& Name() const { return name_; }
    XbaseDriver* owner;  // null once the driver has gone
    // A count the framework sets at creation.
    int32_t framework_count = 10;

private:
    std::u16string name_, source_, extended_info_;
    bool oem_to_ansi_ = false;
    bool open_ = false;
    uint32_t opened_under_ = 0;  // library().engine_starts when opened
};

// The OEMTOANSI rule: the option's value is WINDOWS, in any case.
bool oem_to_ansi_requested(const std::u16string& extended_info);
// Starts the engine for `holder`'s object: error 1000 when it cannot start.
int start_engine_or_raise(CXErrorHolder* holder);
// Directory separator of this platform's paths.
extern const char16_t kPathSeparator;
