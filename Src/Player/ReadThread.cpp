// Playback start and end, the read thread, stream opening and closing, seek and pause.
#include <cstring>
#include <new>

#include "Engine/EngineUtils.h"
#include "Loader/FFmpegLoader.h"
#include "Logger/FFmpegLogger.h"
#include "Platform/MainThread.h"
#include "Player/PlayerEngine.h"

namespace qm {

namespace {

// The read thread pauses while a queue holds more than this many bytes.
constexpr int32_t MaxAudioQueueBytes = 0x50000;
constexpr int32_t MaxVideoQueueBytes = 0x140000;

int InterruptCallback(void* AData) {
    return static_cast<const TPlayback*>(AData)->AbortRequest ? 1 : 0;
}

void FreeDecoder(TCodecContextPtr& ADecoder) {
    std::lock_guard lock(CodecLock());
    ADecoder.reset();
}

// The seek the playback asks for. To a picture: the key frame at or before the target, from
// which the video thread decodes up to it (any later one as the last resort).
int SeekInput(TPlayback& APlayback) {
    AVFormatContext* ctx = APlayback.FormatContext;
    const int64_t target = APlayback.SeekTarget;
    if (APlayback.ExactSeek) {
        const int sought = ff::avformat_seek_file(ctx, -1, INT64_MIN, target, target, 0);
        if (sought >= 0)
            return sought;
    }
    return ff::avformat_seek_file(ctx, -1, INT64_MIN, target, INT64_MAX, APlayback.SeekFlags);
}

// A decoded picture from before a seek leaves the queue at once: the video thread may be
// waiting to queue the next one, and must go on to the seek's flush marker. The picture on
// screen is from before the seek too: no time of a picture is known until the next one.
void DropQueuedPicture(TPlayback& APlayback) {
    if (!APlayback.PictureMutex)
        return;
    TSdlLock lock(APlayback.PictureMutex.get());
    APlayback.PictureQueueSize = 0;
    APlayback.ShownPictureTime = AV_NOPTS_VALUE;
    ff::SDL_CondSignal(APlayback.PictureCond.get());
}

} // namespace

bool TCustomPlayer::StartPlayback(const std::string& AFileName) {
    std::shared_ptr<TPlayback> playback;
    try {
        playback = std::make_shared<TPlayback>();
    } catch (const std::bad_alloc&) {
        ReportError("av_mallocz() failed.", true);
        return false;
    }
    playback->Owner = this;
    playback->FileName = AFileName;
    playback->PictureMutex.reset(ff::SDL_CreateMutex());
    playback->PictureCond.reset(ff::SDL_CreateCond());
    if (!playback->PictureMutex || !playback->PictureCond) {
        ReportError("av_mallocz() failed.", true);
        return false;
    }
    TPlayerEngine::ScheduleRefresh(*playback, 40);

    playback->ReadThread = ff::SDL_CreateThread(&TPlayerEngine::ReadThread, "qm-read",
                                                playback.get());
    if (!playback->ReadThread) {
        ReportError("SDL_CreateThread() failed.", true);
        return false;
    }
    TMainThread::WaitFor([&] { return playback->ReadStatus != rsStarting; });
    if (playback->ReadStatus == rsRunning) {
        std::lock_guard lock(FPlaybackLock);
        FPlayback = std::move(playback);
        return true;
    }
    TMainThread::WaitFor([&] { return playback->ReadStatus != rsFailed; });
    ff::SDL_WaitThread(playback->ReadThread, nullptr);
    ResetPlaybackState();
    return false;
}

void TCustomPlayer::EndPlayback() {
    std::shared_ptr<TPlayback> playback;
    {
        // From here on the main thread's operations find no playback.
        std::lock_guard lock(FPlaybackLock);
        playback = std::move(FPlayback);
    }
    if (playback) {
        // The probe belongs to the main thread, and the context closes below.
        TMainThread::Synchronize([this] {
            try {
                FProbe->AttachContext(nullptr);
            } catch (const std::exception&) {
            }
        });
        playback->AbortRequest = true;
        TMainThread::Wake();
        ff::SDL_WaitThread(playback->ReadThread, nullptr);
        playback->ReadThread = nullptr;
        if (playback->Picture.Texture) {
            ff::SDL_DestroyTexture(playback->Picture.Texture);
            playback->Picture.Texture = nullptr;
        }
        playback->ScaleContext.reset();
        ResetPlaybackState();
    }
    CloseDisplay();
    TPlayerEngine::QuitSdl();
}

bool TPlayerEngine::RequestSeek(TPlayback& APlayback, int64_t ATarget, int32_t AFlags, bool AExact) {
    if (APlayback.SeekRequest)
        return false;
    APlayback.SeekTarget = ATarget;
    APlayback.SeekFlags = AFlags;
    APlayback.ExactSeek = AExact;
    APlayback.SeekRequest = true;
    return true;
}

int TPlayerEngine::ReadThread(void* AData) {
    TPlayback& pb = *static_cast<TPlayback*>(AData);
    TCustomPlayer& player = *pb.Owner;
    const std::string& name = pb.FileName;
    bool failed = true;
    pb.VideoStreamIndex = pb.AudioStreamIndex = -1;

    [&] {
        AVFormatContext* prepared = ff::avformat_alloc_context();
        if (!prepared) {
            player.FLastError = "av_mallocz() failed.";
            return;
        }
        prepared->interrupt_callback = {&InterruptCallback, &pb};
        AVDictionary* options = nullptr;
        if (player.FrameWidth() > 0 && player.FrameHeight() > 0) {
            const std::string size =
                std::to_string(player.FrameWidth()) + "x" + std::to_string(player.FrameHeight());
            ff::av_dict_set(&options, "video_size", size.c_str(), 0);
        }
        const int opened = pb.Input.Open(name, nullptr, &options, prepared);
        ff::av_dict_free(&options);
        if (opened < 0) {
            player.FLastError = OpenErrorMessage(name, opened);
            return;
        }
        AVFormatContext* ctx = pb.FormatContext = pb.Input.Get();
        int found;
        {
            std::lock_guard lock(CodecLock());
            found = ff::avformat_find_stream_info(ctx, nullptr);
        }
        if (found < 0) {
            player.FLastError = Format("%s: could not find codec parameters", name.c_str());
            return;
        }
        if (ctx->pb)
            ctx->pb->eof_reached = 0;
        const char* format = ctx->iformat ? ctx->iformat->name : "";
        pb.IsImageSequence = std::strcmp(format, "image2") == 0;
        pb.IsCaptureDevice = std::strcmp(format, "vfwcap") == 0;

        int32_t video = -1, audio = -1;
        for (unsigned i = 0; i < ctx->nb_streams; ++i) {
            ctx->streams[i]->discard = AVDISCARD_ALL;
            const AVMediaType type = ctx->streams[i]->codecpar->codec_type;
            if (type == AVMEDIA_TYPE_VIDEO && video < 0 && !player.DisableVideo())
                video = static_cast<int32_t>(i);
            else if (type == AVMEDIA_TYPE_AUDIO && audio < 0 && !player.DisableAudio())
                audio = static_cast<int32_t>(i);
        }
        if (audio >= 0)
            OpenStreamComponent(pb, audio);
        if (video >= 0)
            OpenStreamComponent(pb, video);
        if (video < 0 && !player.DisableDisplay())
            pb.ShowWave = true;
        if (pb.VideoStreamIndex < 0 && pb.AudioStreamIndex < 0) {
            player.FLastError = Format("%s: could not open codecs, no stream to play.", name.c_str());
            return;
        }
        failed = false;
    }();

    if (!failed) {
        pb.ReadStatus = rsRunning;
        TMainThread::Wake();
        TMainThread::WaitFor([&] { return pb.ReadGo || pb.AbortRequest; });

        AVFormatContext* ctx = pb.FormatContext;
        TPacketPtr packet(ff::av_packet_alloc());
        bool endOfInput = false;
        bool ioError = false;
        while (!pb.AbortRequest && packet) {
            if (pb.Paused != pb.LastPaused) {
                pb.LastPaused = pb.Paused;
                if (pb.LastPaused)
                    ff::av_read_pause(ctx);
                else
                    ff::av_read_play(ctx);
            }
            if (pb.SeekRequest) {
                const int sought = SeekInput(pb);
                if (sought < 0) {
                    pb.ExactPending = false;
                    player.ReportError(Format("%s: error while seeking", name.c_str()), false);
                } else {
                    pb.SeekedTo = pb.SeekTarget.load();
                    pb.ExactTarget = pb.ExactSeek ? pb.SeekTarget.load() : AV_NOPTS_VALUE;
                    ++pb.SeekCount;
                    DropQueuedPicture(pb);
                    if (pb.AudioStreamIndex >= 0) {
                        pb.AudioQueue.Flush();
                        pb.AudioQueue.PutFlush();
                    }
                    if (pb.VideoStreamIndex >= 0) {
                        pb.VideoQueue.Flush();
                        pb.VideoQueue.PutFlush();
                    }
                }
                pb.EndReported = false;
                pb.InputEnded = false;
                endOfInput = false;
                pb.SeekRequest = false;
                TMainThread::Wake();
            }
            if (pb.AudioQueue.ByteSize() > MaxAudioQueueBytes ||
                pb.VideoQueue.ByteSize() > MaxVideoQueueBytes) {
                ff::SDL_Delay(10);
                continue;
            }
            // The end is what av_read_frame says: the byte stream can reach its end while
            // the demuxer still holds packets.
            if (endOfInput) {
                if (pb.VideoStreamIndex >= 0) {
                    AVPacket empty{};
                    empty.stream_index = pb.VideoStreamIndex;
                    pb.VideoQueue.Put(&empty);
                    ff::av_packet_unref(&empty);
                }
                ff::SDL_Delay(10);
                continue;
            }
            pb.Reading = true;
            const int read = ff::av_read_frame(ctx, packet.get());
            pb.Reading = false;
            if (read < 0) {
                pb.InputEnded = true;
                if (!pb.IsImageSequence && !pb.EndReported) {
                    pb.EndReported = true;
                    player.ReportError(Format("%s: error or end of file", name.c_str()), false);
                }
                if (read == AVERROR_EOF)
                    endOfInput = true;
                if (ctx->pb && ctx->pb->error && !pb.AbortRequest) {
                    ioError = true;
                    break;
                }
                ff::SDL_Delay(100);
                continue;
            }
            if (packet->stream_index == pb.AudioStreamIndex)
                pb.AudioQueue.Put(packet.get());
            else if (packet->stream_index == pb.VideoStreamIndex)
                pb.VideoQueue.Put(packet.get());
            ff::av_packet_unref(packet.get());
        }
        // After an I/O error the playback stays open until it is stopped.
        if (ioError)
            TMainThread::WaitFor([&] { return pb.AbortRequest.load(); });
    }

    if (pb.ReadStatus != rsRunning) {
        pb.ReadStatus = rsFailed;
        TMainThread::Wake();
    }
    if (pb.AudioStreamIndex >= 0)
        CloseStreamComponent(pb, pb.AudioStreamIndex);
    if (pb.VideoStreamIndex >= 0)
        CloseStreamComponent(pb, pb.VideoStreamIndex);
    pb.FormatContext = nullptr;
    pb.Input.Close();
    if (failed)
        PushEvent(peQuit, &pb);
    if (pb.ReadStatus == rsFailed) {
        pb.ReadStatus = rsCleanedUp;
        TMainThread::Wake();
    }
    return 0;
}

int TPlayerEngine::OpenStreamComponent(TPlayback& APlayback, int32_t AIndex) {
    TCustomPlayer& player = *APlayback.Owner;
    AVFormatContext* ctx = APlayback.FormatContext;
    if (AIndex < 0 || AIndex >= static_cast<int32_t>(ctx->nb_streams))
        return -1;
    AVStream* stream = ctx->streams[AIndex];
    const AVCodecParameters* par = stream->codecpar;
    const AVCodec* codec = ff::avcodec_find_decoder(par->codec_id);
    TCodecContextPtr decoder(ff::avcodec_alloc_context3(codec));
    bool opened = false;
    if (codec && decoder && ff::avcodec_parameters_to_context(decoder.get(), par) >= 0) {
        decoder->pkt_timebase = stream->time_base;
        decoder->debug = 0;
        decoder->workaround_bugs = 1;
        decoder->lowres = 0;
        decoder->idct_algo = 0;
        decoder->skip_frame = AVDISCARD_DEFAULT;
        decoder->skip_idct = AVDISCARD_DEFAULT;
        decoder->skip_loop_filter = AVDISCARD_DEFAULT;
        decoder->err_recognition = 1;
        decoder->error_concealment = 3;
        decoder->thread_count = 1;
        std::lock_guard lock(CodecLock());
        opened = ff::avcodec_open2(decoder.get(), codec, nullptr) >= 0;
    }
    if (!opened) {
        player.ReportError("avcodec_open() failed.", false);
        FreeDecoder(decoder);
        return -1;
    }

    if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
        // Mono and stereo as they are; more channels are mixed down to stereo.
        const int channels = decoder->ch_layout.nb_channels;
        APlayback.OutputChannels = channels == 1 || channels == 2 ? channels : 2;
        APlayback.OutputRate = decoder->sample_rate;
        if (APlayback.OutputRate <= 0 || OpenAudioDevice(APlayback) < 0) {
            FreeDecoder(decoder);
            return -1;
        }
    }
    stream->discard = AVDISCARD_DEFAULT;

    if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
        APlayback.VideoFrame.reset(ff::av_frame_alloc());
        if (!APlayback.VideoFrame || !APlayback.VideoQueue.Init()) {
            player.ReportError("av_mallocz() failed.", false);
            stream->discard = AVDISCARD_ALL;
            FreeDecoder(decoder);
            return -1;
        }
        APlayback.VideoStreamIndex = AIndex;
        APlayback.VideoStream = stream;
        APlayback.VideoDecoder = std::move(decoder);
        APlayback.FrameTimer = ff::av_gettime() / 1e6;
        APlayback.LastFrameDelay = 0.04;
        // Once, here: the guess reads what the read thread's parser updates later.
        const AVRational rate = ff::av_guess_frame_rate(APlayback.FormatContext, stream, nullptr);
        APlayback.FrameDuration = rate.num > 0 && rate.den > 0 ? double(rate.den) / rate.num : 0.04;
        APlayback.CurrentPictureTime = ff::av_gettime();
        APlayback.VideoThread = ff::SDL_CreateThread(&VideoThread, "qm-video", &APlayback);
        if (!APlayback.VideoThread) {
            player.ReportError("SDL_CreateThread() failed.", false);
            CloseStreamComponent(APlayback, AIndex);
            return -1;
        }
    } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
        APlayback.AudioStreamIndex = AIndex;
        APlayback.AudioStream = stream;
        APlayback.AudioDecoder = std::move(decoder);
        APlayback.AudioDuration =
            stream->duration != AV_NOPTS_VALUE
                ? ff::av_rescale_q(stream->duration, stream->time_base, AVRational{1, 1000000})
                : -1;
        APlayback.AudioBufSize = 0;
        APlayback.AudioBufIndex = 0;
        APlayback.AudioBuffer1.assign(288000, 0);
        APlayback.AudioBuffer2.assign(288000, 0);
        APlayback.AudioPacket.reset(ff::av_packet_alloc());
        APlayback.AudioFrame.reset(ff::av_frame_alloc());
        APlayback.SampleRing = std::make_unique<std::atomic<int16_t>[]>(SampleRingSize);
        if (!APlayback.AudioPacket || !APlayback.AudioFrame || !APlayback.AudioQueue.Init()) {
            player.ReportError("av_mallocz() failed.", false);
            CloseStreamComponent(APlayback, AIndex);
            return -1;
        }
        ff::SDL_PauseAudio(0);
    } else {
        stream->discard = AVDISCARD_ALL;
        FreeDecoder(decoder);
        return -1;
    }
    return 0;
}

void TPlayerEngine::CloseStreamComponent(TPlayback& APlayback, int32_t AIndex) {
    AVFormatContext* ctx = APlayback.FormatContext;
    if (!ctx || AIndex < 0 || AIndex >= static_cast<int32_t>(ctx->nb_streams))
        return;
    if (AIndex == APlayback.VideoStreamIndex) {
        APlayback.VideoQueue.Abort();
        {
            // Wakes a video thread that waits for room or for its picture's texture.
            TSdlLock lock(APlayback.PictureMutex.get());
            ff::SDL_CondSignal(APlayback.PictureCond.get());
        }
        if (APlayback.VideoThread)
            ff::SDL_WaitThread(APlayback.VideoThread, nullptr);
        APlayback.VideoThread = nullptr;
        APlayback.VideoQueue.End();
        APlayback.VideoStream = nullptr;
        APlayback.VideoStreamIndex = -1;
        FreeDecoder(APlayback.VideoDecoder);
    } else if (AIndex == APlayback.AudioStreamIndex) {
        APlayback.AudioQueue.Abort();
        ff::SDL_CloseAudio();
        APlayback.AudioQueue.End();
        APlayback.SampleConverter.reset();
        APlayback.AudioStream = nullptr;
        APlayback.AudioStreamIndex = -1;
        APlayback.AudioDuration = -1;
        FreeDecoder(APlayback.AudioDecoder);
    } else {
        return;
    }
    ctx->streams[AIndex]->discard = AVDISCARD_ALL;
}

} // namespace qm
