// Files named on the command line (MIDI files, states, banks, editor
// scripts), read whole into memory. Only a regular file is read, and only up
// to the limit of its kind: a directory, a device (/dev/zero) or a FIFO is
// refused at once and never waited on, a longer file before it is read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Limits per kind of file, far above any real one.
inline constexpr std::int64_t kMidiFileMax = std::int64_t{16} << 20;    // a standard MIDI file: 16 MiB
inline constexpr std::int64_t kStateFileMax = std::int64_t{256} << 20;  // a state or bank: 256 MiB (sampler
                                                                        // plug-ins keep samples in theirs)
inline constexpr std::int64_t kScriptFileMax = std::int64_t{1} << 20;   // an editor script: 1 MiB

// kind names what the file should be ("a MIDI file"); error says why it
// could not be read, naming the file.
bool ReadInputFile(const std::string& path, std::int64_t maxBytes, std::string_view kind,
                   std::vector<std::uint8_t>& bytes, std::string& error);
