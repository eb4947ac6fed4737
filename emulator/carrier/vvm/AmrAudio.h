// AmrAudio: voice-message audio in the AMR-NB storage format (RFC 4867 section 5).
#ifndef EMU_AMRAUDIO_H
#define EMU_AMRAUDIO_H

#include <string>

namespace emu::vvm
{

// A file of `seconds` of 12.2 kbit/s frames (one 20 ms frame each): the "#!AMR\n" magic, then
// frames of a header byte and 31 bytes of speech bits. At least one frame.
std::string makeAmrAudio(long long seconds);

// True when `data` is the magic followed by whole, well-formed frames.
bool isAmrAudio(const std::string& data);

} // namespace emu::vvm

#endif
