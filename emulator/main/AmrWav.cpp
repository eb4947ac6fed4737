// AmrWav: an AMR-NB file (RFC 4867 storage format) decoded to a WAV file a browser plays.
#include "AmrWav.h"

#include <opencore-amrnb/interf_dec.h>

#include <cstdint>
#include <memory>

namespace emulator
{

namespace
{
const char kMagic[] = "#!AMR\n";
const size_t kMagicSize = sizeof(kMagic) - 1;
// Bytes after the header byte, by frame type (the decoder's own table; 15 is "no data").
const int kFrameBytes[16] = {12, 13, 15, 17, 19, 20, 26, 31, 5, 6, 5, 5, 0, 0, 0, 0};
const int kSamplesPerFrame = 160;
const uint32_t kSampleRate = 8000;

void putLe(std::string& out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; i++)
        out += char((value >> (8 * i)) & 0xff);
}
} // namespace

bool amrToWav(const std::string& amr, std::string& wav, std::string& error)
{
    if (amr.compare(0, kMagicSize, kMagic) != 0) {
        error = "not an AMR-NB file";
        return false;
    }
    std::unique_ptr<void, void (*)(void*)> decoder(Decoder_Interface_init(),
                                                   Decoder_Interface_exit);
    std::string pcm;
    short samples[kSamplesPerFrame];
    const auto* data = reinterpret_cast<const unsigned char*>(amr.data());
    for (size_t pos = kMagicSize; pos < amr.size();) {
        size_t size = 1 + size_t(kFrameBytes[(data[pos] >> 3) & 15]);
        if (pos + size > amr.size()) {
            error = "the AMR file ends inside a frame";
            return false;
        }
        Decoder_Interface_Decode(decoder.get(), data + pos, samples, 0);
        for (short sample : samples)
            putLe(pcm, uint16_t(sample), 2);
        pos += size;
    }
    wav.clear();
    wav.reserve(44 + pcm.size());
    wav += "RIFF";
    putLe(wav, uint32_t(36 + pcm.size()), 4);
    wav += "WAVEfmt ";
    putLe(wav, 16, 4);              // the format chunk's size
    putLe(wav, 1, 2);               // PCM
    putLe(wav, 1, 2);               // mono
    putLe(wav, kSampleRate, 4);     // samples per second
    putLe(wav, kSampleRate * 2, 4); // bytes per second
    putLe(wav, 2, 2);               // bytes per sample frame
    putLe(wav, 16, 2);              // bits per sample
    wav += "data";
    putLe(wav, uint32_t(pcm.size()), 4);
    wav += pcm;
    return true;
}

} // namespace emulator
