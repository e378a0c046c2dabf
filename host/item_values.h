#pragma once
// A value given as text made a host value for an item of a table description.

#include <cstdint>
#include <string>

#include "driver/interfaces.h"

// The value `text` for the item `item` of the description: dates as YYYY-MM-DD or
// YYYYMMDD (date-times with a time after), numbers as decimal text, truth values
// T/F/true/false/Y/N/1/0, text as raw bytes in `text_page` (the table's code page)
// or, with 0, in the host's character set (1252). `storage` keeps the bytes the
// value points to. False with the reason in *why when it cannot be one: a
// character the code page lacks is refused, never stored as another.
bool item_value_from_text(IXbaseTableDescription* d, const std::string& item, const std::string& text,
                          std::string* storage, HostItemValue* out, int text_page, std::string* why);

// The code page of a table's text, from its header's version and language driver
// bytes: the page the driver byte names, else (unmarked) 1252 for Visual FoxPro
// tables and 850 for the others.
int code_page_of_header(uint8_t version, uint8_t language_driver);
// The same read from the table's file (its first bytes, as any program reads
// them); 850 when they cannot be read.
int code_page_of_table_file(const std::string& path);
