// Ogg Vorbis encoding with libvorbisenc, written straight to a file.
#include "chiptune.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>
#include <vorbis/vorbisenc.h>

namespace {

constexpr float quality = 0.35f;      // about 100 kbit/s: small, and clean for chip tones
constexpr int streamSerial = 0x4d6f7361;  // fixed, so the same track gives the same bytes
constexpr size_t blockFrames = 1024;

struct Encoder {
    // Zeroed, so the clean-up is safe however far the set-up got.
    vorbis_info info{};
    vorbis_comment comment{};
    vorbis_dsp_state dsp{};
    vorbis_block block{};
    ogg_stream_state stream{};

    Encoder() {
        vorbis_info_init(&info);
        vorbis_comment_init(&comment);
    }
    ~Encoder() {
        ogg_stream_clear(&stream);
        vorbis_block_clear(&block);
        vorbis_dsp_clear(&dsp);
        vorbis_comment_clear(&comment);
        vorbis_info_clear(&info);
    }
};

bool writePage(FILE *file, const ogg_page &page) {
    return fwrite(page.header, 1, size_t(page.header_len), file) == size_t(page.header_len) &&
           fwrite(page.body, 1, size_t(page.body_len), file) == size_t(page.body_len);
}

bool writeHeaders(Encoder &enc, FILE *file) {
    ogg_packet ident, comments, codebooks;
    vorbis_analysis_headerout(&enc.dsp, &enc.comment, &ident, &comments, &codebooks);
    ogg_stream_packetin(&enc.stream, &ident);
    ogg_stream_packetin(&enc.stream, &comments);
    ogg_stream_packetin(&enc.stream, &codebooks);
    // The audio must start on a fresh page for decoders to seek properly.
    ogg_page page;
    while (ogg_stream_flush(&enc.stream, &page))
        if (!writePage(file, page))
            return false;
    return true;
}

// Moves every finished block through the encoder and out as pages.
bool drain(Encoder &enc, FILE *file) {
    ogg_packet packet;
    ogg_page page;
    while (vorbis_analysis_blockout(&enc.dsp, &enc.block) == 1) {
        vorbis_analysis(&enc.block, nullptr);
        vorbis_bitrate_addblock(&enc.block);
        while (vorbis_bitrate_flushpacket(&enc.dsp, &packet)) {
            ogg_stream_packetin(&enc.stream, &packet);
            while (ogg_stream_pageout(&enc.stream, &page))
                if (!writePage(file, page))
                    return false;
        }
    }
    return true;
}

bool encode(FILE *file, const std::vector<float> &stereo) {
    Encoder enc;
    if (vorbis_encode_init_vbr(&enc.info, 2, sampleRate, quality) != 0)
        return false;
    vorbis_comment_add_tag(&enc.comment, "TITLE", "Mosaic demo chiptune");
    vorbis_analysis_init(&enc.dsp, &enc.info);
    vorbis_block_init(&enc.dsp, &enc.block);
    ogg_stream_init(&enc.stream, streamSerial);
    if (!writeHeaders(enc, file))
        return false;

    size_t frames = stereo.size() / 2;
    for (size_t first = 0; first < frames; first += blockFrames) {
        size_t count = std::min(blockFrames, frames - first);
        float **buffer = vorbis_analysis_buffer(&enc.dsp, int(count));
        for (size_t i = 0; i < count; i++) {
            buffer[0][i] = stereo[2 * (first + i)];
            buffer[1][i] = stereo[2 * (first + i) + 1];
        }
        vorbis_analysis_wrote(&enc.dsp, int(count));
        if (!drain(enc, file))
            return false;
    }
    vorbis_analysis_wrote(&enc.dsp, 0);  // end of stream
    if (!drain(enc, file))
        return false;
    ogg_page page;
    while (ogg_stream_flush(&enc.stream, &page))
        if (!writePage(file, page))
            return false;
    return true;
}

}  // namespace

bool writeOggVorbis(const std::string &path, const std::vector<float> &stereo, std::string &error) {
    FILE *file = std::fopen(path.c_str(), "wb");
    if (!file) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info;
    bool regular = fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode);
    errno = 0;
    bool encoded = encode(file, stereo);
    int failure = errno;
    bool closed = std::fclose(file) == 0;
    if (encoded && closed)
        return true;
    if (encoded)
        failure = errno;
    error = "cannot write " + path + ": " + (failure ? std::strerror(failure) : "encoder failed");
    if (regular)  // a half-written track would pass for a real one; a device stays
        std::remove(path.c_str());
    return false;
}
