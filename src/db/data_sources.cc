#include "db/data_sources.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>

#include "db/odbc.h"

namespace db {
namespace {

constexpr const char* kDriverName = "SQLite3";

// Attributes of every file's data source, after its Driver and Database.
constexpr std::pair<const char*, const char*> kSettings[] = {
    {"JournalMode", "WAL"}, {"SyncPragma", "NORMAL"}, {"Timeout", "5000"}};

// A section's header line and every line up to the next header; the first
// section (no name) holds the lines before any header.
struct Section {
  std::string name;
  std::vector<std::string> lines;
};

std::string Trim(const std::string& text) {
  std::size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

// The name of a header line "[name]", or false.
bool HeaderName(const std::string& line, std::string& name) {
  std::string text = Trim(line);
  if (text.empty() || text[0] != '[') return false;
  std::size_t end = text.find(']');
  if (end == std::string::npos) return false;
  name = text.substr(1, end - 1);
  return true;
}

bool SameName(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

std::vector<Section> ReadSections(const std::string& path) {
  std::vector<Section> sections(1);
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::string name;
    if (HeaderName(line, name)) sections.push_back({name, {}});
    sections.back().lines.push_back(line);
  }
  return sections;
}

std::vector<std::pair<std::string, std::string>> Attributes(const DataSource& source) {
  std::vector<std::pair<std::string, std::string>> out = {{"Driver", kDriverName}, {"Database", source.database}};
  for (const auto& [key, value] : kSettings) out.emplace_back(key, value);
  return out;
}

std::vector<std::string> SectionLines(const DataSource& source) {
  std::vector<std::string> lines = {"[" + source.name + "]"};
  for (const auto& [key, value] : Attributes(source)) lines.push_back(key + "=" + value);
  lines.emplace_back();
  return lines;
}

bool WriteAll(int fd, const std::string& text) {
  for (std::size_t done = 0; done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Written beside the file and renamed over it; the new file keeps the old
// one's permissions (it may hold a database server's password).
bool ReplaceFile(const std::string& path, const std::string& text) {
  struct stat old {};
  mode_t mode = stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
  std::string temporary = path + ".tmp" + std::to_string(getpid());
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, text) && fdatasync(fd) == 0;
  ok = close(fd) == 0 && ok;
  ok = ok && rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) unlink(temporary.c_str());
  return ok;
}

using Edit = std::function<bool(std::vector<Section>&)>;

// One read and at most one write of the file under both locks for a batch
// of edits; each edit says whether it changed anything.
bool ApplyEdits(const std::vector<const Edit*>& edits) {
  std::string path = DataSourceFilePath();
  std::lock_guard lock(DsnLock());
  DataSourceFileLock fileLock(path);
  std::vector<Section> sections = ReadSections(path);
  bool changed = false;
  for (const Edit* edit : edits) changed = (*edit)(sections) || changed;
  if (!changed) return true;
  std::string text;
  for (const Section& section : sections) {
    for (const std::string& line : section.lines) text += line + "\n";
  }
  return ReplaceFile(path, text);
}

// Edits that arrive while the file is being written wait and are then
// written together by one of them: under many users the file is rewritten
// once per batch, not once per registration.
struct Pending {
  const Edit* edit;
  bool done = false;
  bool ok = false;
};
std::mutex queueLock;
std::condition_variable queueDone;
std::vector<Pending*> queue;
bool writing = false;

bool Rewrite(const Edit& edit) {
  Pending mine{&edit};
  std::unique_lock lock(queueLock);
  queue.push_back(&mine);
  while (!mine.done) {
    if (writing) {
      queueDone.wait(lock);
      continue;
    }
    writing = true;
    std::vector<Pending*> batch;
    batch.swap(queue);
    lock.unlock();
    std::vector<const Edit*> edits;
    for (const Pending* pending : batch) edits.push_back(pending->edit);
    bool ok = ApplyEdits(edits);
    lock.lock();
    for (Pending* pending : batch) {
      pending->ok = ok;
      pending->done = true;
    }
    writing = false;
    queueDone.notify_all();
  }
  return mine.ok;
}

}  // namespace

std::string DataSourceFilePath() {
  const char* dir = std::getenv("ODBCSYSINI");
  return std::string(dir != nullptr ? dir : "/etc") + "/odbc.ini";
}

bool RegisterDataSources(const std::vector<DataSource>& sources) {
  if (sources.empty()) return true;
  return Rewrite([&](std::vector<Section>& sections) {
    for (const DataSource& source : sources) {
      Section* kept = nullptr;
      for (auto it = sections.begin() + 1; it != sections.end();) {
        if (!SameName(it->name, source.name)) {
          ++it;
        } else if (kept == nullptr) {
          kept = &*it;
          ++it;
        } else {
          it = sections.erase(it);  // a duplicate the driver manager would never read
        }
      }
      if (kept != nullptr) {
        kept->lines = SectionLines(source);
        continue;
      }
      std::vector<std::string>& last = sections.back().lines;
      if (!last.empty() && !Trim(last.back()).empty()) last.emplace_back();
      sections.push_back({source.name, SectionLines(source)});
    }
    return true;
  });
}

bool RemoveDataSource(const std::string& name) {
  return Rewrite([&](std::vector<Section>& sections) {
    std::size_t before = sections.size();
    for (auto it = sections.begin() + 1; it != sections.end();) it = SameName(it->name, name) ? sections.erase(it) : it + 1;
    return sections.size() != before;
  });
}

std::string ConnectionString(const DataSource& source) {
  if (source.database.find_first_of(";{}") != std::string::npos) return {};
  std::string text;
  for (const auto& [key, value] : Attributes(source)) text += key + "=" + value + ";";
  return text + "NoCreat=1";
}

bool FindDataSource(const std::string& name, std::string& database) {
  std::ifstream in(DataSourceFilePath());
  bool inSection = false, found = false;
  for (std::string line; std::getline(in, line);) {
    std::string header;
    if (HeaderName(line, header)) {
      if (found) break;  // the first section of the name is the one the driver manager reads
      inSection = found = SameName(header, name);
      continue;
    }
    std::string text = Trim(line);
    std::size_t equals = text.find('=');
    if (!inSection || equals == std::string::npos || text[0] == ';' || text[0] == '#') continue;
    if (strcasecmp(Trim(text.substr(0, equals)).c_str(), "Database") == 0) database = Trim(text.substr(equals + 1));
  }
  return found && !database.empty();
}

std::map<std::string, DataSourceEntry> ReadDataSources() {
  // No lock: the file is only ever replaced whole.
  std::map<std::string, DataSourceEntry> out;
  DataSourceEntry* entry = nullptr;
  for (const Section& section : ReadSections(DataSourceFilePath())) {
    entry = section.name.empty() ? nullptr : &out[section.name];
    if (entry == nullptr) continue;
    for (const std::string& line : section.lines) {
      std::string text = Trim(line);
      std::size_t equals = text.find('=');
      if (text.empty() || text[0] == ';' || text[0] == '#' || equals == std::string::npos) continue;
      std::string key = Trim(text.substr(0, equals));
      std::string value = Trim(text.substr(equals + 1));
      if (strcasecmp(key.c_str(), "Database") == 0) entry->database = value;
      if (strcasecmp(key.c_str(), "Timeout") == 0) entry->timeout = value;
    }
  }
  return out;
}

DataSourceFileLock::DataSourceFileLock(const std::string& dsnFile) {
  std::size_t slash = dsnFile.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dsnFile.substr(0, slash);
  fd_ = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
  }
}

DataSourceFileLock::~DataSourceFileLock() {
  if (fd_ >= 0) close(fd_);
}

}  // namespace db
