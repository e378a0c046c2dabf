#pragma once
// --where EXPR: a condition in the xBase form users know (CITY = "Lyon" .AND.
// AMOUNT > 1000, !DELETED(), EMPTY(BORN)), evaluated by the engine's condition
// evaluator on each record a command meets. Commands that go through the library
// read the record for it through an engine handle of their own, shared and
// read-only, as any other reader of the file.

#include <cstdint>
#include <string>

#include "host/cli.h"

class WhereFilter {
public:
    ~WhereFilter();
    // Without --where: 0, and every record is taken. With it: the condition checked
    // on the table (`handle`, or the file at `table_path` opened here when -1); 0
    // when it can be evaluated, else the exit status after a message naming what
    // is wrong (usage: a condition that does not parse or names no field).
    int Open(const CliArgs& args, int16_t handle, const std::string& table_path);
    // The same for a condition given otherwise (empty: none), in the table's code
    // page `code_page` (0: its header's); the reason in *why instead of a message,
    // and the failures of Takes kept for Error() rather than printed.
    int Start(const std::string& condition, int16_t handle, const std::string& table_path, int code_page,
              std::string* why);
    const std::string& Error() const { return error_; }
    bool Active() const { return !condition_.empty(); }
    // Whether the record in the handle's buffer meets the condition (Takes), or
    // record `recno` read first (TakesRecord): 1 yes, 0 no, -1 when it cannot be
    // evaluated (the reason printed).
    // `deleted` (may be null) tells whether the record read is marked deleted.
    int Takes();
    int TakesRecord(uint32_t recno, bool* deleted = nullptr);
    // The engine's handle of the table (-1 without --where).
    int16_t Handle() const { return handle_; }

private:
    std::string condition_;  // in the table's code page
    std::string shown_;      // as typed
    int16_t handle_ = -1;
    bool own_ = false;
    bool engine_started_ = false;
    bool quiet_ = false;  // failures kept in error_, not printed
    std::string error_;
    void fail(const std::string& why);
};
