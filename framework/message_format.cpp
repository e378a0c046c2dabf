#include "framework/message_format.h"

#include <cstdio>
#include <cstdlib>

#include "framework/codepage.h"

namespace {

int64_t parse_integer(const std::u16string& t) {
    size_t i = 0;
    while (i < t.size() && t[i] == u' ') i++;
    bool neg = false;
    if (i < t.size() && (t[i] == u'-' || t[i] == u'+')) neg = t[i++] == u'-';
    uint64_t v = 0;
    while (i < t.size() && t[i] >= u'0' && t[i] <= u'9') v = v * 10 + (uint64_t)(t[i++] - u'0');
    return neg ? -(int64_t)v : (int64_t)v;
}

std::u16string ascii(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// Applies a printf-style conversion (the text between the '!' marks) to one argument.
std::u16string apply(const std::string& conversion, const MessageArg& arg) {
    // Split into flags/width/precision and the conversion with its size prefix.
    size_t i = 0;
    while (i < conversion.size() && std::string("-+ #0").find(conversion[i]) != std::string::npos) i++;
    while (i < conversion.size() && isdigit((unsigned char)conversion[i])) i++;
    if (i < conversion.size() && conversion[i] == '.') {
        i++;
        while (i < conversion.size() && isdigit((unsigned char)conversion[i])) i++;
    }
    std::string head = conversion.substr(0, i), size, conv;
    std::string rest = conversion.substr(i);
    for (const char* prefix : {"I64", "ll", "hh", "l", "h", "w", "I"}) {
        std::string p = prefix;
        if (rest.compare(0, p.size(), p) == 0) {
            size = p;
            rest = rest.substr(p.size());
            break;
        }
    }
    conv = rest.empty() ? "s" : rest.substr(0, 1);
    char c = conv[0];
    if (c == 's' || c == 'S') {
        // Width and precision count characters of the wide text.
        std::u16string t = arg.text;
        bool left = head.find('-') != std::string::npos;
        std::string digits = head.substr(head.find_first_not_of("-+ #0") == std::string::npos ? head.size() : head.find_first_not_of("-+ #0"));
        size_t dot = digits.find('.');
        size_t width = (size_t)atoi(digits.substr(0, dot).c_str());
        if (dot != std::string::npos) {
            size_t prec = (size_t)atoi(digits.substr(dot + 1).c_str());
            if (t.size() > prec) t.resize(prec);
        }
        if (t.size() < width) {
            std::u16string pad(width - t.size(), u' ');
            t = left ? t + pad : pad + t;
        }
        return t;
    }
    char buf[128];
    std::string f = "%" + head;
    bool wide64 = size == "I64" || size == "ll";
    switch (c) {
    case 'd':
    case 'i':
        if (wide64) snprintf(buf, sizeof buf, (f + "lld").c_str(), (long long)arg.number);
        else snprintf(buf, sizeof buf, (f + "d").c_str(), (int)(int32_t)arg.number);
        break;
    case 'u':
    case 'x':
    case 'X':
    case 'o':
        if (wide64) snprintf(buf, sizeof buf, (f + "ll" + c).c_str(), (unsigned long long)arg.number);
        else snprintf(buf, sizeof buf, (f + c).c_str(), (unsigned)(uint32_t)arg.number);
        break;
    case 'c':
    case 'C':
        return std::u16string(1, arg.text.empty() ? (char16_t)arg.number : arg.text[0]);
    case 'p':
        snprintf(buf, sizeof buf, "%08llX", (unsigned long long)arg.number);
        break;
    default:
        return arg.text;
    }
    return ascii(buf);
}

}  // namespace

MessageArg::MessageArg(const std::u16string& t) : text(t), number(parse_integer(t)) {}
MessageArg::MessageArg(const char16_t* t) : MessageArg(std::u16string(t ? t : u"")) {}
MessageArg::MessageArg(const std::string& utf8) : MessageArg(utf8_to_wide(utf8)) {}
MessageArg::MessageArg(const char* utf8) : MessageArg(std::string(utf8 ? utf8 : "")) {}
MessageArg::MessageArg(int v) : MessageArg((long long)v) {}
MessageArg::MessageArg(unsigned v) : MessageArg((unsigned long long)v) {}
MessageArg::MessageArg(long v) : MessageArg((long long)v) {}
MessageArg::MessageArg(unsigned long v) : MessageArg((unsigned long long)v) {}
MessageArg::MessageArg(long long v) : text(ascii(std::to_string(v))), number(v) {}
MessageArg::MessageArg(unsigned long long v) : text(ascii(std::to_string(v))), number((int64_t)v) {}

std::u16string format_message(const std::u16string& pattern, const std::vector<MessageArg>& args) {
    std::u16string out;
    out.reserve(pattern.size() + 32);
    size_t n = pattern.size();
    for (size_t i = 0; i < n; i++) {
        char16_t c = pattern[i];
        if (c != u'%' || i + 1 >= n) {
            out += c;
            continue;
        }
        char16_t e = pattern[i + 1];
        if (e >= u'1' && e <= u'9') {
            size_t j = i + 1;
            int index = 0;
            while (j < n && pattern[j] >= u'0' && pattern[j] <= u'9' && index < 10) index = index * 10 + (pattern[j++] - u'0');
            std::string conversion = "s";
            size_t end = j;
            if (j < n && pattern[j] == u'!') {
                size_t close = pattern.find(u'!', j + 1);
                if (close != std::u16string::npos) {
                    conversion.clear();
                    for (size_t k = j + 1; k < close; k++) conversion += (char)pattern[k];
                    end = close + 1;
                }
            }
            if (index >= 1 && index <= (int)args.size()) {
                out += apply(conversion, args[(size_t)index - 1]);
            } else {
                out.append(pattern, i, end - i);  // nothing to insert: keep it as written
            }
            i = end - 1;
            continue;
        }
        switch (e) {
        case u'0': return out;
        case u'n': out += u"\r\n"; break;
        case u'r': out += u'\r'; break;
        case u't': out += u'\t'; break;
        case u'%': out += u'%'; break;
        case u' ': out += u' '; break;
        case u'.': out += u'.'; break;
        case u'!': out += u'!'; break;
        default: out += e; break;
        }
        i++;
    }
    return out;
}
