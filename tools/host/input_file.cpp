#include "tools/host/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

struct TDescriptor {
  int Fd;
  ~TDescriptor() {
    if (Fd >= 0) ::close(Fd);
  }
};

}  // namespace

bool ReadInputFile(const std::string& path, std::int64_t maxBytes, std::string_view kind,
                   std::vector<std::uint8_t>& bytes, std::string& error) {
  const std::string what(kind);
  // Non-blocking: a FIFO is refused below instead of waiting for a writer.
  const TDescriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
  struct stat info {};
  if (file.Fd < 0 || ::fstat(file.Fd, &info) != 0) {
    error = "cannot read " + Quoted(path) + ": " + std::strerror(errno);
    return false;
  }
  if (S_ISDIR(info.st_mode)) {
    error = Quoted(path) + " is a directory, not " + what;
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    error = Quoted(path) + " is not a regular file (a device, FIFO or socket), so not " + what;
    return false;
  }
  const std::string limit = "; at most " + std::to_string(maxBytes) + " bytes are taken";
  if (info.st_size > maxBytes) {
    error = Quoted(path) + " is too large for " + what + " (" + std::to_string(info.st_size) + " bytes" + limit + ")";
    return false;
  }
  // Read to its end, but never beyond the limit, should the file grow.
  std::vector<std::uint8_t> read(static_cast<std::size_t>(info.st_size) + 1);
  std::size_t total = 0;
  for (;;) {
    if (total == read.size()) {
      if (static_cast<std::int64_t>(total) > maxBytes) {
        error = Quoted(path) + " grew beyond the size of " + what + " while it was read" + limit;
        return false;
      }
      read.resize(std::min<std::size_t>(read.size() * 2, static_cast<std::size_t>(maxBytes) + 1));
    }
    const ssize_t n = ::read(file.Fd, read.data() + total, read.size() - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = "cannot read " + Quoted(path) + ": " + std::strerror(errno);
      return false;
    }
    if (n == 0) break;
    total += static_cast<std::size_t>(n);
  }
  read.resize(total);
  bytes = std::move(read);
  return true;
}
