#include "framework/base/streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/resources.h"

bool TStream::ReadExact(void* buffer, std::int64_t count) {
  if (count < 0) return false;
  if (count == 0) return true;
  const std::int64_t start = Position();
  if (Size() - start < count || Read(buffer, count) != count) {
    SetPosition(start);
    return false;
  }
  return true;
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count) {
  if (count < 0) count = source.Remaining();
  std::uint8_t chunk[65536];
  std::int64_t copied = 0;
  while (copied < count) {
    const std::int64_t want = std::min<std::int64_t>(count - copied, sizeof chunk);
    const std::int64_t got = source.Read(chunk, want);
    if (got <= 0) break;
    const std::int64_t put = Write(chunk, got);
    copied += put;
    if (put != got) break;
  }
  return copied;
}

std::int64_t TMemoryStream::Read(void* buffer, std::int64_t count) {
  if (count <= 0 || Pos >= Size()) return 0;
  const std::int64_t n = std::min(count, Size() - Pos);
  std::memcpy(buffer, Data.data() + Pos, static_cast<std::size_t>(n));
  Pos += n;
  return n;
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  const std::int64_t end = Pos + count;
  if (end > Size()) Data.resize(static_cast<std::size_t>(end));
  std::memcpy(Data.data() + Pos, buffer, static_cast<std::size_t>(count));
  Pos = end;
  return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  std::int64_t base = 0;
  if (origin == TSeekOrigin::Current) base = Pos;
  if (origin == TSeekOrigin::End) base = Size();
  Pos = std::max<std::int64_t>(0, base + offset);
  return Pos;
}

void TMemoryStream::SetSize(std::int64_t size) {
  Data.resize(static_cast<std::size_t>(std::max<std::int64_t>(0, size)));
  Pos = std::min(Pos, Size());
}

bool TMemoryStream::LoadFromFile(const std::string& path) {
  TFileStream file(path, TFileStream::TMode::Read);
  if (!file.IsOpen()) return false;
  const std::int64_t size = file.Size();
  if (size < 0) return false;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  if (size > 0 && file.Read(bytes.data(), size) != size) return false;
  Data = std::move(bytes);
  Pos = 0;
  return true;
}

bool TMemoryStream::SaveToFile(const std::string& path) const {
  if (path.empty()) return false;
  // A link is followed: its target is what gets replaced.
  std::string target = path;
  if (char* resolved = ::realpath(path.c_str(), nullptr)) {
    target = resolved;
    std::free(resolved);
  }
  struct stat existing {};
  const bool exists = ::stat(target.c_str(), &existing) == 0;
  if (exists && !S_ISREG(existing.st_mode)) return false;
  // A new name beside the target (the same file system, so the rename is
  // atomic); the umask applies to it as to any new file.
  static std::atomic<unsigned> counter{0};
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = target + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  bool ok = !exists || ::fchmod(fd, existing.st_mode & 07777) == 0;
  const std::uint8_t* p = Data.data();
  std::size_t left = Data.size();
  while (ok && left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

TFileLoadResult LoadFileBounded(const std::string& path, std::int64_t maxBytes, std::string_view magic,
                                TMemoryStream& out) {
  TFileLoadResult result;
  // Non-blocking, so that opening a FIFO does not wait for a writer; it is
  // refused below.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    result.ErrorNumber = errno;
    return result;
  }
  struct TCloser {
    int Fd;
    ~TCloser() { ::close(Fd); }
  } closer{fd};
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    result.ErrorNumber = errno;
    return result;
  }
  if (!S_ISREG(info.st_mode)) {
    result.Outcome = TFileLoadResult::NotAFile;
    result.Directory = S_ISDIR(info.st_mode);
    return result;
  }
  result.Size = info.st_size;
  if (info.st_size > maxBytes) {
    result.Outcome = TFileLoadResult::TooLarge;
    return result;
  }
  // Up to one byte beyond the limit, in pieces: a file that grows, or one
  // whose size is not told (as in /proc), is still bounded.
  std::vector<std::uint8_t> bytes;
  bytes.reserve(static_cast<std::size_t>(info.st_size));
  std::uint8_t piece[65536];
  std::int64_t total = 0;
  bool magicChecked = magic.empty();
  for (;;) {
    // The magic first and alone: nothing more is read from another kind of file.
    const std::int64_t want = total < static_cast<std::int64_t>(magic.size())
                                  ? static_cast<std::int64_t>(magic.size()) - total
                                  : std::min<std::int64_t>(sizeof piece, maxBytes + 1 - total);
    const ssize_t n = ::read(fd, piece, static_cast<std::size_t>(want));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result.Outcome = TFileLoadResult::Unreadable;
      result.ErrorNumber = errno;
      return result;
    }
    bytes.insert(bytes.end(), piece, piece + n);
    total += n;
    if (total > maxBytes) {
      result.Outcome = TFileLoadResult::TooLarge;
      result.Size = -1;
      return result;
    }
    if (!magicChecked && (n == 0 || total >= static_cast<std::int64_t>(magic.size()))) {
      if (total < static_cast<std::int64_t>(magic.size()) ||
          std::memcmp(bytes.data(), magic.data(), magic.size()) != 0) {
        result.Outcome = TFileLoadResult::OtherKind;
        return result;
      }
      magicChecked = true;
    }
    if (n == 0) break;
  }
  result.Outcome = TFileLoadResult::Loaded;
  result.Size = total;
  out = TMemoryStream(bytes);
  return result;
}

std::string FileLoadMessage(const std::string& path, const TFileLoadResult& result, std::string_view kind,
                            std::int64_t maxBytes) {
  const std::string file = "The file \"" + path + "\"";
  switch (result.Outcome) {
    case TFileLoadResult::Loaded:
      break;
    case TFileLoadResult::Unreadable:
      return file + " could not be read (" + std::strerror(result.ErrorNumber) + ").";
    case TFileLoadResult::NotAFile:
      return file + " could not be read: it is " + (result.Directory ? "a directory" : "not a regular file") + ".";
    case TFileLoadResult::TooLarge:
      return file + " is too large for " + std::string(kind) + " (" +
             (result.Size >= 0 ? std::to_string(result.Size) + " bytes" : std::string("it grew while being read")) +
             "; at most " + std::to_string(maxBytes) + ").";
    case TFileLoadResult::OtherKind:
      return file + " is not " + std::string(kind) + ".";
  }
  return {};
}

TFileStream::TFileStream(const std::string& path, TMode mode)
    : File(std::fopen(path.c_str(), mode == TMode::Read ? "rb" : "wb")) {}

TFileStream::~TFileStream() { Close(); }

std::int64_t TFileStream::Read(void* buffer, std::int64_t count) {
  if (!File || count <= 0) return 0;
  return static_cast<std::int64_t>(std::fread(buffer, 1, static_cast<std::size_t>(count), File));
}

std::int64_t TFileStream::Write(const void* buffer, std::int64_t count) {
  if (!File || count <= 0) return 0;
  const auto n = static_cast<std::int64_t>(std::fwrite(buffer, 1, static_cast<std::size_t>(count), File));
  if (n != count) Failed = true;
  return n;
}

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  if (!File) return 0;
  const int whence = origin == TSeekOrigin::Begin ? SEEK_SET : origin == TSeekOrigin::Current ? SEEK_CUR : SEEK_END;
  std::fseek(File, offset, whence);
  return std::ftell(File);
}

std::int64_t TFileStream::Size() const {
  if (!File) return 0;
  const long here = std::ftell(File);
  std::fseek(File, 0, SEEK_END);
  const long size = std::ftell(File);
  std::fseek(File, here, SEEK_SET);
  return size;
}

bool TFileStream::Close() {
  if (!File) return !Failed;
  if (std::fclose(File) != 0) Failed = true;
  File = nullptr;
  return !Failed;
}

namespace {

template <typename T>
std::int64_t WriteLE(TStream& s, T v) {
  std::uint8_t bytes[sizeof(T)];
  auto u = static_cast<std::make_unsigned_t<T>>(v);
  for (std::size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<std::uint8_t>(u >> (8 * i));
  return s.Write(bytes, sizeof(T));
}

template <typename T>
bool ReadLE(TStream& s, T& v) {
  std::uint8_t bytes[sizeof(T)];
  if (!s.ReadExact(bytes, sizeof(T))) return false;
  std::make_unsigned_t<T> u = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) u |= static_cast<std::make_unsigned_t<T>>(bytes[i]) << (8 * i);
  v = static_cast<T>(u);
  return true;
}

}  // namespace

std::int64_t WriteInt32(TStream& s, std::int32_t v) { return WriteLE(s, v); }
std::int64_t WriteInt16(TStream& s, std::int16_t v) { return WriteLE(s, v); }
std::int64_t WriteByte(TStream& s, std::uint8_t v) { return s.Write(&v, 1); }
std::int64_t WriteFloat32(TStream& s, float v) { return WriteLE(s, __builtin_bit_cast(std::uint32_t, v)); }
bool ReadInt32(TStream& s, std::int32_t& v) { return ReadLE(s, v); }
bool ReadInt16(TStream& s, std::int16_t& v) { return ReadLE(s, v); }
bool ReadUInt16(TStream& s, std::uint16_t& v) { return ReadLE(s, v); }
bool ReadUInt32(TStream& s, std::uint32_t& v) { return ReadLE(s, v); }
bool ReadByte(TStream& s, std::uint8_t& v) { return s.ReadExact(&v, 1); }

bool ReadFloat32(TStream& s, float& v) {
  std::uint32_t bits;
  if (!ReadLE(s, bits)) return false;
  v = __builtin_bit_cast(float, bits);
  return true;
}

std::int64_t WriteInt32BE(TStream& s, std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(u >> 24), static_cast<std::uint8_t>(u >> 16),
                                 static_cast<std::uint8_t>(u >> 8), static_cast<std::uint8_t>(u)};
  return s.Write(bytes, 4);
}

std::int64_t WriteFloat32BE(TStream& s, float v) {
  return WriteInt32BE(s, static_cast<std::int32_t>(__builtin_bit_cast(std::uint32_t, v)));
}

bool ReadInt32BE(TStream& s, std::int32_t& v) {
  std::uint8_t b[4];
  if (!s.ReadExact(b, 4)) return false;
  v = static_cast<std::int32_t>((std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) |
                                std::uint32_t{b[3]});
  return true;
}

bool ReadFloat32BE(TStream& s, float& v) {
  std::int32_t bits;
  if (!ReadInt32BE(s, bits)) return false;
  v = __builtin_bit_cast(float, static_cast<std::uint32_t>(bits));
  return true;
}

std::string TrimText(std::string_view text) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  std::size_t begin = 0, end = text.size();
  while (begin < end && blank(text[begin])) ++begin;
  while (end > begin && blank(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

std::int64_t WriteShortStr(TStream& s, std::string_view text) {
  std::string trimmed = TrimText(text);
  if (trimmed.size() > 255) trimmed.resize(255);
  const auto length = static_cast<std::uint8_t>(trimmed.size());
  std::int64_t n = WriteInt16(s, static_cast<std::int16_t>(length + 1));
  n += WriteByte(s, length);
  n += s.Write(trimmed.data(), length);
  return n;
}

bool ReadShortStr(TStream& s, std::string& text) {
  const std::int64_t start = s.Position();
  std::int16_t count;
  if (!ReadInt16(s, count)) return false;
  std::uint8_t field[256];
  if (count < 1 || count > 256 || !s.ReadExact(field, count) || field[0] > count - 1) {
    s.SetPosition(start);
    return false;
  }
  text.assign(reinterpret_cast<const char*>(field + 1), field[0]);
  return true;
}

std::int64_t WriteLongStr(TStream& s, std::string_view text) {
  const std::int64_t n = WriteInt32(s, static_cast<std::int32_t>(text.size()));
  return n + s.Write(text.data(), static_cast<std::int64_t>(text.size()));
}

bool ReadLongStr(TStream& s, std::string& text) {
  const std::int64_t start = s.Position();
  std::int32_t length;
  if (!ReadInt32(s, length)) return false;
  if (length < 0 || length > s.Remaining()) {
    s.SetPosition(start);
    return false;
  }
  std::string value(static_cast<std::size_t>(length), '\0');
  if (!s.ReadExact(value.data(), length)) {
    s.SetPosition(start);
    return false;
  }
  text = std::move(value);
  return true;
}

namespace {
constexpr char kPictureMagic[8] = {'K', 'W', 'P', 'P', 'I', 'C', 'T', 'X'};
constexpr char kFontMagic[4] = {'X', 'f', 'N', 't'};
}  // namespace

std::int64_t WritePictureChunk(TStream& s, std::string_view fileName, std::span<const std::uint8_t> fileBytes) {
  std::int64_t n = s.Write(kPictureMagic, 8);
  const std::string name = TrimText(fileName);
  n += WriteShortStr(s, name);
  if (!name.empty()) {
    n += WriteInt32(s, static_cast<std::int32_t>(fileBytes.size()));
    n += s.Write(fileBytes.data(), static_cast<std::int64_t>(fileBytes.size()));
  }
  return n;
}

bool ReadPictureChunk(TStream& s, std::string& fileName, std::vector<std::uint8_t>& fileBytes) {
  const std::int64_t start = s.Position();
  char magic[8];
  if (!s.ReadExact(magic, 8) || std::memcmp(magic, kPictureMagic, 8) != 0) {
    s.SetPosition(start);
    fileName.clear();
    return true;
  }
  std::string name;
  if (!ReadShortStr(s, name)) {
    s.SetPosition(start);
    return false;
  }
  std::vector<std::uint8_t> bytes;
  if (!name.empty()) {
    std::int32_t size;
    if (!ReadInt32(s, size) || size < 0 || size > s.Remaining()) {
      s.SetPosition(start);
      return false;
    }
    bytes.resize(static_cast<std::size_t>(size));
    if (!s.ReadExact(bytes.data(), size)) {
      s.SetPosition(start);
      return false;
    }
  }
  fileName = std::move(name);
  fileBytes = std::move(bytes);
  return true;
}

std::int64_t WriteFontChunk(TStream& s, const TFontSpec& font) {
  std::int64_t n = s.Write(kFontMagic, 4);
  n += WriteShortStr(s, font.Name);
  n += WriteInt16(s, static_cast<std::int16_t>(font.Size));
  n += WriteInt32(s, static_cast<std::int32_t>(font.Color));
  n += WriteByte(s, font.Style & 0x1E);
  n += WriteInt16(s, static_cast<std::int16_t>(font.Charset));
  return n;
}

bool ReadFontChunk(TStream& s, TFontSpec& font) {
  const std::int64_t start = s.Position();
  char magic[4];
  const bool tagged = s.ReadExact(magic, 4) && std::memcmp(magic, kFontMagic, 4) == 0;
  if (!tagged) s.SetPosition(start);
  TFontSpec read = font;
  std::uint8_t style;
  const bool ok = ReadShortStr(s, read.Name) && ReadUInt16(s, read.Size) && ReadUInt32(s, read.Color) &&
                  ReadByte(s, style) && (!tagged || ReadUInt16(s, read.Charset));
  if (!ok) {
    s.SetPosition(start);
    return false;
  }
  read.Style = style & 0x1E;
  font = std::move(read);
  return true;
}

std::unique_ptr<TMemoryStream> LoadResourceStream(std::string_view name) {
  const auto bytes = FindResourceBytes(name);
  if (bytes.empty()) return nullptr;
  return std::make_unique<TMemoryStream>(bytes);
}
