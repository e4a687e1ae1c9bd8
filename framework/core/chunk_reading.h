// Small pieces every reader of the plug-in's stored records shares: magics,
// the clamp of loaded values and value arrays read in one piece.
//
// The readers never trust a stored count: each one is checked against the
// bytes that remain before anything is allocated or read, and a record that
// fails leaves the stream where the record began.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "framework/base/streams.h"

// Outcome of reading a record that may be absent.
enum class TReadResult {
  Absent,   // the magic is not there: the stream is where it was
  Read,     // the whole record was read
  Damaged,  // the magic is there but the record is not whole or not sound
};

// Writes the magic's characters without a terminator.
std::int64_t WriteMagic(TStream& s, std::string_view magic);
// True, and the stream past the magic, when the next bytes are the magic;
// otherwise (also on a stream that ends first) the stream stays where it was.
bool ReadMagic(TStream& s, std::string_view magic);

// A normalised value as values are taken in (set, or loaded): NaN becomes 0,
// the rest is clamped to 0..1.
float ClampLoadedValue(float v);

// Reads count 32-bit floats (little- or big-endian) as one block, each
// clamped, into values (replaced). A negative count or one beyond the bytes
// that remain gives false with an error and reads nothing.
bool ReadLoadedValues(TStream& s, std::int64_t count, bool bigEndian, std::vector<float>& values, std::string& error);
// Writes the values as 32-bit floats in the given byte order.
std::int64_t WriteValues(TStream& s, const std::vector<float>& values, bool bigEndian);

// True when a count of records, each at least minRecordBytes long, can still
// fit into the bytes that remain.
bool CountFits(TStream& s, std::int64_t count, std::int64_t minRecordBytes);
