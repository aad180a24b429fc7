#include "frame/text.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>

#include "frame/log.h"
#include "frame/result_codes.h"

namespace {
bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string_view Stripped(std::string_view in) {
  while (!in.empty() && IsBlank(in.front())) in.remove_prefix(1);
  while (!in.empty() && IsBlank(in.back())) in.remove_suffix(1);
  return in;
}
}  // namespace

int TrimTextQuiet(std::string& out, std::string_view in) {
  std::string_view stripped = Stripped(in);
  if (stripped.empty()) return TRIM_EMPTY_QUIET;
  out.assign(stripped);
  return RESULT_OK;
}

std::string NormaliseName(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (c >= 1 && c <= 9) c = static_cast<char>('0' + c);
  }
  return out;
}

std::string SqlText(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out;
}

int ZeroedAlloc(std::vector<std::uint8_t>& out, std::size_t count, std::size_t size, int varNum) {
  try {
    out.assign(count * size, 0);
  } catch (const std::bad_alloc&) {
    LogError(varNum, "Memory error", "An error occurs when calloc memory");
    return NO_MEMORY;
  }
  return RESULT_OK;
}

std::string FieldText(const std::uint8_t* bytes, std::size_t width) {
  const auto* begin = reinterpret_cast<const char*>(bytes);
  return std::string(begin, strnlen(begin, width));
}

void PutField(std::uint8_t* bytes, std::size_t width, std::string_view text) {
  std::size_t n = std::min(width, text.size());
  if (n > 0) std::memcpy(bytes, text.data(), n);
  std::memset(bytes + n, 0, width - n);
}
