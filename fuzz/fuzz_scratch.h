#pragma once
// Each fuzz target works on files in one private directory, made on first use and
// removed with everything in it when the run ends, so runs leave nothing behind.

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

inline std::string fuzz_scratch_path(const std::string& name) {
    static std::string dir;
    if (dir.empty()) {
        const char* base = getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/qxdb-fuzz-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back(0);
        if (!mkdtemp(buf.data())) abort();  // nowhere to work: the run cannot mean anything
        dir = buf.data();
        atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(dir, ignored);
        });
    }
    return dir + "/" + name;
}
