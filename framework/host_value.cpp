#include "framework/host_value.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

FxValue FxValue::Text(const std::string& t) {
    FxValue v;
    v.type = HV_TEXT;
    v.text = t;
    return v;
}

FxValue FxValue::Real(double d) {
    FxValue v;
    v.type = HV_REAL;
    v.real = d;
    return v;
}

FxValue FxValue::Integer(int64_t i) {
    FxValue v;
    v.type = HV_INT64;
    v.integer = i;
    return v;
}

FxValue FxValue::Date(const std::string& yyyymmdd) {
    FxValue v;
    v.type = HV_DATE;
    v.text = yyyymmdd;
    return v;
}

std::string FxValue::ToText() const {
    char buf[64];
    switch (type) {
    case HV_INT32:
    case HV_INT64: snprintf(buf, sizeof buf, "%lld", (long long)integer); return buf;
    case HV_REAL: snprintf(buf, sizeof buf, "%.15g", real); return buf;
    case HV_BOOLEAN: return integer ? "T" : "F";
    default: return text;
    }
}

double FxValue::ToDouble() const {
    switch (type) {
    case HV_INT32:
    case HV_INT64:
    case HV_BOOLEAN: return (double)integer;
    case HV_REAL: return real;
    default: return strtod(text.c_str(), nullptr);
    }
}

int32_t FxValue::ToInt32() const {
    double d = ToDouble();
    if (!std::isfinite(d)) return 0;
    if (d > 2147483647.0) return 2147483647;
    if (d < -2147483648.0) return (int32_t)-2147483647 - 1;
    return (int32_t)d;
}

std::string FxValue::ToDateText() const { return ToText(); }
