// KelVvmConstants: the texts the voicemail web service uses for audio formats, call states and
// message types.
#ifndef KELVVMCONSTANTS_H
#define KELVVMCONSTANTS_H

// Audio formats.
constexpr const char* AMR_FORMAT = "AMR";
constexpr const char* WAV_FORMAT = "WAV_8B_8K";
constexpr const char* MP3_8K_FORMAT = "MP3_8K";
constexpr const char* MP3_16K_FORMAT = "MP3_16K";
constexpr const char* MP3_24K_FORMAT = "MP3_24K";

// Call states.
constexpr const char* NEW_MESSAGE = "NEW_MSG";
constexpr const char* ARCHIVED_MESSAGE = "ARC_MSG";
constexpr const char* DELETED_MESSAGE = "DEL_MSG";
constexpr const char* NO_MESSAGE = "NO_MSG";

// Message types.
constexpr const char* VOCAL_MESSAGE = "VOCAL_MSG";
constexpr const char* VIDEO_MESSAGE = "VIDEO_MSG";
constexpr const char* FAX_MESSAGE = "FAX_MSG";

#endif
