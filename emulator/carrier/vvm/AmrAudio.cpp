// AmrAudio: voice-message audio in the AMR-NB storage format (RFC 4867 section 5).
#include "AmrAudio.h"

#include <algorithm>
#include <cstdint>

namespace emu::vvm
{

namespace
{
const char kMagic[] = "#!AMR\n";
const size_t kMagicSize = sizeof(kMagic) - 1;
// Speech bytes after the header byte, by frame type 0 to 15 (types 12 to 14 are reserved).
const int kFrameBytes[16] = {12, 13, 15, 17, 19, 20, 26, 31, 5, 0, 0, 0, -1, -1, -1, 0};
// Frame type 7 (12.2 kbit/s) with the quality bit set: 0 FT(4) Q 0 0.
const unsigned char kHeader122 = (7 << 3) | (1 << 2);
// Long enough for any message the emulator is asked for, short enough to keep in memory.
const long long kMaxSeconds = 3600;
} // namespace

std::string makeAmrAudio(long long seconds)
{
    long long frames = std::clamp(seconds, 0LL, kMaxSeconds) * 50;
    frames = std::max(frames, 1LL);
    std::string data(kMagic, kMagicSize);
    data.reserve(kMagicSize + size_t(frames) * 32);
    uint32_t noise = 0x2545f491;
    for (long long i = 0; i < frames; i++) {
        data += char(kHeader122);
        for (int b = 0; b < kFrameBytes[7]; b++) {
            noise ^= noise << 13;
            noise ^= noise >> 17;
            noise ^= noise << 5;
            data += char(noise & 0xff);
        }
    }
    return data;
}

bool isAmrAudio(const std::string& data)
{
    if (data.compare(0, kMagicSize, kMagic) != 0)
        return false;
    size_t pos = kMagicSize;
    while (pos < data.size()) {
        unsigned char header = static_cast<unsigned char>(data[pos]);
        if (header & 0x83)
            return false; // padding bits must be zero
        int bytes = kFrameBytes[(header >> 3) & 15];
        if (bytes < 0 || pos + 1 + size_t(bytes) > data.size())
            return false;
        pos += 1 + size_t(bytes);
    }
    return pos > kMagicSize;
}

} // namespace emu::vvm
