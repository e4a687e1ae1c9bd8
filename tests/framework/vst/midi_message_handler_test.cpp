#include "framework/vst/midi_message_handler.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct TRecorder {
  std::vector<TMidiMessageRec> Messages;
  void Take(const TMidiMessageRec& m) { Messages.push_back(m); }
};

struct MidiHandlerTest : ::testing::Test {
  TRecorder Recorder;
  TMidiMessageHandler Handler{TMidiMessageHandler::TOwnerCallback::Bind<&TRecorder::Take>(&Recorder)};

  void Controller(std::uint8_t channel, std::uint8_t number, std::uint8_t value) {
    Handler.HandleBytes(static_cast<std::uint8_t>(0xB0 | channel), number, value);
  }
};

TEST(MidiDecode, NotesProgramChangeAndPitchBend) {
  TMidiMessageRec m = TMidiMessageHandler::DecodeBytes(0x93, 0x40, 0x00);
  EXPECT_EQ(m.Status, kMidiNoteOff) << "note-on with velocity 0 is a note-off";
  EXPECT_EQ(m.Channel, 3);
  EXPECT_EQ(m.Data1, 64);
  EXPECT_EQ(m.Data2, 0);

  m = TMidiMessageHandler::DecodeBytes(0x90, 60, 100);
  EXPECT_EQ(m.Status, kMidiNoteOn);
  EXPECT_EQ(m.Data2, 100);

  m = TMidiMessageHandler::DecodeBytes(0xC5, 0x07, 0x00);
  EXPECT_EQ(m.Status, kMidiProgramChange);
  EXPECT_EQ(m.Channel, 5);
  EXPECT_EQ(m.Data2, 7) << "the program number travels in data2";

  EXPECT_EQ(TMidiMessageHandler::DecodeBytes(0xE0, 0x00, 0x40).Data2, 0);
  EXPECT_EQ(TMidiMessageHandler::DecodeBytes(0xE0, 0x7F, 0x7F).Data2, 8191);
  EXPECT_EQ(TMidiMessageHandler::DecodeBytes(0xE0, 0x00, 0x00).Data2, -8192);
}

TEST(MidiDecode, DataBytesAreSevenBitsAndSystemMessagesCarryNoChannel) {
  // A host that leaves the top bit set must not push values past 127.
  TMidiMessageRec m = TMidiMessageHandler::DecodeBytes(0xB2, 0x87, 0xFF);
  EXPECT_EQ(m.Status, kMidiController);
  EXPECT_EQ(m.Data1, 7);
  EXPECT_EQ(m.Data2, 127);
  EXPECT_EQ(TMidiMessageHandler::DecodeBytes(0xE0, 0xFF, 0xFF).Data2, 8191);

  m = TMidiMessageHandler::DecodeBytes(0xF2, 0x01, 0x02);
  EXPECT_EQ(m.Status, kMidiSongPosition);
  EXPECT_EQ(m.Data2, 2 * 128 + 1);
  EXPECT_EQ(m.Channel, 0);
  m = TMidiMessageHandler::DecodeBytes(0xF8, 0x11, 0x22);
  EXPECT_EQ(m.Status, kMidiClock);
  EXPECT_EQ(m.Data1, 0);
  m = TMidiMessageHandler::DecodeBytes(0xD4, 0x33, 0x00);
  EXPECT_EQ(m.Status, kMidiChannelPressure);
  EXPECT_EQ(m.Data1, 0);
}

TEST_F(MidiHandlerTest, RpnSequenceAssemblesOneFourteenBitValue) {
  Controller(9, 101, 0);
  Controller(9, 100, 12);
  Controller(9, 6, 64);
  ASSERT_TRUE(Recorder.Messages.empty()) << "the first three controllers are consumed";
  Controller(9, 38, 1);
  ASSERT_EQ(Recorder.Messages.size(), 1u);
  const TMidiMessageRec& m = Recorder.Messages[0];
  EXPECT_EQ(m.Status, kMidiRpnValue);
  EXPECT_EQ(m.Data1, 12);
  EXPECT_EQ(m.Data2, 64 * 128 + 1);

  // Every value needs its number again: a lone data entry is dropped.
  Controller(9, 6, 10);
  Controller(9, 38, 0);
  ASSERT_EQ(Recorder.Messages.size(), 2u);
  EXPECT_EQ(Recorder.Messages[1].Status, kMidiController);
  EXPECT_EQ(Recorder.Messages[1].Data1, 38) << "the LSB alone passes as a plain controller";
}

TEST_F(MidiHandlerTest, NrpnNumbersUseTheirOwnStatus) {
  Controller(0, 99, 1);
  Controller(0, 98, 2);
  Controller(0, 6, 3);
  Controller(0, 38, 4);
  ASSERT_EQ(Recorder.Messages.size(), 1u);
  EXPECT_EQ(Recorder.Messages[0].Status, kMidiNrpnValue);
  EXPECT_EQ(Recorder.Messages[0].Data1, 1 * 128 + 2);
  EXPECT_EQ(Recorder.Messages[0].Data2, 3 * 128 + 4);
}

TEST_F(MidiHandlerTest, AnInterruptedSequenceIsAbandonedAndTheInterruptionPasses) {
  Controller(0, 101, 0);
  Handler.HandleBytes(0x90, 60, 100);  // a note instead of controller 100
  ASSERT_EQ(Recorder.Messages.size(), 1u);
  EXPECT_EQ(Recorder.Messages[0].Status, kMidiNoteOn);
  Controller(0, 6, 5);  // no number assembled: dropped
  EXPECT_EQ(Recorder.Messages.size(), 1u);

  // Another controller between number and data entry ends the readiness.
  Controller(0, 101, 0);
  Controller(0, 100, 1);
  Controller(0, 7, 100);
  Controller(0, 6, 5);
  ASSERT_EQ(Recorder.Messages.size(), 2u);
  EXPECT_EQ(Recorder.Messages[1].Data1, 7);
}

TEST_F(MidiHandlerTest, DisabledAssemblyPassesControllersThrough) {
  Handler.SetFlag7(false);
  Controller(0, 101, 0);
  Controller(0, 6, 1);
  ASSERT_EQ(Recorder.Messages.size(), 2u);
  EXPECT_EQ(Recorder.Messages[0].Data1, 101);
  EXPECT_EQ(Recorder.Messages[1].Data1, 6);
}

}  // namespace
