#pragma once
// A temporary regular file as a descriptor, for tests that need standard
// streams which are files: unlike a pipe it takes any amount of input without
// a reader, can be rewound, and has a file offset that processes share.

#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>

namespace castles::testing {

struct TempFile {
  std::FILE* file = std::tmpfile();
  TempFile() = default;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (file != nullptr) {
      std::fclose(file);
    }
  }
  int fd() const { return ::fileno(file); }

  // Replaces the contents with text and rewinds. @return false if that failed
  bool holdOnly(std::string_view text) const {
    return ::ftruncate(fd(), 0) == 0 &&
           ::pwrite(fd(), text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) &&
           ::lseek(fd(), 0, SEEK_SET) == 0;
  }

  // @return what is left to read from the current offset on
  std::string rest() const {
    std::string text;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(fd(), buffer, sizeof buffer)) > 0) {
      text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
  }

  std::string contents() const {
    ::lseek(fd(), 0, SEEK_SET);
    return rest();
  }
};

}  // namespace castles::testing
