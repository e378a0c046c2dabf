// libFuzzer target: the readers of `qxdb append` input, JSON lines and CSV, on
// arbitrary bytes. Nothing may crash or hang; every record read is whole (its
// texts UTF-8, its columns as many as the header's), and a JSON object read is
// one that parses again.

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "host/json_line.h"
#include "host/record_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text((const char*)data, size);
    for (bool csv : {false, true}) {
        std::istringstream in(text);
        RecordReader reader(in, csv);
        size_t columns = 0;
        for (int guard = 0; guard < 100000; guard++) {
            InputRecord r;
            std::string why;
            int got = reader.Next(&r, &why);
            if (got == 0 || got == -2) break;
            if (got < 0) {
                if (why.empty()) abort();  // a refusal always says why
                continue;
            }
            if (csv) {
                if (columns == 0) columns = r.fields.size();
                if (r.fields.size() != columns) abort();
            }
            for (const auto& kv : r.fields)
                if (!valid_utf8(kv.first) || (kv.second.kind == JsonValue::kString && !valid_utf8(kv.second.text)))
                    abort();
        }
    }
    // A line the JSON reader takes leaves nothing unread behind it.
    size_t nl = text.find('\n');
    std::string line = text.substr(0, nl);
    JsonObject o;
    if (parse_json_object(line, &o)) {
        for (const auto& kv : o)
            if (kv.second.kind == JsonValue::kNumber && kv.second.text.empty()) abort();
    }
    return 0;
}
