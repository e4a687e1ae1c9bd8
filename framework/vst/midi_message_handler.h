// MIDI decoding: three MIDI bytes become one message record, and the four
// controllers of an RPN or NRPN data-entry sequence (number MSB, number LSB,
// data MSB 6, data LSB 38) become one 14-bit parameter-value message.
//
// Runs on the audio thread, inside the render loop, under the instance lock.
// The sequence state survives across host blocks.
#pragma once

#include <cstdint>

#include "framework/base/method.h"

// Message statuses (the channel nibble removed) and the plug-in's own
// statuses for assembled sequences.
enum : std::int32_t {
  kMidiNoteOff = 128,
  kMidiNoteOn = 144,
  kMidiPolyPressure = 160,
  kMidiController = 176,
  kMidiProgramChange = 192,
  kMidiChannelPressure = 208,
  kMidiPitchBend = 224,
  kMidiSongPosition = 242,
  kMidiClock = 248,
  kMidiTick = 249,
  kMidiStart = 250,
  kMidiContinue = 251,
  kMidiStop = 252,
  kMidiRpnValue = 20,                 // data1 RPN number 0..16383, data2 value 0..16383
  kMidiNrpnValue = 21,                // the same for an NRPN number
  kMidiParameterChangedRequest = 22,  // data1 a parameter index
};

// The handler's decoded message.
struct TMidiMessageRec {
  std::int32_t Status = 0;
  std::int32_t Reserved = 0;
  std::int32_t Data1 = 0;
  std::int32_t Data2 = 0;
  std::int32_t Extra = 0;
  std::int32_t Channel = 0;  // 0..15
};

// What the plug-in layers receive.
struct TMidiEventRec {
  std::int16_t Status = 0;
  std::int16_t Data1 = 0;
  std::int16_t Data2 = 0;
  std::int16_t Channel = 0;
};

class TMidiMessageHandler {
 public:
  using TOwnerCallback = TMethod<void(const TMidiMessageRec&)>;

  // The controller numbers of the data-entry sequences.
  static constexpr std::uint8_t kRpnMsb = 101, kRpnLsb = 100, kNrpnMsb = 99, kNrpnLsb = 98;
  static constexpr std::uint8_t kDataEntryMsb = 6, kDataEntryLsb = 38;

  explicit TMidiMessageHandler(TOwnerCallback owner) : Owner(owner) {}

  // Decodes the bytes and handles the message. Data bytes are taken as 7-bit
  // values whatever the host put in their top bit.
  void HandleBytes(std::uint8_t status, std::uint8_t data1, std::uint8_t data2);
  static TMidiMessageRec DecodeBytes(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2);
  // Assembles RPN/NRPN sequences; every message not consumed goes to the owner.
  void HandleMessage(TMidiMessageRec m);
  // Enables or disables sequence assembly (on at construction).
  void SetFlag7(bool enabled) { Enabled = enabled; }
  // Forgets a half-assembled sequence.
  void ResetSequence() {
    DataEntryReady = false;
    AwaitingSecond = false;
  }

 private:
  void Pass(const TMidiMessageRec& m) {
    if (Owner) Owner(m);
  }

  bool DataEntryReady = false;
  bool AwaitingSecond = false;
  std::uint8_t Expected = 0;
  bool Enabled = true;
  TOwnerCallback Owner;
  TMidiMessageRec Assembled;
  TMidiMessageRec Saved;
};
