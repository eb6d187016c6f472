#pragma once

namespace timbrelo {

// Reads the decimal number at the start of a configuration argument the way "%f" does
// (leading blanks, sign, exponent, "inf", "nan"), but always with "." as the decimal point:
// the window sets the user's locale, and "1.5" must not become 1 in a German one.
// Returns false and leaves `value` unchanged when the text holds no number.
bool readFloatArg(const char* text, float& value);

} // namespace timbrelo
