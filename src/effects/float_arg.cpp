#include "effects/float_arg.h"

#include <cstdlib>
#include <locale.h>

namespace timbrelo {

bool readFloatArg(const char* text, float& value) {
    static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", locale_t{});
    if (text == nullptr || cLocale == locale_t{}) {
        return false;
    }
    char* end = nullptr;
    const float v = strtof_l(text, &end, cLocale);
    if (end == text) {
        return false;
    }
    value = v;
    return true;
}

} // namespace timbrelo
