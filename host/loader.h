#pragma once
// Loads the library as the host does and keeps the session: load, CheckVersion,
// bExternalInitLibrary, bDLLCompatible, bInitVLCalcFromVM and bInitVLConvFromVM
// with the host module, piQueryInterface ... and at the end the driver's release,
// ExternalTermLibrary and the unload.

#include <string>

#include "driver/interfaces.h"
#include "driver/library.h"

struct LibraryExports {
    decltype(&CheckVersion) check_version = nullptr;
    decltype(&bExternalInitLibrary) init = nullptr;
    decltype(&ExternalTermLibrary) term = nullptr;
    decltype(&piQueryInterface) query_interface = nullptr;
    decltype(&pQueryProxy) query_proxy = nullptr;
    decltype(&DeclareProxy) declare_proxy = nullptr;
    decltype(&Execution) execution = nullptr;
    decltype(&CommandeComposante) command = nullptr;
    decltype(&bDLLCompatible) compatible = nullptr;
    decltype(&bInitVLCalcFromVM) init_calc = nullptr;
    decltype(&bInitVLConvFromVM) init_conv = nullptr;
};

class HostSession {
public:
    HostSession() = default;
    ~HostSession() { Stop(); }
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    // Loads and starts; false with a reason in Error() when a step fails.
    bool Start(const std::string& library_path, const std::string& host_module_path);
    // Releases the driver, stops and unloads (also done by the destructor).
    void Stop();

    IXbaseDriver* Driver() { return driver_; }
    // The caller has released the driver itself: Stop must not again.
    void ForgetDriver() { driver_ = nullptr; }
    const LibraryExports& Exports() const { return exports_; }
    void* LibraryHandle() { return library_; }
    void* HostModule() { return module_; }
    const std::string& Error() const { return error_; }
    int Version() const { return version_; }

private:
    bool fail(const std::string& why);
    void* library_ = nullptr;
    void* module_ = nullptr;
    LibraryExports exports_;
    IXbaseDriver* driver_ = nullptr;
    bool started_ = false;
    int version_ = 0;
    std::string error_;
};

// Where the built library and host module are: $QXDB_LIBRARY / $QXDB_HOST_MODULE
// when set, else beside the running program.
std::string default_library_path();
std::string default_host_module_path();
