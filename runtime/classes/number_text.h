// Number texts: integers in any radix, floats with "%g", and the checked `format` of Number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nerva {

// An integer in radix 2 to 36 (other radixes write radix 10): lowercase digits, a "-" only in
// radix 10; in other radixes a negative value is written as its unsigned two's complement.
std::string IntegerToText(int64_t value, int radix);
// A float with the "%g" format ("NaN" for a NaN).
std::string FloatToText(double value);

// The number written with a printf-style format that takes the one number as its argument.
// Nothing when the format would read an argument of the wrong type, take more than one
// argument or an argument from the list ('*'), or give more than 256 characters; the caller
// then falls back to the plain text of the number.
std::optional<std::u16string> FormatNumber(std::u16string_view format, int64_t integer);
std::optional<std::u16string> FormatNumber(std::u16string_view format, double value);

}  // namespace nerva
