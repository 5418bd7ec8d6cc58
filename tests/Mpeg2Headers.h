// The flags of an MPEG-2 video stream as its sequence and picture headers give them: read from
// the packets of a file (demuxed through the engine's own input opening), not decoded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Engine/FFmpeg.h"
#include "Engine/MediaFiles.h"
#include "Loader/MediaPtr.h"

namespace qm::test {

struct TMpeg2Picture {
    int CodingType = 0; // 1 I, 2 P, 3 B
    int Structure = 3;  // 3 frame picture
    bool TopFieldFirst = false;
    bool FramePredFrameDct = false;
    bool AlternateScan = false;
    bool RepeatFirstField = false;
    bool ProgressiveFrame = false;
};

struct TMpeg2Stream {
    int FrameRateCode = 0;           // of the first sequence header
    int ProgressiveSequence = -1;    // of the first sequence extension; -1 without one
    std::vector<TMpeg2Picture> Pictures; // in coding order
};

// Reads bits from a start code's payload.
class TBitReader {
public:
    TBitReader(const uint8_t* AData, size_t ASize) : FData(AData), FSize(ASize) {}
    unsigned Read(int ACount) {
        unsigned v = 0;
        for (int i = 0; i < ACount; ++i, ++FPos)
            v = (v << 1) | (FPos / 8 < FSize ? (FData[FPos / 8] >> (7 - FPos % 8)) & 1 : 0);
        return v;
    }

private:
    const uint8_t* FData;
    size_t FSize;
    size_t FPos = 0;
};

inline void ReadMpeg2Units(const uint8_t* AData, size_t ASize, TMpeg2Stream& AStream) {
    for (size_t i = 0; i + 4 < ASize; ++i) {
        if (AData[i] != 0 || AData[i + 1] != 0 || AData[i + 2] != 1)
            continue;
        const uint8_t code = AData[i + 3];
        TBitReader bits(AData + i + 4, ASize - i - 4);
        if (code == 0xB3 && AStream.FrameRateCode == 0) { // sequence header
            bits.Read(12 + 12 + 4);
            AStream.FrameRateCode = static_cast<int>(bits.Read(4));
        } else if (code == 0x00) { // picture header
            bits.Read(10);
            AStream.Pictures.push_back({});
            AStream.Pictures.back().CodingType = static_cast<int>(bits.Read(3));
        } else if (code == 0xB5) { // extension
            const unsigned id = bits.Read(4);
            if (id == 1 && AStream.ProgressiveSequence < 0) {
                bits.Read(8);
                AStream.ProgressiveSequence = static_cast<int>(bits.Read(1));
            } else if (id == 8 && !AStream.Pictures.empty()) {
                TMpeg2Picture& p = AStream.Pictures.back();
                bits.Read(16 + 2); // f_codes, intra DC precision
                p.Structure = static_cast<int>(bits.Read(2));
                p.TopFieldFirst = bits.Read(1);
                p.FramePredFrameDct = bits.Read(1);
                bits.Read(3); // concealment vectors, q_scale_type, intra VLC format
                p.AlternateScan = bits.Read(1);
                p.RepeatFirstField = bits.Read(1);
                bits.Read(1); // chroma 4:2:0 type
                p.ProgressiveFrame = bits.Read(1);
            }
        }
        i += 3;
    }
}

// The headers of the first video stream of APath.
inline TMpeg2Stream ReadMpeg2Headers(const std::string& APath) {
    TMpeg2Stream stream;
    TCustomFFmpeg reader;
    reader.ResetEngine();
    if (!reader.OpenInputFile(APath) || reader.InputFileCount() == 0)
        return stream;
    AVFormatContext* ic = reader.InputFiles[0]->Input.Get();
    TPacketPtr packet(ff::av_packet_alloc());
    while (ff::av_read_frame(ic, packet.get()) >= 0) {
        if (ic->streams[packet->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            ReadMpeg2Units(packet->data, static_cast<size_t>(packet->size), stream);
        ff::av_packet_unref(packet.get());
    }
    return stream;
}

} // namespace qm::test
