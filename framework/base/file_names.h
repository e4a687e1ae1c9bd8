// File-name helpers the framework shares (bank import, sub-preset files).
// Paths are POSIX paths: '/' separates folders; an extension is the part of
// the last component from its last '.' on (a leading dot alone, as in
// ".hidden", is no extension).
#pragma once

#include <string>
#include <string_view>

// The file name without folder and extension ("" for an empty path).
std::string FileNameNoExt(std::string_view path);
// Each of ? \ / : * " < > | replaced by "_", so that a proposed name is one
// file name on any file system.
std::string SanitizeFileName(std::string_view text);
// The extension with its dot, in lower case ("" when there is none).
std::string FileExtLower(std::string_view path);
// The path with its extension replaced by ext (which carries its dot), or ext
// appended when the file name has none.
std::string ChangeFileExt(std::string_view path, std::string_view ext);
// True for an existing regular file (or a link to one); never throws.
bool FileExists(const std::string& path);
