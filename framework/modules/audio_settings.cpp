#include "framework/modules/audio_settings.h"

constinit TAudioSettingsRec DefaultAudioSettings = MakeAudioSettings(44100, 44);
constinit TAudioSettingsRec ControlAudioSettings = MakeAudioSettings(10000, 44);
constinit TAudioSettingsRec PluginAudioSettings = MakeAudioSettings(44100, 44);
