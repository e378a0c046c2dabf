// The progress line of long commands (see progress.h).

#include "host/progress.h"

#include "engine/core/engine.h"
#include "host/host_platform.h"

#include <cstdio>

Progress::Progress(const std::string& what, uint64_t total)
    : what_(what), total_(total), enabled_(host_stderr_is_terminal()), start_(std::chrono::steady_clock::now()), last_(start_) {}

void Progress::Draw(uint64_t done) {
    const auto now = std::chrono::steady_clock::now();
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    if (elapsed < 1.0 || std::chrono::duration<double>(now - last_).count() < 0.2) return;
    last_ = now;
    const double rate = done / elapsed;
    if (total_ > 0) {
        const double left = rate > 0 ? (double)(total_ - (done < total_ ? done : total_)) / rate : 0;
        fprintf(stderr, "\r%s: %llu / %llu (%.0f%%), %.0f a second, %.0f s left   ", what_.c_str(),
                (unsigned long long)done, (unsigned long long)total_, 100.0 * done / total_, rate, left);
    } else {
        fprintf(stderr, "\r%s: %llu, %.0f a second   ", what_.c_str(), (unsigned long long)done, rate);
    }
    drawn_ = true;
}

void Progress::Finish() {
    if (drawn_) fputs("\n", stderr);
    drawn_ = false;
    enabled_ = false;
}

EngineProgress::EngineProgress(const std::string& what) : what_(what) { xdb_set_progress(&EngineProgress::Report, this); }

EngineProgress::~EngineProgress() { xdb_set_progress(nullptr, nullptr); }

void EngineProgress::Report(void* context, uint32_t done, uint32_t total) {
    EngineProgress* p = (EngineProgress*)context;
    if (!p->progress_) p->progress_.reset(new Progress(p->what_, total));
    p->progress_->Step(done);
}

ElapsedLine::ElapsedLine(const std::string& what) {
    if (!host_stderr_is_terminal()) return;
    thread_ = std::thread([this, what] {
        const auto start = std::chrono::steady_clock::now();
        bool drawn = false;
        while (!done_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (done_ || elapsed < 1.0) continue;
            fprintf(stderr, "\r%s: %.0f s   ", what.c_str(), elapsed);
            drawn = true;
        }
        if (drawn) fputs("\n", stderr);
    });
}

ElapsedLine::~ElapsedLine() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
}
