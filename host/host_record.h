#pragma once
// The stand-in host's record: the items it binds to a table, with their host item
// types, the values the library gives them and the record's state word. Values are
// kept as the library hands them (8-bit ANSI text, decimal text, numbers).

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/interfaces.h"
#include "host/record_writer.h"

class HostRecordObject final : public IHostRecord {
public:
    struct Item {
        std::u16string name;
        int type = 0;
        int size = 0;
        uint8_t value_type = HV_NULL;
        int64_t integer = 0;
        double real = 0;
        std::string bytes;
        bool changed = false;  // set by the host, cleared when the library sets the value
        // A text item bound as raw bytes: the table's code page its bytes are in
        // (0: an item as its description says).
        int text_page = 0;
    };

    // Created with one reference, held by the creator.
    HostRecordObject() = default;
    uint32_t AddRef() override { return ++refs_; }
    uint32_t Release() override;
    int GetItemCount() override { return (int)items_.size(); }
    const char16_t* GetItemName(int i) override;
    int GetItemType(int i) override { return valid(i) ? items_[(size_t)i].type : 0; }
    int GetItemSize(int i) override { return valid(i) ? items_[(size_t)i].size : 0; }
    uint32_t GetLayoutVersion() override { return layout_; }
    int SetItemValue(int i, const HostItemValue* value) override;
    int GetItemValue(int i, HostItemValue* value) override;
    int IsItemChanged(int i) override { return valid(i) && items_[(size_t)i].changed ? 1 : 0; }
    uint16_t GetStateWord() override { return state_; }
    void SetStateWord(uint16_t state) override { state_ = state; }
    void SetLockType(int type) override { lock_type_ = type; }
    int LockType() const { return lock_type_; }

    // The host's own changes of values (marked changed).
    void Set(int i, const HostItemValue& value);
    void SetText(const std::u16string& name, const std::string& ansi);
    void SetNumber(const std::u16string& name, double value);
    void SetNull(const std::u16string& name);
    int Find(const std::u16string& name) const;

    // Binds an item (name, host item type, size of a text item, 0: no limit).
    void Bind(const std::u16string& name, int type, int size);
    // Binds every field item of a table description with its described type; with
    // a code page, text and text memo items as raw bytes in that page instead, so
    // that the table's own characters reach the host unchanged.
    void BindFields(IXbaseTableDescription* description, int text_page = 0);
    const std::vector<Item>& Items() const { return items_; }

private:
    bool valid(int i) const { return i >= 0 && (size_t)i < items_.size(); }
    std::atomic<uint32_t> refs_{1};
    std::vector<Item> items_;
    uint32_t layout_ = 1;
    uint16_t state_ = 0;
    int lock_type_ = 0;
};

// A host item's value as a printed cell: text from the host's character set
// (ANSI, code page 1252) to UTF-8 with the blanks that pad a text item removed,
// dates as YYYY-MM-DD, date-times as YYYY-MM-DDTHH:MM:SS, decimal amounts as
// numbers, bytes in hexadecimal.
Cell cell_of_item(const HostRecordObject::Item& item);
