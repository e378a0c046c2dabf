// The rebuild's frame shared by the index formats (see rebuild.h).

#include "engine/index/rebuild.h"

#include <string>
#include <vector>

#include "engine/core/dbf.h"
#include "engine/core/engine.h"
#include "engine/core/file_switch.h"

namespace {

std::vector<XdbSwitchStep>* g_deferred = nullptr;

}  // namespace

void rebuild_defer_switches(std::vector<XdbSwitchStep>* steps) { g_deferred = steps; }

XDSTATUS rebuild_beside(const char* name, const char* extension, IndexBuildFn build, void* context) {
    XDSTATUS s = xdb_pending();
    if (s) return s;
    if (!name) return xdb_report(XD_NULLPARAM);
    std::string path = name;
    size_t cut = path.find_last_of(":\\/");
    const std::string dir = cut == std::string::npos ? "" : path.substr(0, cut + 1);
    std::string temp = xdb_free_temp_name(dir, extension);
    if ((s = build(context, temp.c_str())) < 0) {
        // The name was free before the build: whatever lies there is the build's.
        xdb_set_status(XD_OK);
        if (xdb_fexists(temp.c_str())) xdb_fdelete(temp.c_str());
        xdb_set_status(XD_OK);
        return xdb_report(s);
    }
    xdb_set_status(XD_OK);
    if (g_deferred) {
        g_deferred->push_back(XdbSwitchStep{temp, name, std::string(), false});
        return XD_OK;
    }
    if ((s = xdb_freplace(temp.c_str(), name, nullptr)) < 0) {
        xdb_set_status(XD_OK);
        xdb_fdelete(temp.c_str());
        return xdb_report(s);
    }
    return xdb_status();
}

XDSTATUS close_built_index(int16_t handle, IndexCloseFn close, const char* name, XDSTATUS build_status) {
    xdb_set_status(XD_OK);
    XDSTATUS c = close(handle);
    if (build_status < 0 || c < 0) {
        xdb_set_status(XD_OK);
        xdb_fdelete(name);
        return xdb_report(build_status < 0 ? build_status : c);
    }
    return xdb_report(XD_OK);
}

RecordKeySource record_key_source(int16_t data, const char* expression) {
    RecordKeySource src;
    XDSTATUS before = xdb_status();
    uint16_t fields = 0, largest = 0, record_length = 0;
    char* record = nullptr;
    int16_t index = -1;
    if (dbf_field_count(data, &fields) == XD_OK && dbf_record_layout(data, &record, &record_length, &fields) == XD_OK &&
        dbf_find_field(data, &index, expression) == XD_OK) {
        std::vector<DbfFieldInfo> info(fields);
        dbf_describe_fields(data, &largest, info.data());
        char t = info[(size_t)index].type;
        if (t == 'C' || t == 'D' || t == 'N' || t == 'F') {
            src.field = index;
            src.field_type = t == 'F' ? 'N' : t;
            src.length = info[(size_t)index].length;
            uint16_t offset = 1;
            for (int16_t i = 0; i < index; i++) offset = (uint16_t)(offset + info[(size_t)i].length);
            src.offset = offset;
            src.record = record;
        }
    }
    xdb_set_status(before);
    return src;
}

XDSTATUS sort_record_keys(int16_t data, uint32_t count, KeySorter* sorter, RecordKeyFn key, void* context) {
    if (count == 0) return XD_OK;
    XDSTATUS s = dbf_read_ahead_setup(data);  // the scan reads the file afresh
    if (s < 0) return s;
    uint8_t k[128];
    for (uint32_t n = 1; n <= count; n++) {
        if ((s = dbf_read_ahead(data, n)) < 0) return s;
        xdb_set_status(XD_OK);
        bool has_key = true;
        if ((s = key(context, data, n, k, &has_key)) < 0) return s;
        if (has_key && (s = key_sort_add(sorter, k, n)) < 0) return s;
        if ((n & 1023) == 0) xdb_report_progress(n, count);
    }
    return XD_OK;
}
