// The stand-in host's record (see host_record.h).

#include "host/host_record.h"

#include "framework/codepage.h"
#include "framework/host_item_types.h"

uint32_t HostRecordObject::Release() {
    uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
}

const char16_t* HostRecordObject::GetItemName(int i) { return valid(i) ? items_[(size_t)i].name.c_str() : nullptr; }

int HostRecordObject::SetItemValue(int i, const HostItemValue* value) {
    if (!valid(i) || !value) return 0;
    Item& item = items_[(size_t)i];
    item.value_type = value->type;
    item.integer = value->integer;
    item.real = value->real;
    if (value->bytes) item.bytes.assign(value->bytes, value->length);
    else item.bytes.clear();
    item.changed = false;
    return 1;
}

void HostRecordObject::Set(int i, const HostItemValue& value) {
    if (SetItemValue(i, &value)) items_[(size_t)i].changed = true;
}

int HostRecordObject::Find(const std::u16string& name) const {
    for (size_t i = 0; i < items_.size(); i++)
        if (items_[i].name == name) return (int)i;
    return -1;
}

void HostRecordObject::SetText(const std::u16string& name, const std::string& ansi) {
    int i = Find(name);
    if (i >= 0) Set(i, host_bytes_value(HV_TEXT, ansi.data(), ansi.size()));
}

void HostRecordObject::SetNumber(const std::u16string& name, double value) {
    int i = Find(name);
    if (i >= 0) Set(i, host_real_value(value));
}

void HostRecordObject::SetNull(const std::u16string& name) {
    int i = Find(name);
    if (i >= 0) Set(i, HostItemValue{});
}

int HostRecordObject::GetItemValue(int i, HostItemValue* value) {
    if (!valid(i) || !value) return 0;
    const Item& item = items_[(size_t)i];
    *value = HostItemValue{};
    value->type = item.value_type;
    value->integer = item.integer;
    value->real = item.real;
    value->bytes = item.bytes.data();
    value->length = (uint32_t)item.bytes.size();
    return 1;
}

void HostRecordObject::Bind(const std::u16string& name, int type, int size) {
    Item item;
    item.name = name;
    item.type = type;
    item.size = size;
    items_.push_back(std::move(item));
    layout_++;
}

void HostRecordObject::BindFields(IXbaseTableDescription* description, int text_page) {
    for (int i = 1; i <= description->GetItemCount(); i++) {
        IXbaseItemDescription* item = description->GetItem(i);
        if (!item->IsField()) continue;
        const int type = item->GetHostType();
        if (text_page && (type == kItemText || type == kItemTextMemo)) {
            Bind(item->GetName(), type == kItemText ? kItemBinary : kItemBinaryMemo,
                 type == kItemText ? item->GetSize() : 0);
            items_.back().text_page = text_page;
            continue;
        }
        Bind(item->GetName(), type, type == kItemText ? item->GetSize() : 0);
    }
}

namespace {

std::string without_trailing_zeros(std::string number) {
    if (number.find('.') == std::string::npos) return number;
    while (number.back() == '0') number.pop_back();
    if (number.back() == '.') number.pop_back();
    if (number == "-0") number = "0";
    return number;
}

std::string hex_of(const std::string& bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

}  // namespace

Cell cell_of_item(const HostRecordObject::Item& item) {
    const std::string& b = item.bytes;
    switch (item.value_type) {
    case HV_NULL: return Cell::null();
    case HV_INT32:
    case HV_INT64: return Cell::number(std::to_string(item.integer));
    case HV_REAL: return Cell::number(format_double(item.real));
    case HV_CURRENCY:
    case HV_DECIMAL: return Cell::number(without_trailing_zeros(b));
    case HV_BOOLEAN: return Cell::boolean(item.integer != 0);
    case HV_DATE:
        if (b.size() < 8) return Cell::null();
        return Cell::string(b.substr(0, 4) + "-" + b.substr(4, 2) + "-" + b.substr(6, 2));
    case HV_DATETIME:
        if (b.size() < 14) return Cell::null();
        return Cell::string(b.substr(0, 4) + "-" + b.substr(4, 2) + "-" + b.substr(6, 2) + "T" + b.substr(8, 2) + ":" +
                            b.substr(10, 2) + ":" + b.substr(12, 2));
    case HV_BYTES:
        if (item.text_page) {
            size_t n = b.size();
            if (item.type == kItemBinary)  // a character field's padding
                while (n > 0 && b[n - 1] == ' ') n--;
            return Cell::string(codepage_to_utf8(item.text_page, b.data(), n));
        }
        return Cell::string(hex_of(b));
    default: {
        size_t n = b.size();
        if (item.type == kItemText)
            while (n > 0 && b[n - 1] == ' ') n--;
        return Cell::string(codepage_to_utf8(1252, b.data(), n));
    }
    }
}
