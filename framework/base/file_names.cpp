#include "framework/base/file_names.h"

#include <cctype>
#include <filesystem>
#include <system_error>

namespace {

// Offset of the last component's extension dot, or npos.
std::size_t ExtensionDot(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t start = slash == std::string_view::npos ? 0 : slash + 1;
  const std::size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || dot <= start) return std::string_view::npos;
  return dot;
}

}  // namespace

std::string FileNameNoExt(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t start = slash == std::string_view::npos ? 0 : slash + 1;
  const std::size_t dot = ExtensionDot(path);
  return std::string(path.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
}

std::string SanitizeFileName(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (std::string_view("?\\/:*\"<>|").find(c) != std::string_view::npos) c = '_';
  return out;
}

std::string FileExtLower(std::string_view path) {
  const std::size_t dot = ExtensionDot(path);
  if (dot == std::string_view::npos) return {};
  std::string ext(path.substr(dot));
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

std::string ChangeFileExt(std::string_view path, std::string_view ext) {
  const std::size_t dot = ExtensionDot(path);
  std::string out(path.substr(0, dot));
  out += ext;
  return out;
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return !path.empty() && std::filesystem::is_regular_file(path, ec);
}
