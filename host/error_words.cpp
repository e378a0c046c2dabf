// What the library's errors and the engine's statuses mean, in English, for the
// first line of a failure's report (see error_words.h). The library's own
// message, in French as the host shows it, follows that line.

#include "host/error_words.h"

#include <cstddef>
#include <cstdlib>

#include "driver/interfaces.h"
#include "framework/codepage.h"

namespace {

struct Words {
    int code;
    const char* text;
};

const Words kDriverErrors[] = {
    {1000, "the xBase engine could not start"},
    {1001, "the data file cannot be opened"},
    {1002, "the data file cannot be closed"},
    {1003, "the table's fields cannot be described"},
    {1004, "the connection cannot be opened"},
    {1005, "the table cannot be described"},
    {1006, "an item of the table cannot be described"},
    {1008, "the index file cannot be opened"},
    {1010, "the index file was not found; the table is open without it"},
    {1011, "the file is no xBase table this library knows"},
    {1014, "the task cannot be done"},
    {1015, "the record cannot be read"},
    {1016, "the item's value cannot be read"},
    {1017, "the item's value cannot be written"},
    {1018, "the item is no key"},
    {1019, "the data file cannot be accessed"},
    {1020, "that is no record number of the table"},
    {1021, "the record cannot be locked"},
    {1022, "the record cannot be unlocked"},
    {1023, "no such item in the table"},
    {1024, "the file cannot be locked"},
    {1025, "the record's keys cannot be removed"},
    {1026, "the record's key cannot be made"},
    {1027, "the key cannot be searched"},
    {1028, "the records cannot be counted"},
    {1029, "there is no current record (read one first)"},
    {1030, "the record cannot be changed"},
    {1031, "the connection's directory does not exist"},
    {1032, "the file does not exist"},
    {1033, "the file cannot be closed"},
    {1034, "the file cannot be created"},
    {1035, "the item's type has no xBase field type"},
    {1036, "the memo file cannot be opened"},
    {1037, "the memo file cannot be created"},
    {1038, "the index file cannot be created"},
    {1039, "the record's memo cannot be written"},
    {1040, "the record's memo cannot be read"},
    {1041, "the record is locked by another program"},
    {1042, "no browse was started on that item"},
    {1043, "the browse cannot be positioned"},
    {1044, "the tag cannot be opened"},
    {1045, "the item's value cannot be added"},
    {1046, "the record cannot be written"},
    {1047, "the memo cannot be added"},
    {1048, "the key cannot be made from the record"},
    {1049, "the key cannot be added to its index"},
    {1050, "the memo cannot be updated"},
    {1051, "the record cannot be deleted"},
    {1052, "the memo cannot be removed"},
    {1053, "the key would be a duplicate of a unique key"},
    {1054, "the file is locked by another program"},
    {1055, "the file cannot be unlocked"},
    {1056, "that is no memo file name"},
    {1057, "that is no index file name"},
    {1058, "this kind of index file cannot be kept in step"},
    {1059, "the item's name is too long"},
    {1060, "that is no record number, or there is no current record"},
    {1061, "the automatic identifier cannot be computed"},
    {1062, "the index cannot be created"},
    {1063, "the table cannot be compacted"},
    {1064, "no such item in the data file"},
    {1065, "the index file cannot be removed"},
    {1066, "the search failed"},
    {1067, "the index needs its table declared first (HDBOuvre)"},
    {1068, "the key's name is missing"},
    {1069, "the composite key's expression is wrong"},
    {1070, "the item cannot be part of a composite key"},
    {1071, "the key's expression is no plain field"},
};

const Words kStatuses[] = {
    {12, "no key at or after the value"},
    {11, "it exists already"},
    {10, "not supported"},
    {9, "only part of the memory was given"},
    {8, "unbuffered"},
    {7, "the file's size differs from what its header says"},
    {6, "a number was rounded"},
    {5, "a text was cut"},
    {4, "no such key"},
    {3, "no more keys"},
    {2, "the file is empty"},
    {1, "the record is deleted"},
    {-1, "the file cannot be written (a full disk, or no permission)"},
    {-2, "the file cannot be read"},
    {-3, "out of memory"},
    {-4, "a position outside the file"},
    {-5, "no such file"},
    {-6, "the file is damaged"},
    {-7, "the key expression is wrong"},
    {-8, "too many open files or tags"},
    {-9, "no page for the index"},
    {-10, "an index page was not loaded"},
    {-11, "the file cannot be closed"},
    {-12, "the command is unknown"},
    {-13, "that handle is not open"},
    {-14, "that is no valid file name"},
    {-15, "that is no valid date"},
    {-16, "that is no valid time"},
    {-17, "the field is no memo"},
    {-18, "the version byte does not fit the dialect"},
    {-19, "the header's length is wrong"},
    {-20, "the header's date of last update is wrong"},
    {-21, "an argument is missing"},
    {-22, "the key type is wrong"},
    {-23, "the key length is wrong"},
    {-24, "the index entry size is wrong"},
    {-25, "the index's root is outside the file"},
    {-26, "the index's keys per page are wrong"},
    {-27, "too many or too few fields for the dialect"},
    {-28, "a field name is not valid"},
    {-29, "a field length is not valid"},
    {-30, "a field's decimals are not valid"},
    {-31, "a field type is not valid for the dialect"},
    {-32, "the record length does not match the fields"},
    {-33, "a value does not fit its field"},
    {-34, "a memo line is damaged"},
    {-35, "the production index flag is not valid"},
    {-36, "the file is read-only"},
    {-37, "locked by another program"},
    {-38, "too many locks"},
    {-39, "no such directory"},
    {-40, "access denied"},
    {-41, "the access code is not valid"},
    {-42, "not locked"},
    {-43, "the disk was changed"},
    {-44, "the index's minimum keys are wrong"},
    {-45, "files are still open"},
    {-46, "the file cannot be opened (missing, protected, or in use by another program)"},
    {-47, "the file cannot be flushed to disk"},
    {-48, "that is no tag of the file"},
    {-49, "the index's block size is wrong"},
    {-50, "no tag of that name"},
    {-51, "an index page offset is wrong"},
    {-52, "the tag table's size is wrong"},
    {-53, "the tag table's entry size is wrong"},
    {-54, "the tag count is wrong"},
    {-55, "the key format is wrong"},
    {-56, "an argument is not valid"},
    {-57, "the tag is in use"},
    {-58, "no memory for the locks"},
    {-59, "the engine was not started"},
};

template <size_t N>
const char* find(const Words (&table)[N], int code) {
    for (const Words& w : table)
        if (w.code == code) return w.text;
    return nullptr;
}

}  // namespace

const char* cli_error_words(uint32_t error_id) { return find(kDriverErrors, (int)error_id); }

const char* cli_status_words(int status) { return find(kStatuses, status); }

bool holder_engine_status(IXErrorHolder* holder, int* status) {
    if (!holder || holder->CurrentErrorId() == 0) return false;
    const std::string dump = wide_to_utf8(holder->DumpText());
    const size_t at = dump.find("EIT_BASECODE : <");
    if (at == std::string::npos) return false;
    *status = atoi(dump.c_str() + at + 16);
    return true;
}

std::string holder_english(IXErrorHolder* holder) {
    if (!holder || holder->CurrentErrorId() == 0) return "";
    const char* words = cli_error_words(holder->CurrentErrorId());
    std::string line = words ? words : "the library refused";
    int status = 0;
    if (holder_engine_status(holder, &status))
        if (const char* status_words = cli_status_words(status)) line += std::string(" (") + status_words + ")";
    return line;
}
