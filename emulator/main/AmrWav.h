// AmrWav: an AMR-NB file (RFC 4867 storage format) decoded to a WAV file a browser plays.
#ifndef EMULATOR_AMRWAV_H
#define EMULATOR_AMRWAV_H

#include <string>

namespace emulator
{

// 16-bit mono PCM at 8 kHz, 160 samples per frame, decoded by opencore-amrnb. False, with the
// reason in `error`, when `amr` lacks the magic or ends inside a frame.
bool amrToWav(const std::string& amr, std::string& wav, std::string& error);

} // namespace emulator

#endif
