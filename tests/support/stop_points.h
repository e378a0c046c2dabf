#pragma once
// A stop at every moment: an operation that changes several places of a file, or
// several files, is run once to count its changes to the file system, then once
// per change with the fault switch of the OS layer ending the process just before
// that change (as a kill would), or failing it (as a full disk would); after every
// stop the test's check looks at what the stop left.

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <functional>
#include <string>

#include "engine/core/engine.h"
#include "engine/core/os.h"
#include "tests/support/engine_test.h"

// What the stop loops saw, for the session's record.
struct Tally {
    int points = 0, killed = 0, failed = 0;
};

class StopPointsTest : public EngineTest {
public:  // test helpers outside the fixture run stop loops too
    // What starts and stops the engine in the child that runs the operation (the
    // library's start and stop for operations through the driver).
    virtual void StartInChild() { xdbinit(); }
    virtual void StopInChild() { xdbterm(); }
    std::string pristine() { return dir_ + "/pristine"; }
    std::string work() { return dir_ + "/work"; }
    void save_pristine() {
        std::filesystem::create_directories(pristine());
        for (const auto& e : std::filesystem::directory_iterator(work())) std::filesystem::copy_file(e.path(), pristine() / e.path().filename());
    }
    void restore_pristine() {
        std::filesystem::remove_all(work());
        std::filesystem::create_directories(work());
        for (const auto& e : std::filesystem::directory_iterator(pristine())) std::filesystem::copy_file(e.path(), work() / e.path().filename());
    }
    // The number of changes `operation` makes from the pristine files.
    uint32_t count_changes(const std::function<void()>& operation) {
        restore_pristine();
#ifdef _WIN32
        uint32_t n = run_in_place(operation, 0xFFFFFFFFu, OSL_FAULT_FAIL);
        return n > 250 ? 250 : n;
#else
        pid_t pid = fork();
        if (pid == 0) {
            StartInChild();
            osl_fault_arm(0xFFFFFFFFu, OSL_FAULT_FAIL);
            operation();
            uint32_t n = osl_fault_changes();
            osl_fault_arm(0, 0);
            StopInChild();
            _exit(n > 250 ? 250 : (int)n);  // the exit code carries the count
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? (uint32_t)WEXITSTATUS(status) : 0;
#endif
    }
    // The operation in this process with the fault switch armed; the engine as the
    // test had it afterwards (started, nothing open). The changes counted. A failed
    // write leaves the process running, so failures are tried in place on every
    // platform (which also shows the engine whole after the operation's error).
    uint32_t run_in_place(const std::function<void()>& operation, uint32_t nth, int action) {
        StartInChild();
        osl_fault_arm(nth, action);
        operation();
        uint32_t n = osl_fault_changes();
        osl_fault_arm(0, 0);
        StopInChild();
        if (!xdb_started()) xdbinit();
        return n;
    }
    // The operation ended just before its nth change, as a kill ends it: in a
    // child process here; on Windows, which cannot fork, in this process with the
    // files frozen from that change on.
    void kill_at(const std::function<void()>& operation, uint32_t nth) {
#ifdef _WIN32
        run_in_place(operation, nth, OSL_FAULT_FREEZE);
#else
        pid_t pid = fork();
        if (pid == 0) {
            StartInChild();
            osl_fault_arm(nth, OSL_FAULT_EXIT);
            operation();
            osl_fault_arm(0, 0);
            StopInChild();
            _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status)) << "stop point " << nth << " crashed";
        ASSERT_EQ(WEXITSTATUS(status), OSL_FAULT_EXIT_CODE) << "stop point " << nth;
#endif
    }
    // For every stop point: the operation from the pristine files, ended (or failed)
    // at that change, then `verify` on what the stop left.
    void at_every_stop(const std::function<void()>& operation, const std::function<void(const std::string&)>& verify,
                       Tally* tally) {
        uint32_t changes = count_changes(operation);
        ASSERT_GT(changes, 0u);
        ASSERT_LT(changes, 250u) << "keep the operation small enough to count";
        for (int action : {OSL_FAULT_EXIT, OSL_FAULT_FAIL}) {
            for (uint32_t n = 1; n <= changes; n++) {
                restore_pristine();
                if (action == OSL_FAULT_FAIL) {
                    run_in_place(operation, n, action);
                } else {
                    kill_at(operation, n);
                    if (HasFatalFailure()) return;
                }
                tally->points++;
                (action == OSL_FAULT_EXIT ? tally->killed : tally->failed)++;
                xdb_set_status(XD_OK);
                verify((action == OSL_FAULT_EXIT ? "kill at change " : "failure of change ") + std::to_string(n));
                if (HasFatalFailure()) return;
            }
        }
    }
};

