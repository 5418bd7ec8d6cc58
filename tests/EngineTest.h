// Engine tests: an engine configured like the command line, and its output read back (the
// packets of each stream and the decoded pictures) through the engine's own input opening.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "Engine/FFmpeg.h"
#include "Engine/MediaFiles.h"
#include "Loader/FFmpegLoader.h"
#include "Loader/MediaPtr.h"
#include "Logger/FFmpegLogger.h"
#include "Platform/MainThread.h"
#include "TestUtils.h"

namespace qm::test {

// What a file holds, read back packet by packet through the engine's own input opening.
struct TStreamFacts {
    AVMediaType Type;
    AVCodecID Codec;
    int Packets = 0;
    int KeyPackets = 0;
    double FirstTime = 1e100; // seconds, earliest presentation time
    double EndTime = -1e100;  // seconds, latest presentation time plus duration
};

inline std::vector<TStreamFacts> ReadFacts(const std::string& path) {
    TCustomFFmpeg reader;
    reader.ResetEngine();
    EXPECT_TRUE(reader.OpenInputFile(path)) << reader.LastError();
    std::vector<TStreamFacts> facts;
    if (reader.InputFileCount() == 0)
        return facts;
    AVFormatContext* ic = reader.InputFiles[0]->Input.Get();
    for (unsigned i = 0; i < ic->nb_streams; ++i)
        facts.push_back({ic->streams[i]->codecpar->codec_type, ic->streams[i]->codecpar->codec_id});
    TPacketPtr packet(ff::av_packet_alloc());
    while (ff::av_read_frame(ic, packet.get()) >= 0) {
        auto& f = facts[size_t(packet->stream_index)];
        const double tb = av_q2d(ic->streams[packet->stream_index]->time_base);
        ++f.Packets;
        f.KeyPackets += (packet->flags & AV_PKT_FLAG_KEY) != 0;
        const int64_t at = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        if (at != AV_NOPTS_VALUE) {
            f.FirstTime = std::min(f.FirstTime, at * tb);
            f.EndTime = std::max(f.EndTime, (at + packet->duration) * tb);
        }
        ff::av_packet_unref(packet.get());
    }
    return facts;
}

inline const TStreamFacts* FindType(const std::vector<TStreamFacts>& facts, AVMediaType type) {
    for (const auto& f : facts)
        if (f.Type == type)
            return &f;
    return nullptr;
}

// The packets of the file's video stream; -1 without one.
inline int VideoPacketCount(const std::string& path) {
    const auto facts = ReadFacts(path);
    const TStreamFacts* video = FindType(facts, AVMEDIA_TYPE_VIDEO);
    return video ? video->Packets : -1;
}
// The luma and chroma of a decoded picture, in 4:2:0.
struct TDecodedPicture {
    int Width = 0, Height = 0;
    std::vector<uint8_t> Y, U, V;
    int LumaAt(int x, int y) const { return Y[size_t(y) * Width + x]; }
    int UAt(int x, int y) const { return U[size_t(y / 2) * (Width / 2) + x / 2]; }
    int VAt(int x, int y) const { return V[size_t(y / 2) * (Width / 2) + x / 2]; }
};

// The first AMaxCount pictures of the file's video stream, in presentation order.
inline std::vector<TDecodedPicture> DecodePictures(const std::string& path, size_t AMaxCount = SIZE_MAX) {
    std::vector<TDecodedPicture> pictures;
    TCustomFFmpeg reader;
    reader.ResetEngine();
    EXPECT_TRUE(reader.OpenInputFile(path)) << reader.LastError();
    if (reader.InputFileCount() == 0)
        return pictures;
    AVFormatContext* ic = reader.InputFiles[0]->Input.Get();
    int index = -1;
    for (unsigned i = 0; i < ic->nb_streams; ++i)
        if (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            index = int(i);
    EXPECT_GE(index, 0);
    if (index < 0)
        return pictures;
    AVCodecContext* dec = reader.InputFiles[0]->Decoders[size_t(index)].get();
    EXPECT_EQ(ff::avcodec_open2(dec, ff::avcodec_find_decoder(dec->codec_id), nullptr), 0);
    TPacketPtr packet(ff::av_packet_alloc());
    TFramePtr frame(ff::av_frame_alloc());
    auto take = [&] {
        while (pictures.size() < AMaxCount && ff::avcodec_receive_frame(dec, frame.get()) >= 0) {
            EXPECT_EQ(frame->format, AV_PIX_FMT_YUV420P);
            TDecodedPicture& picture = pictures.emplace_back();
            picture.Width = frame->width;
            picture.Height = frame->height;
            for (int y = 0; y < frame->height; ++y)
                picture.Y.insert(picture.Y.end(), frame->data[0] + y * frame->linesize[0],
                                 frame->data[0] + y * frame->linesize[0] + frame->width);
            for (int y = 0; y < frame->height / 2; ++y) {
                picture.U.insert(picture.U.end(), frame->data[1] + y * frame->linesize[1],
                                 frame->data[1] + y * frame->linesize[1] + frame->width / 2);
                picture.V.insert(picture.V.end(), frame->data[2] + y * frame->linesize[2],
                                 frame->data[2] + y * frame->linesize[2] + frame->width / 2);
            }
            ff::av_frame_unref(frame.get());
        }
    };
    while (pictures.size() < AMaxCount && ff::av_read_frame(ic, packet.get()) >= 0) {
        if (packet->stream_index == index && ff::avcodec_send_packet(dec, packet.get()) >= 0)
            take();
        ff::av_packet_unref(packet.get());
    }
    ff::avcodec_send_packet(dec, nullptr);
    take();
    ff::avcodec_close(dec);
    return pictures;
}

inline TDecodedPicture FirstPicture(const std::string& path) {
    auto pictures = DecodePictures(path, 1);
    EXPECT_EQ(pictures.size(), 1u);
    return pictures.empty() ? TDecodedPicture{} : pictures.front();
}

// An engine that a test configures like the command line and runs on its own thread.
class TEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        TMainThread::Install();
        ASSERT_TRUE(GlobalLoader.LoadLibraries(ConverterLibraries)) << GlobalLoader.LastErrMsg();
        Engine = std::make_unique<TCustomFFmpeg>();
        Engine->ResetEngine();
        Terminations = 0;
        Engine->TerminateNotify = [this](TCustomFFmpeg*) {
            ++Terminations;
            TMainThread::Wake();
        };
    }
    // Applies "-name value" pairs, inputs ("-i") and outputs (bare) left to right.
    void Configure(const std::vector<std::string>& args) {
        for (size_t i = 0; i < args.size(); ++i) {
            if (args[i] == "-i") {
                ASSERT_TRUE(Engine->OpenInputFile(args[++i])) << Engine->LastError();
            } else if (args[i][0] == '-') {
                Engine->SetOption(args[i].substr(1), args[i + 1]);
                ++i;
            } else {
                ASSERT_GT(Engine->OpenOutputFile(args[i]), 0) << Engine->LastError();
            }
        }
    }
    // A report after every packet, counted, waking a waiting test.
    void CountReports(std::atomic<int>& AReports) {
        Engine->ProgressIntervalUs = 0;
        Engine->ProgressNotify = [&AReports](TCustomFFmpeg*, int32_t, int32_t, int32_t, float,
                                             float, int64_t, int32_t) {
            ++AReports;
            TMainThread::Wake();
        };
    }
    // Runs AArgs with a status line logged after every packet (no progress slot); the lines.
    std::vector<std::string> RunForStatusLines(const std::vector<std::string>& AArgs) {
        std::vector<std::string> lines;
        GetLogger().SetOnLog([&](const void*, uint32_t, TLogLevel, const std::string& line) {
            if (line.rfind("frame=", 0) == 0)
                lines.push_back(line);
        });
        Configure(AArgs);
        Engine->ProgressIntervalUs = 0;
        const std::string message = Run();
        GetLogger().SetOnLog(nullptr);
        EXPECT_EQ(message, "");
        return lines;
    }
    // Runs on the caller's thread; the message of a failed run, or "".
    std::string Run() {
        Engine->StartConvert(false);
        EXPECT_EQ(Terminations, 1);
        return Engine->ExceptionRaised() ? Engine->ExceptionMessage() : "";
    }

    std::unique_ptr<TCustomFFmpeg> Engine;
    std::atomic<int> Terminations{0};
    TTempDir Dir;
};

} // namespace qm::test
