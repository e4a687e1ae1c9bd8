#include "framework/vst/midi_message_handler.h"

void TMidiMessageHandler::HandleBytes(std::uint8_t status, std::uint8_t data1, std::uint8_t data2) {
  HandleMessage(DecodeBytes(status, data1, data2));
}

TMidiMessageRec TMidiMessageHandler::DecodeBytes(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) {
  // A host may leave the top bit of a data byte set; MIDI data is 7 bits.
  b1 &= 0x7F;
  b2 &= 0x7F;
  TMidiMessageRec m;
  if (b0 == kMidiSongPosition) {
    m.Status = kMidiSongPosition;
    m.Data2 = b2 * 128 + b1;
    return m;
  }
  if (b0 >= kMidiClock && b0 <= kMidiStop) {
    m.Status = b0;
    return m;
  }
  m.Status = b0 & 0xF0;
  m.Channel = b0 & 0x0F;
  switch (m.Status) {
    case kMidiNoteOff:
    case kMidiNoteOn:
      m.Data1 = b1;
      m.Data2 = b2;
      if (m.Status == kMidiNoteOn && m.Data2 == 0) m.Status = kMidiNoteOff;
      break;
    case kMidiPolyPressure:
    case kMidiController:
      m.Data1 = b1;
      m.Data2 = b2;
      break;
    case kMidiProgramChange:
      // The program number travels in data2.
      m.Data1 = b2;
      m.Data2 = b1;
      break;
    case kMidiPitchBend:
      m.Data2 = (b2 * 128 + b1) - 8192;  // -8192..8191, centre 0
      break;
    default:
      break;  // channel pressure and everything else: no data
  }
  return m;
}

void TMidiMessageHandler::HandleMessage(TMidiMessageRec m) {
  if (AwaitingSecond) {
    DataEntryReady = false;
    AwaitingSecond = false;
    if (m.Status == kMidiController && m.Data1 == Expected) {
      switch (Expected) {
        case kRpnLsb:
        case kNrpnLsb:
          // The number is assembled; a data-entry pair may follow.
          Assembled = Saved;
          Assembled.Status = Expected == kRpnLsb ? kMidiRpnValue : kMidiNrpnValue;
          Assembled.Data1 = m.Data2 + 128 * Saved.Data2;
          DataEntryReady = true;
          return;
        case kDataEntryLsb:
          Assembled.Data2 = m.Data2 + 128 * Saved.Data2;
          Pass(Assembled);
          return;
        default:
          break;
      }
    }
    // Anything else abandons the sequence and is handled as it is.
    Pass(m);
    return;
  }
  if (m.Status == kMidiController && Enabled) {
    switch (m.Data1) {
      case kRpnMsb:
      case kNrpnMsb:
        Saved = m;
        Expected = m.Data1 == kRpnMsb ? kRpnLsb : kNrpnLsb;
        AwaitingSecond = true;
        DataEntryReady = false;
        return;
      case kDataEntryMsb:
        if (DataEntryReady) {
          DataEntryReady = false;
          Saved = m;
          Expected = kDataEntryLsb;
          AwaitingSecond = true;
        }
        // Data entry without an assembled number is dropped.
        return;
      default:
        DataEntryReady = false;
        Pass(m);
        return;
    }
  }
  DataEntryReady = false;
  Pass(m);
}
