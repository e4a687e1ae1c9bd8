// Byte streams and the small binary encodings the plug-in's own formats are
// built from. All integers little-endian. Readers never trust a stored count:
// every read is bounded by the bytes that remain, and a failed read reports
// false and leaves its output as it was.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

enum class TSeekOrigin { Begin, Current, End };

class TStream {
 public:
  virtual ~TStream() = default;
  // Reads up to count bytes; returns how many were read.
  virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
  // Writes count bytes; returns how many were written.
  virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
  virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;
  virtual std::int64_t Size() const = 0;

  std::int64_t Position() { return Seek(0, TSeekOrigin::Current); }
  void SetPosition(std::int64_t position) { Seek(position, TSeekOrigin::Begin); }
  std::int64_t Remaining() { return Size() - Position(); }
  // All count bytes or nothing: on a short stream the position is restored.
  bool ReadExact(void* buffer, std::int64_t count);
  bool WriteAll(const void* buffer, std::int64_t count) { return Write(buffer, count) == count; }
  // Copies count bytes (or everything left, count < 0) from source; returns
  // how many were copied.
  std::int64_t CopyFrom(TStream& source, std::int64_t count);
};

class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::span<const std::uint8_t> bytes) : Data(bytes.begin(), bytes.end()) {}

  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() const override { return static_cast<std::int64_t>(Data.size()); }

  std::uint8_t* Memory() { return Data.data(); }
  const std::uint8_t* Memory() const { return Data.data(); }
  std::span<const std::uint8_t> Bytes() const { return Data; }
  void Clear() {
    Data.clear();
    Pos = 0;
  }
  void SetSize(std::int64_t size);
  bool LoadFromFile(const std::string& path);
  // Writes the bytes to a new file beside path and renames it over path, so
  // a failed write (full disk, no permission) leaves what was there before
  // untouched. A file that existed keeps its permissions; a link is followed
  // and its target replaced. False when nothing was replaced.
  bool SaveToFile(const std::string& path) const;

 private:
  std::vector<std::uint8_t> Data;
  std::int64_t Pos = 0;
};

class TFileStream : public TStream {
 public:
  enum class TMode { Read, Create };
  // Check IsOpen afterwards; the stream never throws.
  TFileStream(const std::string& path, TMode mode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  bool IsOpen() const { return File != nullptr; }
  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() const override;
  // Flushes and closes; false when anything failed to reach the file.
  bool Close();

 private:
  std::FILE* File = nullptr;
  bool Failed = false;
};

// Reading a file the user named into memory, bounded by what a valid file
// of its kind can hold.
struct TFileLoadResult {
  enum TOutcome {
    Loaded,      // the bytes are in the stream
    Unreadable,  // it could not be opened or read (ErrorNumber says why)
    NotAFile,    // a directory, a FIFO, a device or a socket
    TooLarge,    // longer than the limit (Size, or -1 when it grew)
    OtherKind,   // it does not begin with the expected magic
  };
  TOutcome Outcome = Unreadable;
  std::int64_t Size = -1;  // bytes, when known
  bool Directory = false;
  int ErrorNumber = 0;
  bool Ok() const { return Outcome == Loaded; }
};
// Reads the regular file at path into out (positioned at 0) when it is at
// most maxBytes long and begins with magic (may be empty). What cannot be
// such a file is refused before its contents are read: anything but a
// regular file (never waited on, as a FIFO would make a reader wait), a
// longer file (by its size, and by what a read finds if it grows), one with
// another beginning (only the magic's bytes are read). out is left as it was
// unless the file was loaded.
TFileLoadResult LoadFileBounded(const std::string& path, std::int64_t maxBytes, std::string_view magic,
                                TMemoryStream& out);
// The refusal as a message for the user, a sentence naming the file; kind is
// what it should have been ("a sub-preset file").
std::string FileLoadMessage(const std::string& path, const TFileLoadResult& result, std::string_view kind,
                            std::int64_t maxBytes);

// Encodings. Each write returns the number of bytes written.
std::int64_t WriteInt32(TStream& s, std::int32_t v);
std::int64_t WriteInt16(TStream& s, std::int16_t v);
std::int64_t WriteByte(TStream& s, std::uint8_t v);
std::int64_t WriteFloat32(TStream& s, float v);
bool ReadInt32(TStream& s, std::int32_t& v);
bool ReadInt16(TStream& s, std::int16_t& v);
bool ReadUInt16(TStream& s, std::uint16_t& v);
bool ReadUInt32(TStream& s, std::uint32_t& v);
bool ReadByte(TStream& s, std::uint8_t& v);
bool ReadFloat32(TStream& s, float& v);

// Big-endian forms, for the VST bank and program files.
std::int64_t WriteInt32BE(TStream& s, std::int32_t v);
std::int64_t WriteFloat32BE(TStream& s, float v);
bool ReadInt32BE(TStream& s, std::int32_t& v);
bool ReadFloat32BE(TStream& s, float& v);

// Removes leading and trailing blanks and control characters.
std::string TrimText(std::string_view text);

// Short string: the trimmed text (at most 255 characters) as a u16 count
// n = length + 1, then the length byte and the characters.
std::int64_t WriteShortStr(TStream& s, std::string_view text);
// Rejects counts outside 1..256 and a length byte beyond the count (the
// stream is then left where it was).
bool ReadShortStr(TStream& s, std::string& text);
// Long string: i32 length, then the characters.
std::int64_t WriteLongStr(TStream& s, std::string_view text);
// Rejects negative lengths and lengths beyond the bytes remaining.
bool ReadLongStr(TStream& s, std::string& text);

// Four-character code packed with its first character in the highest byte.
constexpr std::int32_t PackFourBytes(char a, char b, char c, char d) {
  return static_cast<std::int32_t>((static_cast<std::uint32_t>(static_cast<std::uint8_t>(a)) << 24) |
                                   (static_cast<std::uint32_t>(static_cast<std::uint8_t>(b)) << 16) |
                                   (static_cast<std::uint32_t>(static_cast<std::uint8_t>(c)) << 8) |
                                   static_cast<std::uint32_t>(static_cast<std::uint8_t>(d)));
}
constexpr std::int32_t PackFourBytes(const char (&s)[5]) { return PackFourBytes(s[0], s[1], s[2], s[3]); }

// Picture chunk: "KWPPICTX", the file name as a short string and, when the
// name is not empty, an i32 size and the picture file's bytes. The bytes are
// handed over as they are; decoding them is the image loader's business.
std::int64_t WritePictureChunk(TStream& s, std::string_view fileName, std::span<const std::uint8_t> fileBytes);
// Without the magic at the current position the stream is left there and the
// result is true with an empty name (the chunk is optional). A damaged chunk
// gives false and leaves the stream where it was.
bool ReadPictureChunk(TStream& s, std::string& fileName, std::vector<std::uint8_t>& fileBytes);

// Font chunk: "XfNt", name, u16 size, u32 colour, u8 style bits, u16 charset.
struct TFontSpec {
  static constexpr std::uint8_t kBold = 2, kItalic = 4, kUnderline = 8, kStrikeOut = 16;
  std::string Name;
  std::uint16_t Size = 0;
  std::uint32_t Color = 0;
  std::uint8_t Style = 0;
  std::uint16_t Charset = 1;
};
std::int64_t WriteFontChunk(TStream& s, const TFontSpec& font);
// Reads the chunk, or the older form without the magic from the same position.
bool ReadFontChunk(TStream& s, TFontSpec& font);

// A new memory stream holding a copy of the named resource, positioned at 0;
// null when the resource does not exist or is empty.
std::unique_ptr<TMemoryStream> LoadResourceStream(std::string_view name);
