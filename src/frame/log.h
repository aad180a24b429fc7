#pragma once
// The log writer. A caller formats its text with a level formatter (the first
// character of the result is the level digit, then "<Name>...<label>: "), and
// hands it to WriteLog with the slot number it concerns (kServerLog for the
// server itself). Lines above the configured info level are dropped; the rest
// go to standard output and to CommLog_<n>.txt in the log directory. The file
// being written stays open until it is full; after a restart writing resumes
// in the newest file.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

constexpr int kServerLog = 999;
constexpr std::size_t kMaxLogText = 4999;
constexpr std::uintmax_t kLogFileLimit = 5000000;  // a file past this size is full

std::string FormatError(std::string_view text, std::string_view label);
std::string FormatDebug(std::string_view text, std::string_view label);
std::string FormatSQL(std::string_view text, std::string_view label);
std::string FormatRollBack(std::string_view text, std::string_view label);
std::string FormatDBLinkChanged(std::string_view text, std::string_view label);
std::string FormatStateChanged(std::string_view text, std::string_view label);
std::string FormatMessageBytes(const std::uint8_t* bytes, std::string_view label, std::size_t count);

int WriteLog(int varNum, const std::string& formatted, bool toFile = true, bool toConsole = true);
int AppendLogFile(const std::string& line);

// The usual pattern in one call each.
void LogError(int varNum, std::string_view label, std::string_view text);
void LogDebug(int varNum, std::string_view text, std::string_view label = "Debug");
void LogSQL(int varNum, std::string_view label, std::string_view text);
void LogRollBack(int varNum, std::string_view label, std::string_view text);
void LogDBLinkChanged(int varNum, std::string_view label, std::string_view text);
void LogStateChanged(int varNum, std::string_view text);  // label "StateChange"
void LogBytes(int varNum, std::string_view label, const std::uint8_t* bytes, std::size_t count);

// Logs the name of the socket error `err` (errno), or nothing for other codes.
int ReportSocketError(int varNum, int err);
const char* SocketErrorName(int err);  // nullptr for an unmapped errno

// Console progress lines: printed as given and flushed at once.
void Console(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Local time as "%Y-%m-%d %H_%M_%S".
std::string LocalTimeText();

// Process-wide settings, written once at start-up before any other thread runs.
void SetLogDirectory(const std::string& dirWithSlash);
// Lets the writer remove the oldest CommLog files whenever all of them
// together exceed `bytes` (checked when a file is begun); 0 keeps every file.
void SetLogKeepLimit(std::uintmax_t bytes);
void SetInfoLevel(int level);
int InfoLevel();
bool LevelPasses(char digit);

// The database lock: recursive, shared by the log file appends and the SQL
// work on the shared user and info connections.
std::recursive_mutex& DatabaseLock();
