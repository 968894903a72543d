// Number texts: the language's numbers (grouping and decimal separators,
// a percent sign) converted to doubles, and the standard decimal syntax the
// export reads a normalised literal cell with.
#pragma once

#include <string>
#include <string_view>

namespace morvax {

// Number text with grouping and decimal separators resolved (`1.234,56` ->
// `1234.56`); trims White_Space first.
std::string normalize_number_string(std::string_view text);

// A number or percentage text as the parser converts it; the error message is
// the one of a failed conversion, without location.
bool convert_number_text(std::string_view text, double& out, std::string& error);

// For a formula text of digits with at most one point between them, which
// the parser reads as that number alone: its value, without parsing (models
// hold a great many distinct input numbers). False for any other text.
bool convert_plain_number(std::string_view text, double& out);

// Reads a whole text as a floating-point number in standard decimal syntax:
// an optional sign, then digits with an optional point and exponent, or
// "inf", "infinity" or "nan" in any letter case.  Too large gives infinity,
// too small zero.
bool read_decimal(std::string_view text, double& out);

}  // namespace morvax
