#include "frame/log.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <utility>
#include <vector>

#include "platform/append_file.h"

namespace {
std::string logDirectory;         // set at start-up (under the database lock), read-only after
std::atomic<int> infoLevel{9};    // set at start-up

// The log file being written, kept open from line to line and left only when
// it is full or has been removed: a line costs one size check and one write,
// however many full files lie before it. Guarded by the database lock.
platform::AppendFile currentLog;
int currentLogNumber = 0;      // the number of currentLog; 0 while none is open
std::uintmax_t keepLogBytes = 0;  // total of the log files kept; 0 keeps them all

// Consecutive names that cannot be opened at all before a line is given up;
// full files do not count against it.
constexpr int kMaxUnusableNames = 8;
constexpr int kMaxLogNames = 100000;

std::string Cut(std::string s) {
  if (s.size() > kMaxLogText) s.resize(kMaxLogText);
  return s;
}

std::string Levelled(char digit, std::string_view name, std::string_view label, std::string_view text) {
  std::string out;
  out.reserve(text.size() + label.size() + 24);
  out += digit;
  out += name;
  out += "...";
  out += label;
  out += ": ";
  out += text;
  out += ' ';
  return Cut(std::move(out));
}

std::string VFormat(const char* format, va_list args) {
  char small[512];
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return {};
  if (static_cast<std::size_t>(n) < sizeof small) return std::string(small, n);
  std::string big(n, '\0');
  std::vsnprintf(big.data(), n + 1, format, args);
  return big;
}
}  // namespace

// The level digit is compared, as a character, with the first character of
// the info level's decimal text: level 10 acts as 1, a negative level drops all.
bool LevelPasses(char digit) {
  return digit <= std::to_string(infoLevel.load(std::memory_order_relaxed))[0];
}

std::string FormatError(std::string_view text, std::string_view label) { return Levelled('0', "Error", label, text); }
std::string FormatDebug(std::string_view text, std::string_view label) { return Levelled('2', "Debug", label, text); }
std::string FormatSQL(std::string_view text, std::string_view label) { return Levelled('4', "SQL", label, text); }
std::string FormatRollBack(std::string_view text, std::string_view label) { return Levelled('5', "RollBack", label, text); }
std::string FormatDBLinkChanged(std::string_view text, std::string_view label) {
  return Levelled('6', "DB Link Changed", label, text);
}
std::string FormatStateChanged(std::string_view text, std::string_view label) {
  return Levelled('7', "State Changed", label, text);
}

std::string FormatMessageBytes(const std::uint8_t* bytes, std::string_view label, std::size_t count) {
  std::string out = "3Message...";
  out += label;
  out += ": ";
  char hex[4];
  for (std::size_t i = 0; i < count && out.size() < kMaxLogText; ++i) {
    std::snprintf(hex, sizeof hex, "%X ", bytes[i]);
    out += hex;
  }
  return Cut(std::move(out));
}

std::string LocalTimeText() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H_%M_%S", &local);
  return text;
}

int WriteLog(int varNum, const std::string& formatted, bool toFile, bool toConsole) {
  if (formatted.empty()) return 1;
  if (!LevelPasses(formatted[0])) return 1;
  std::string line = Cut(std::to_string(varNum) + "..." + LocalTimeText() + "..." + formatted.substr(1)) ;
  line += '\n';
  if (toConsole) {
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
  }
  if (toFile) AppendLogFile(line);
  return 1;
}

namespace {

std::string LogPath(int number) { return logDirectory + "CommLog_" + std::to_string(number) + ".txt"; }

// The CommLog_<n>.txt files of the log directory as (number, size), lowest
// number first.
std::vector<std::pair<int, std::uintmax_t>> LogFilesOnDisk() {
  std::vector<std::pair<int, std::uintmax_t>> files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(logDirectory, ec)) {
    std::string name = entry.path().filename().string();
    constexpr std::string_view kHead = "CommLog_", kTail = ".txt";
    if (name.size() <= kHead.size() + kTail.size() || !name.starts_with(kHead) || !name.ends_with(kTail)) continue;
    std::string digits = name.substr(kHead.size(), name.size() - kHead.size() - kTail.size());
    if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos || digits[0] == '0') continue;
    std::uintmax_t size = entry.file_size(ec);
    if (ec) size = 0;
    files.emplace_back(std::stoi(digits), size);
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Where writing resumes when no file is open: the newest log file, so that
// files removed for space leave no gap that new lines would fill out of order.
int LastLogNumber() {
  auto files = LogFilesOnDisk();
  return files.empty() ? 1 : files.back().first;
}

// Opens the first file from `number` on that is not full.
bool OpenLogFrom(int number) {
  int unusable = 0;
  for (; number <= kMaxLogNames && unusable < kMaxUnusableNames; ++number) {
    if (currentLog.Open(LogPath(number)) != 0) {
      ++unusable;
      continue;
    }
    unusable = 0;
    std::int64_t size = currentLog.Size();
    if (size < 0 || static_cast<std::uintmax_t>(size) > kLogFileLimit) {
      currentLog.Close();
      continue;
    }
    currentLogNumber = number;
    return true;
  }
  currentLogNumber = 0;
  return false;
}

// Removes the oldest log files until the rest fit into the kept total; the
// file being written always stays.
void RemoveOldLogs() {
  if (keepLogBytes == 0) return;
  auto files = LogFilesOnDisk();
  std::uintmax_t total = 0;
  for (const auto& file : files) total += file.second;
  for (const auto& [number, size] : files) {
    if (total <= keepLogBytes || number >= currentLogNumber) break;
    std::error_code ec;
    if (!std::filesystem::remove(LogPath(number), ec)) continue;
    total -= size;
    LogDebug(kServerLog, Format("Log file CommLog_%d.txt removed, the log files are kept within %ju bytes", number,
                                keepLogBytes),
             "Log file");
  }
}

}  // namespace

int AppendLogFile(const std::string& line) {
  std::lock_guard lock(DatabaseLock());
  int resumeAt = 0;
  if (currentLog.open()) {
    std::int64_t size = currentLog.Size();
    if (size < 0) {
      resumeAt = LastLogNumber();  // removed or unreadable: find the place again
    } else if (static_cast<std::uintmax_t>(size) > kLogFileLimit) {
      resumeAt = currentLogNumber + 1;
    }
    if (resumeAt != 0) currentLog.Close();
  } else {
    resumeAt = LastLogNumber();
  }
  if (resumeAt != 0) {
    if (!OpenLogFrom(resumeAt)) return 1;
    RemoveOldLogs();
  }
  currentLog.Append("\n" + line + " \n");
  return 1;
}

void LogError(int varNum, std::string_view label, std::string_view text) { WriteLog(varNum, FormatError(text, label)); }
void LogDebug(int varNum, std::string_view text, std::string_view label) { WriteLog(varNum, FormatDebug(text, label)); }
void LogSQL(int varNum, std::string_view label, std::string_view text) { WriteLog(varNum, FormatSQL(text, label)); }
void LogRollBack(int varNum, std::string_view label, std::string_view text) {
  WriteLog(varNum, FormatRollBack(text, label));
}
void LogDBLinkChanged(int varNum, std::string_view label, std::string_view text) {
  WriteLog(varNum, FormatDBLinkChanged(text, label));
}
void LogStateChanged(int varNum, std::string_view text) { WriteLog(varNum, FormatStateChanged(text, "StateChange")); }
void LogBytes(int varNum, std::string_view label, const std::uint8_t* bytes, std::size_t count) {
  // Formatting a dump is the costly part; skip it when the level drops it.
  if (!LevelPasses('3')) return;
  WriteLog(varNum, FormatMessageBytes(bytes, label, count));
}

const char* SocketErrorName(int err) {
  switch (err) {
    case EINTR: return "WSAEINTR";
    case EACCES: return "WSAEACCES";
    case EFAULT: return "WSAEFAULT";
    case EINVAL: return "WSAEINVAL";
    case EAGAIN: return "WSAEWOULDBLOCK";
    case EINPROGRESS: return "WSAEINPROGRESS";
    case EALREADY: return "WSAEALREADY";
    case ENOTSOCK: return "WSAENOTSOCK";
    case EMSGSIZE: return "WSAEMSGSIZE";
    case EOPNOTSUPP: return "WSAEOPNOTSUPP";
    case EAFNOSUPPORT: return "WSAEAFNOSUPPORT";
    case EADDRINUSE: return "WSAEADDRINUSE ";
    case EADDRNOTAVAIL: return "WSAEADDRNOTAVAIL";
    case ENETDOWN: return "WSAENETDOWN";
    case ENETUNREACH: return "WSAENETUNREACH";
    case ENETRESET: return "WSAENETRESET";
    case ECONNABORTED: return "WSAECONNABORTED";
    case ECONNRESET: return "WSAECONNRESET";
    case ENOBUFS: return "WSAENOBUFS";
    case EISCONN: return "WSAEISCONN";
    case ENOTCONN: return "WSAENOTCONN";
    case ESHUTDOWN: return "WSAESHUTDOWN";
    case ETIMEDOUT: return "WSAETIMEDOUT";
    case ECONNREFUSED: return "WSAECONNREFUSED";
    case EHOSTUNREACH: return "WSAEHOSTUNREACH";
    default: return nullptr;
  }
}

int ReportSocketError(int varNum, int err) {
  if (const char* name = SocketErrorName(err)) LogError(varNum, "Sockte error", name);
  return 1;
}

void Console(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
  std::fflush(stdout);
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = VFormat(format, args);
  va_end(args);
  return out;
}

void SetLogDirectory(const std::string& dirWithSlash) {
  std::lock_guard lock(DatabaseLock());
  logDirectory = dirWithSlash;
  currentLog.Close();
  currentLogNumber = 0;
}

void SetLogKeepLimit(std::uintmax_t bytes) {
  std::lock_guard lock(DatabaseLock());
  keepLogBytes = bytes;
  if (currentLog.open()) RemoveOldLogs();
}
void SetInfoLevel(int level) { infoLevel.store(level, std::memory_order_relaxed); }
int InfoLevel() { return infoLevel.load(std::memory_order_relaxed); }

std::recursive_mutex& DatabaseLock() {
  static std::recursive_mutex lock;
  return lock;
}
