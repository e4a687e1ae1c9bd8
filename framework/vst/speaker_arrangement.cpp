// Speaker arrangements and the host-text requests of the extension half.
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "framework/vst/audio_effect_x.h"

namespace {
constexpr std::size_t kHeaderBytes = offsetof(TVstSpeakerArrangement, speakers);
static_assert(kHeaderBytes == 8 && sizeof(TVstSpeakerProperties) == 112);

std::size_t ArrangementBytes(std::int32_t channels) {
  return kHeaderBytes + sizeof(TVstSpeakerProperties) * static_cast<std::size_t>(channels);
}
}  // namespace

TVstSpeakerProperties* AudioEffectX::SpeakerAt(TVstSpeakerArrangement* arrangement, std::int32_t i) {
  // The record is declared with eight speakers but carries numChannels of
  // them: address them from the first, not through the declared array.
  auto* first = reinterpret_cast<TVstSpeakerProperties*>(reinterpret_cast<char*>(arrangement) + kHeaderBytes);
  return first + i;
}

const TVstSpeakerProperties* AudioEffectX::SpeakerAt(const TVstSpeakerArrangement* arrangement, std::int32_t i) {
  const auto* first =
      reinterpret_cast<const TVstSpeakerProperties*>(reinterpret_cast<const char*>(arrangement) + kHeaderBytes);
  return first + i;
}

bool AudioEffectX::AllocateArrangement(TVstSpeakerArrangement** arrangement, std::int32_t channels) {
  if (arrangement == nullptr) return false;
  DeallocateArrangement(arrangement);
  if (channels < 0 || channels > kMaxArrangementChannels) return false;
  void* memory = std::calloc(1, ArrangementBytes(channels));
  if (memory == nullptr) return false;
  auto* result = static_cast<TVstSpeakerArrangement*>(memory);
  result->numChannels = channels;
  *arrangement = result;
  return true;
}

bool AudioEffectX::DeallocateArrangement(TVstSpeakerArrangement** arrangement) {
  if (arrangement == nullptr || *arrangement == nullptr) return false;
  std::free(*arrangement);
  *arrangement = nullptr;
  return true;
}

bool AudioEffectX::CopySpeaker(TVstSpeakerProperties* to, const TVstSpeakerProperties* from) {
  if (to == nullptr || from == nullptr) return false;
  std::memmove(to, from, sizeof(TVstSpeakerProperties));
  to->name[sizeof(to->name) - 1] = '\0';
  return true;
}

bool AudioEffectX::MatchArrangement(TVstSpeakerArrangement** to, const TVstSpeakerArrangement* from) {
  if (to == nullptr || from == nullptr) return false;
  if (!AllocateArrangement(to, from->numChannels)) return false;
  (*to)->type = from->type;
  for (std::int32_t i = 0; i < from->numChannels; ++i) CopySpeaker(SpeakerAt(*to, i), SpeakerAt(from, i));
  return true;
}

bool AudioEffectX::AskHostText(std::int32_t opcode, std::string& text) {
  char buffer[kHostTextCapacity] = {};
  const bool answered = CallHost(opcode, 0, 0, buffer) != 0;
  // A host that fills the whole buffer gets its last byte cut.
  text.assign(ReadHostText(buffer, kHostTextCapacity - 1));
  return answered;
}
