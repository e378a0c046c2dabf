#include "tests/support/dbf_builder.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

void DbfImage::write(const std::string& path) const {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot write " + path);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

DbfImage build_dbf(uint8_t version, const std::vector<FieldSpec>& fields, const std::vector<std::string>& records,
                   bool vfp_area) {
    DbfImage img;
    size_t header_length = 32 + 32 * fields.size() + 1 + (vfp_area ? 263 : 0);
    size_t record_length = 1;
    for (const auto& f : fields) record_length += f.length + (f.type == 'C' ? 0 : 0);
    img.bytes.assign(header_length, 0);
    img.bytes[0] = version;
    img.bytes[1] = 124;
    img.bytes[2] = 1;
    img.bytes[3] = 2;
    img.set32(4, (uint32_t)records.size());
    img.set16(8, (uint16_t)header_length);
    img.set16(10, (uint16_t)record_length);
    for (size_t i = 0; i < fields.size(); i++) {
        uint8_t* d = img.descriptor((int)i);
        memcpy(d, fields[i].name.data(), fields[i].name.size() < 11 ? fields[i].name.size() : 11);
        d[11] = (uint8_t)fields[i].type;
        d[16] = fields[i].length;
        d[17] = fields[i].decimals;
        d[18] = fields[i].flags;
    }
    img.bytes[32 + 32 * fields.size()] = 0x0D;
    for (const auto& r : records) {
        std::string rec = r;
        bool deleted = !rec.empty() && rec[0] == '*';
        if (deleted) rec.erase(0, 1);
        rec.resize(record_length - 1, ' ');
        img.bytes.push_back(deleted ? '*' : ' ');
        img.bytes.insert(img.bytes.end(), rec.begin(), rec.end());
    }
    img.bytes.push_back(0x1A);
    return img;
}

std::string make_temp_dir(const std::string& tag) {
    namespace fs = std::filesystem;
    const char* base = getenv("TMPDIR");
    std::error_code ec;
    const fs::path root = base && *base ? fs::path(base) : fs::temp_directory_path(ec);
    std::string name = tag;
    for (char& c : name)
        if (c == '/') c = '-';  // parameterised suites are named "Prefix/Suite"
    static std::mt19937_64 rng(std::random_device{}() ^ (uint64_t)std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 100; attempt++) {
        char suffix[20];
        snprintf(suffix, sizeof suffix, "%012llx", (unsigned long long)(rng() & 0xFFFFFFFFFFFFull));
        const fs::path dir = root / ("qxdb-" + name + "-" + suffix);
        if (fs::create_directory(dir, ec)) return dir.generic_string();
    }
    throw std::runtime_error("no temporary directory could be made");
}

void set_test_env(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());  // an empty value removes it
#else
    if (value.empty()) unsetenv(name);
    else setenv(name, value.c_str(), 1);
#endif
}

void remove_temp_dir(const std::string& dir) {
    if (dir.empty()) return;  // a test skipped before it made one
    std::error_code ignored;  // a directory already gone is fine
    std::filesystem::remove_all(dir, ignored);
}

DbfCreateField create_field(const char* name, char type, uint16_t length, uint16_t decimals) {
    DbfCreateField f{};
    snprintf(f.name, sizeof f.name, "%s", name);
    f.type = (uint16_t)type;
    f.length = length;
    f.decimals = decimals;
    return f;
}

std::string file_bytes(const std::string& path) {
    // One read of the whole file: the stop-point loops read files thousands of times.
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return std::string();
    std::string bytes((size_t)in.tellg(), '\0');
    in.seekg(0);
    in.read(&bytes[0], (std::streamsize)bytes.size());
    bytes.resize((size_t)in.gcount());
    return bytes;
}

std::vector<uint8_t> file_byte_vector(const std::string& path) {
    const std::string bytes = file_bytes(path);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}
