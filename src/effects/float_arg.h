#pragma once

#include <string>

namespace timbrelo {

// Reads the decimal number at the start of a configuration argument the way "%f" does
// (leading blanks, sign, exponent, "inf", "nan"), but always with "." as the decimal point:
// the window sets the user's locale, and "1.5" must not become 1 in a German one.
// Returns false and leaves `value` unchanged when the text holds no number.
bool readFloatArg(const char* text, float& value);

// The same, but the whole argument must be the number ("1.5x" is not one). Infinities and NaN
// are read as such; callers check the range.
bool readWholeFloatArg(const char* text, float& value);

// An argument quoted for a message, cut to a readable length.
std::string quoteArg(const char* text);

} // namespace timbrelo
