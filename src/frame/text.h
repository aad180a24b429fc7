#pragma once
// Small helpers shared by every subsystem: trimming, name normalising, quoting
// of SQL text values, zeroed buffers and fixed-width text fields.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Copies `in` without leading and trailing white space into `out`; 174 for
// an empty (or all-blank) text, leaving `out` as it was.
int TrimTextQuiet(std::string& out, std::string_view in);

// Names from web requests used as file or data source names: bytes 1 to 9
// become the digit characters '1' to '9'.
std::string NormaliseName(std::string_view name);

// A text value for placing between single quotes in an SQL statement: every
// quote is doubled, so the value can never end the literal early.
std::string SqlText(std::string_view value);

// A zeroed buffer of count * size bytes; 132 (logged as a memory error in the
// slot's log) when it cannot be had.
int ZeroedAlloc(std::vector<std::uint8_t>& out, std::size_t count, std::size_t size, int varNum);

// The text of a fixed-width field: at most `width` bytes, up to the first zero.
std::string FieldText(const std::uint8_t* bytes, std::size_t width);
// Writes `text` into a fixed-width field, padding with zero bytes; the text is
// cut to the width.
void PutField(std::uint8_t* bytes, std::size_t width, std::string_view text);
