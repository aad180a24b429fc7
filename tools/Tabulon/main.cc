// Tabulon: adds a missing table to a database file, as the template has it.
//
//   Tabulon <file path>?<table name>
//
// COMM runs it on files opened by users, which may come from an older
// template. The exit code is 0 when the table exists afterwards (added now or
// already there), 1 when it does not, 2 for a malformed argument.
#include <cstdio>
#include <cstring>
#include <string>

#include "setup/databases.h"
#include "setup/dataset.h"

namespace {

constexpr const char* kHelp = R"(Usage: Tabulon FILE?TABLE

Adds the table TABLE to the database file FILE as the template database
has it, when the file lacks it. tavrel-comm runs it on database files
opened by users, which may come from an older template; it is found beside
tavrel-comm, else on PATH.

Options:
  --help    print this text and exit

Exit status: 0 when the table exists afterwards (added now or already
there), 1 when it does not, 2 for a malformed argument.
)";

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: Tabulon <file path>?<table name>\n");
    return 2;
  }
  std::string argument = argv[1];
  // The table name holds no "?", a path may.
  auto mark = argument.rfind('?');
  if (mark == std::string::npos || mark == 0 || mark + 1 == argument.size()) {
    std::fprintf(stderr, "Tabulon: expected <file path>?<table name>, got \"%s\"\n", argument.c_str());
    return 2;
  }
  std::string path = argument.substr(0, mark);
  std::string table = argument.substr(mark + 1);
  std::string error;
  if (setup::AddMissingTable(path, table, setup::DefaultDataset(), error) != 1) {
    std::fprintf(stderr, "Tabulon: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
