#include "effects/float_arg.h"

#include <cstdlib>
#include <locale.h>

namespace timbrelo {

namespace {

// Reads the number at the start of `text`; null when there is none, else where it ends.
const char* readAt(const char* text, float& value) {
    static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", locale_t{});
    if (text == nullptr || cLocale == locale_t{}) {
        return nullptr;
    }
    char* end = nullptr;
    const float v = strtof_l(text, &end, cLocale);
    if (end == text) {
        return nullptr;
    }
    value = v;
    return end;
}

} // namespace

bool readFloatArg(const char* text, float& value) {
    return readAt(text, value) != nullptr;
}

bool readWholeFloatArg(const char* text, float& value) {
    float v = 0;
    const char* end = readAt(text, v);
    if (end == nullptr || *end != '\0') {
        return false;
    }
    value = v;
    return true;
}

std::string quoteArg(const char* text) {
    std::string s = text != nullptr ? text : "";
    if (s.size() > 40) {
        s.resize(37);
        s += "...";
    }
    return "\"" + s + "\"";
}

} // namespace timbrelo
