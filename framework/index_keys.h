#pragma once
// Keys from host values: the host value is brought to the form the index's key
// maker takes (text, double, integer, date text) and made into key bytes.

#include "engine/core/status.h"
#include "engine/index/index.h"
#include "framework/host_value.h"

XDSTATUS MakeKeyFromValue(const IndexAccess* access, const FxValue& value, void* key);
