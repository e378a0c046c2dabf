#pragma once
// Message formatting with the operating system's insert syntax (FormatMessage with
// an argument array): %1 .. %99 insert argument n, optionally with a printf-style
// format between exclamation marks (%1!s!, %1!d!, %1!ld!, %1!u!, %1!I64d!, %2!5d!);
// a bare %1 is %1!s!. Escapes: %% percent, %n line break (CR LF), %r carriage
// return, %t tab, "% " space, "%." period, "%!" exclamation mark, %0 ends the text.
// On Windows this is FormatMessageW's job; elsewhere this formatter gives the same
// results. An insert with no argument stays in the text as written.

#include <cstdint>
#include <string>
#include <vector>

// One insert: text for %s, a number for the integer forms. Built from text, the
// number is the text read as an integer (0 when it is not one); built from a
// number, the text is its decimal form.
struct MessageArg {
    std::u16string text;
    int64_t number = 0;

    MessageArg() = default;
    MessageArg(const std::u16string& t);
    MessageArg(const char16_t* t);
    MessageArg(const std::string& utf8);
    MessageArg(const char* utf8);
    MessageArg(int v);
    MessageArg(unsigned v);
    MessageArg(long v);
    MessageArg(unsigned long v);
    MessageArg(long long v);
    MessageArg(unsigned long long v);
};

std::u16string format_message(const std::u16string& pattern, const std::vector<MessageArg>& args);
