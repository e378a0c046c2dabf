#include "driver/xbase_objects.h"

#include "driver/xbase_driver.h"

void leave_registry(XbaseDriver* const& owner, IXObject* object) {
    QXDB_DRIVER_ENTRY;  // the owner may be going away on another thread
    if (owner) owner->Unregister(object);
}

int XbaseItemDescription::SetComponentCount(int count) {
    if (count < 0) return 0;
    components_.resize((size_t)count, nullptr);
    return 1;
}

IXbaseItemDescription* XbaseItemDescription::GetComponent(int i) {
    if (i < 1 || i > (int)components_.size()) return nullptr;
    return components_[(size_t)i - 1];
}

int XbaseItemDescription::SetComponent(int i, IXbaseItemDescription* item) {
    if (i < 1 || i > (int)components_.size()) return 0;
    components_[(size_t)i - 1] = item;
    return 1;
}

int XbaseItemDescription::CopyFrom(IXbaseItemDescription* other) {
    if (!other) return 0;
    index_path_ = other->GetIndexPath();
    key_expression_ = other->GetKeyExpression();
    if (auto* o = dynamic_cast<XbaseItemDescription*>(other)) type_letter = o->type_letter;
    components_.assign((size_t)other->GetComponentCount(), nullptr);  // a new, empty component list
    return 1;
}

int XbaseTableDescription::CopyFrom(IXbaseTableDescription* other) {
    if (!other) return 0;
    path_ = other->GetPhysicalPath();
    const char16_t* memo = other->GetMemoName();
    memo_ = memo ? memo : u"";
    host_format_ = other->GetHostFormatCode();
    if (auto* o = dynamic_cast<XbaseTableDescription*>(other)) variant_row_ = o->variant_row_;
    return 1;
}
