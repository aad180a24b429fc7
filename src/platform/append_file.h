#pragma once
// A file kept open for appending, for writers that add many small records to
// the same file and must notice when it has been removed or grown by others.
#include <cstdint>
#include <string>

namespace platform {

class AppendFile {
 public:
  AppendFile() = default;
  ~AppendFile() { Close(); }
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Opens (creating it when missing) the file for appending. 0; -1 with errno.
  int Open(const std::string& path);
  void Close();
  bool open() const { return fd_ >= 0; }
  // The file's size now, whoever wrote it; -1 when it cannot be read or the
  // file has been removed from its directory meanwhile.
  std::int64_t Size() const;
  // Appends the whole text at the file's end in one write. 0; -1 with errno.
  int Append(const std::string& text);

 private:
  int fd_ = -1;
};

}  // namespace platform
