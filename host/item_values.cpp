// Values given as text (typed on the command line, read from input, passed by a
// program through the C interface) made host values for an item of a table.

#include "host/item_values.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "framework/codepage.h"
#include "framework/host_item_types.h"

bool item_value_from_text(IXbaseTableDescription* d, const std::string& key, const std::string& text,
                          std::string* storage, HostItemValue* out, int text_page, std::string* why) {
    std::u16string wkey = utf8_to_wide(key);
    IXbaseItemDescription* item = d->FindItem(wkey.c_str());
    if (!item) {
        *why = key + " is no item of the table";
        return false;
    }
    *out = HostItemValue{};
    switch (item->GetHostType()) {
    case kItemDate:
    case kItemDateTime: {
        std::string digits;
        for (char c : text)
            if (c >= '0' && c <= '9') digits += c;
            else if (c != '-' && c != ':' && c != 'T' && c != ' ') digits.assign(1, 'x');
        if (digits.size() != 8 && digits.size() != 14) {
            *why = text + " is not a date (YYYY-MM-DD)";
            return false;
        }
        *storage = digits;
        out->type = digits.size() == 8 ? HV_DATE : HV_DATETIME;
        break;
    }
    case kItemInt8:
    case kItemInt16:
    case kItemInt32:
    case kItemInt64:
    case kItemReal8:
    case kItemCurrency:
    case kItemDecimal: {
        char* end = nullptr;
        strtod(text.c_str(), &end);
        if (text.empty() || *end) {
            *why = text + " is not a number";
            return false;
        }
        *storage = text;
        out->type = HV_DECIMAL;
        break;
    }
    case kItemBoolean: {
        const std::string& t = text;
        if (t == "T" || t == "t" || t == "true" || t == "Y" || t == "y" || t == "1") out->integer = 1;
        else if (t == "F" || t == "f" || t == "false" || t == "N" || t == "n" || t == "0") out->integer = 0;
        else {
            *why = text + " is not a truth value (true, false, T, F)";
            return false;
        }
        out->type = HV_BOOLEAN;
        return true;
    }
    default: {
        const int page = text_page ? text_page : 1252;
        if (size_t missing = codepage_from_utf8_counted(page, text, storage)) {
            *why = key + ": '" + text + "' has " + std::to_string(missing) + " character" + (missing == 1 ? "" : "s") +
                   " that code page " + std::to_string(page) + " cannot hold" +
                   (text_page ? " (the table's)" : " (the host's)");
            return false;
        }
        out->type = text_page ? HV_BYTES : HV_TEXT;
        break;
    }
    }
    out->bytes = storage->data();
    out->length = (uint32_t)storage->size();
    return true;
}


int code_page_of_header(uint8_t version, uint8_t language_driver) {
    const int cp = codepage_of_language_driver(language_driver);
    if (codepage_supported(cp)) return cp;
    // Unmarked: Visual FoxPro tables are Windows text, the others DOS text.
    return version == 0x30 || version == 0x31 || version == 0x32 ? 1252 : 850;
}

int code_page_of_table_file(const std::string& path) {
    unsigned char header[32] = {0};
    if (FILE* f = fopen(path.c_str(), "rb")) {
        if (fread(header, 1, sizeof header, f) != sizeof header) memset(header, 0, sizeof header);
        fclose(f);
    }
    return code_page_of_header(header[0], header[29]);
}
