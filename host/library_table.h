#pragma once
// One table opened through the library as a host opens it, with a host record
// bound to every field and a cursor; and values typed on the command line made
// host values for an item.

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "driver/interfaces.h"
#include "host/cli.h"
#include "host/host_record.h"
#include "host/loader.h"
#include "host/record_writer.h"

class LibraryTable {
public:
    ~LibraryTable();
    // Opens DIR TABLE (args.positional[0..1]) for reading, or for writing; 0 when
    // open, else the exit status (the reason is printed).
    // Text goes in the table's own code page (its header's, or --codepage): text
    // items are bound as raw bytes and converted here, so every character of the
    // table shows and is stored as it is. --host-text binds them as the host does
    // and shows what the host gets (the library's conversion to its 1252 text),
    // with the connection's OEMTOANSI option under --oemtoansi (which implies it).
    int Open(const CliArgs& args, bool writing);
    // The code page text items are bound in (0: the host's own text).
    int TextPage() const { return text_page_; }
    IXbaseTable* Table() { return table_; }
    IXbaseTableDescription* Description() { return table_->GetDescription(); }
    IXbaseCursor* Cursor() { return cursor_; }
    HostRecordObject* Record() { return record_; }
    // The writer's columns: recno, deleted, then each bound item.
    std::vector<std::string> Columns(std::vector<size_t>* widths);
    // The current record as one line.
    void Write(RecordWriter& writer);

private:
    HostSession session_;
    IXbaseConnection* connection_ = nullptr;
    IXbaseTable* table_ = nullptr;
    HostRecordObject* record_ = nullptr;
    IXbaseCursor* cursor_ = nullptr;
    int text_page_ = 0;
};

// The table's index set as the library decided it (IXbaseTableDescription::
// GetIndexSetReport): `all` prints every file, taken or passed over, with why;
// otherwise only the files a write cannot keep in step, and what to do. Answers
// whether such a file is in the set.
bool print_index_set(IXbaseTableDescription* d, FILE* out, bool all);

// --wait SECONDS: how long a command retries an operation that another program's
// lock refused (error 1041 or 1054). Retries `operation` (answering 1 or 0, the
// reason in `holder`) until it succeeds, fails otherwise, or the time is up.
int retry_while_locked(const CliArgs& args, IXErrorHolder* holder, const std::function<int()>& operation);

// A value typed on the command line (or read from input as text) as a host value
// for the item `item` of the description: dates as YYYY-MM-DD or YYYYMMDD, numbers
// as decimal text, truth values T/F/true/false, text as raw bytes in `text_page`
// (the table's code page, see LibraryTable::Open) or, with 0, in the host's
// character set (1252). False, after a message naming the item, when it cannot be
// one (a character the code page lacks is refused, never stored as another).
bool value_for_item(IXbaseTableDescription* d, const std::string& item, const std::string& text, std::string* storage,
                    HostItemValue* out, int text_page);
