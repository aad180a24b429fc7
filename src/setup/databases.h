#pragma once
// The user and info database files of an installation, made through SQLite
// directly: the tool runs before any data source exists.
#include <string>
#include <utility>
#include <vector>

namespace setup {

// Creates the file and its missing tables, switches it to WAL, and inserts each
// user (user_level 0) or updates the password of one that exists. 1; 0 with
// the reason in `error`.
int PrepareUserDatabase(const std::string& path, const std::vector<std::pair<std::string, std::string>>& users,
                        std::string& error);
int PrepareInfoDatabase(const std::string& path, std::string& error);

// The statements that create the tables when missing, in creation order.
std::vector<std::string> UserDatabaseSchema();
std::vector<std::string> InfoDatabaseSchema();

}  // namespace setup
