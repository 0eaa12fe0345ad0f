#pragma once
// Number texts shared by the filter files, the settings file and the typed
// fields. All of them use the C conventions (a point as the decimal mark)
// whatever locale the program runs in.

#include <optional>
#include <string>

// printf "%le": 12345 gives "1.234500e+04".
std::string FormatExp(double value);

// printf "%lf" with trailing zeros removed down to one decimal:
// 12345 gives "12345.0", 0.015 gives "0.015".
std::string FormatFixed(double value);

// The shortest general form with up to 15 significant digits (C locale):
// 200 gives "200", 0.015 gives "0.015", 1e-5 gives "1e-05".
std::string FormatGeneral(double value);

// scanf "%lf": leading white space skipped, an optional sign, a decimal or
// hexadecimal number, "inf" or "nan"; text after the number is ignored.
// Empty when no number starts the text.
std::optional<double> ScanDouble(const std::string& text);

// scanf "%u" taken as a signed 32-bit integer: leading white space skipped,
// an optional sign, the leading digits (a minus sign negates; "-5" gives -5).
// Empty when no digit follows.
std::optional<int> ScanUnsigned(const std::string& text);

// An INI integer: the whole text (white space around it allowed) is a signed
// decimal number, or "0x"/"0X" followed by hexadecimal digits (up to 32 bits,
// so 0xFFFFFFFF is -1). Empty for anything else or out of range.
std::optional<int> ParseIniInteger(const std::string& text);
