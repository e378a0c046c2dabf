#pragma once
// The records `qxdb append` reads from its input: JSON objects one per line, or CSV
// with a header row of field names. Both readers are strict: a line that is not
// well formed is refused with its line number and the reason, never guessed at.

#include <istream>
#include <string>
#include <vector>

#include "host/json_line.h"

struct InputRecord {
    int line = 0;       // where the record begins
    JsonObject fields;  // name -> value (CSV values are strings; an empty one is null)
};

// Whether the input is CSV: as --format says ("jsonl" or "csv"), else by its first
// character other than white space (a JSON line starts with '{').
bool input_is_csv(std::istream& in, const std::string& format);

class RecordReader {
public:
    RecordReader(std::istream& in, bool csv) : in_(in), csv_(csv) {}
    // 1: a record; 0: the end; -1: a refused record (*why says why; the reader
    // stands after it, so reading on skips it); -2: input that cannot be read on
    // (a CSV header that is not one).
    int Next(InputRecord* record, std::string* why);

private:
    int NextJson(InputRecord* record, std::string* why);
    int NextCsv(InputRecord* record, std::string* why);
    // One CSV record, which may span lines inside quotes: 1, 0 at the end, -1 bad.
    int ReadCsvRow(std::vector<std::string>* fields, std::string* why);
    std::istream& in_;
    bool csv_;
    int line_ = 0;
    bool have_header_ = false;
    std::vector<std::string> header_;
};
