#include "frame/result_codes.h"

#include <utility>

namespace {
#define TAVREL_NAME_ENTRY(name, value, meaning) {value, #name},
#define TAVREL_NO_NAME(name, value, meaning)
constexpr std::pair<int, const char*> kNames[] = {TAVREL_RESULT_CODES(TAVREL_NAME_ENTRY, TAVREL_NO_NAME)};
#undef TAVREL_NAME_ENTRY
#undef TAVREL_NO_NAME
}  // namespace

int ResultCodeName(std::string& out, int code) {
  for (const auto& [value, name] : kNames) {
    if (value == code) {
      out = name;
      break;
    }
  }
  return RESULT_OK;
}
