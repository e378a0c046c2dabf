#pragma once
// A line of progress on standard error for long work: items done of the total,
// the rate and the time left. Shown only when standard error is a terminal, and
// only once the work has taken more than a second; redrawn five times a second.

#include <chrono>
#include <cstdint>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

class Progress {
public:
    // `total` 0: not known (the count and rate only).
    Progress(const std::string& what, uint64_t total);
    ~Progress() { Finish(); }
    void Step(uint64_t done) {
        if (enabled_ && (done & 1023) == 0) Draw(done);
    }
    void Finish();

private:
    void Draw(uint64_t done);
    std::string what_;
    uint64_t total_;
    bool enabled_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_, last_;
};

// The progress line of the engine's long calls (an index build, a pack), which
// report it to the engine's hook (xdb_set_progress): set while this lives.
class EngineProgress {
public:
    explicit EngineProgress(const std::string& what);
    ~EngineProgress();
    EngineProgress(const EngineProgress&) = delete;
    EngineProgress& operator=(const EngineProgress&) = delete;

private:
    static void Report(void* context, uint32_t done, uint32_t total);
    std::string what_;
    std::unique_ptr<Progress> progress_;  // made at the first report, which gives the total
};

// For one long call that tells nothing of its progress (a compaction through the
// library): the time it has taken so far, on a terminal, from a thread of this
// program while the call runs.
class ElapsedLine {
public:
    explicit ElapsedLine(const std::string& what);
    ~ElapsedLine();
    ElapsedLine(const ElapsedLine&) = delete;
    ElapsedLine& operator=(const ElapsedLine&) = delete;

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};
