// Video decoding, the picture queue, the refresh timer, the event loop and the display.
#include <algorithm>
#include <cmath>

#include "Engine/PictureCheck.h"
#include "Logger/FFmpegLogger.h"
#include "Platform/MainThread.h"
#include "Player/PictureSeek.h"
#include "Player/PlayerEngine.h"

namespace qm {

namespace {

constexpr int ScaleFlags = SWS_BICUBIC;
constexpr size_t ScalerPadding = 64;
// How long the event loop waits at a time for SDL's events while it draws into a host window.
constexpr int HostWaitMs = 5;

std::atomic<uint32_t> GEventBase{0};

Uint32 SDLCALL RefreshTimer(Uint32, void* AData) {
    TPlayerEngine::PushEvent(peRefresh, static_cast<const TPlayback*>(AData));
    return 0; // once
}

// Points APlanes at a planar YUV 4:2:0 picture of AWidth x AHeight in ABuffer.
bool LayOutPicture(std::vector<uint8_t>& ABuffer, uint8_t* APlanes[3], int APitches[3],
                   int AWidth, int AHeight) {
    const int size = ff::av_image_get_buffer_size(AV_PIX_FMT_YUV420P, AWidth, AHeight, 1);
    if (size <= 0)
        return false;
    // Room past the last line: the scaler's vector code may write a little beyond it.
    ABuffer.assign(static_cast<size_t>(size) + ScalerPadding, 0);
    uint8_t* data[4];
    int linesize[4];
    if (ff::av_image_fill_arrays(data, linesize, ABuffer.data(), AV_PIX_FMT_YUV420P, AWidth,
                                 AHeight, 1) < 0)
        return false;
    for (int i = 0; i < 3; ++i) {
        APlanes[i] = data[i];
        APitches[i] = linesize[i];
    }
    return true;
}

} // namespace

uint32_t TPlayerEngine::EventBase() {
    if (GEventBase == 0) {
        const Uint32 base = ff::SDL_RegisterEvents(PlayerEventCount);
        if (base != static_cast<Uint32>(-1))
            GEventBase = base;
    }
    return GEventBase;
}

bool TPlayerEngine::PushEvent(TPlayerEvent AEvent, const TPlayback* APlayback) {
    SDL_Event event{};
    event.type = GEventBase + AEvent;
    event.user.code = AEvent;
    event.user.data1 = const_cast<TPlayback*>(APlayback);
    return ff::SDL_PushEvent(&event) > 0;
}

void TPlayerEngine::ScheduleRefresh(TPlayback& APlayback, int ADelayMs) {
    ff::SDL_AddTimer(ADelayMs > 0 ? ADelayMs : 1, &RefreshTimer, &APlayback);
}

void TPlayerEngine::QuitSdl() {
    ff::SDL_QuitSubSystem(SDL_INIT_TIMER);
    ff::SDL_Quit();
}

// ---- Event loop (play thread) ----

void TCustomPlayer::EventLoop() {
    const uint32_t base = TPlayerEngine::EventBase();
    SDL_Event event;
    for (;;) {
        bool got;
        if (FWindow && !FOwnWindow) {
            // SDL wakes a waiting thread through an X event to its window, which X gives to
            // the window's maker: the host. So with a host window SDL is asked again and again.
            while (!(got = ff::SDL_WaitEventTimeout(&event, HostWaitMs) != 0))
                if (ff::SDL_WasInit(SDL_INIT_EVENTS) == 0)
                    break;
        } else {
            got = ff::SDL_WaitEvent(&event) != 0;
        }
        auto playback = CurrentPlayback();
        if (!playback) {
            CloseDisplay();
            TPlayerEngine::QuitSdl();
            return;
        }
        if (!got || event.type == SDL_QUIT || event.type == base + peQuit) {
            EndPlayback();
            return;
        }
        TPlayback& pb = *playback;
        // A player event of a playback that is gone (or not yet this one) is dropped.
        const bool own = event.user.data1 == playback.get();
        switch (event.type) {
        case SDL_WINDOWEVENT:
            HandleWindowEvent(pb, event.window);
            break;
        case SDL_MOUSEBUTTONDOWN:
            if (!FOwnWindow && OnHostFocus)
                QueueToMain([](TCustomPlayer& APlayer) {
                    if (APlayer.OnHostFocus)
                        APlayer.OnHostFocus(APlayer);
                });
            break;
        case SDL_KEYDOWN:
            if (OnKeyDown) {
                const int32_t key = event.key.keysym.sym;
                QueueToMain([key](TCustomPlayer& APlayer) {
                    if (APlayer.OnKeyDown)
                        APlayer.OnKeyDown(APlayer, key);
                });
            }
            break;
        default:
            if (!own)
                break;
            if (event.type == base + peAllocatePicture) {
                OpenDisplay(pb);
                AllocatePicture(pb);
            } else if (event.type == base + peRefresh) {
                RefreshDisplay(pb);
            } else if (event.type == base + peReopenDisplay) {
                OpenDisplay(pb);
                DrawDisplay(pb);
            }
            break;
        }
    }
}

void TCustomPlayer::HandleWindowEvent(TPlayback& APlayback, const SDL_WindowEvent& AEvent) {
    switch (AEvent.event) {
    case SDL_WINDOWEVENT_SIZE_CHANGED:
        SetScreenWidth(AEvent.data1);
        SetScreenHeight(AEvent.data2);
        APlayback.DisplayWidth = AEvent.data1;
        APlayback.DisplayHeight = AEvent.data2;
        if (FRenderer)
            ff::SDL_GetRendererOutputSize(FRenderer, &APlayback.DisplayWidth,
                                          &APlayback.DisplayHeight);
        DrawDisplay(APlayback);
        break;
    case SDL_WINDOWEVENT_EXPOSED:
        DrawDisplay(APlayback);
        break;
    default:
        break;
    }
}

int TCustomPlayer::OpenDisplay(TPlayback& APlayback) {
    int width = 640, height = 480;
    if (ScreenWidth() > 0) {
        width = ScreenWidth();
        height = ScreenHeight();
    } else if (APlayback.VideoDecoder && APlayback.VideoDecoder->width > 0) {
        width = APlayback.VideoDecoder->width;
        height = APlayback.VideoDecoder->height;
    }
    if (!FWindow) {
        FWindow = ff::SDL_CreateWindow(FFileName.c_str(), SDL_WINDOWPOS_UNDEFINED,
                                       SDL_WINDOWPOS_UNDEFINED, width, height,
                                       SDL_WINDOW_RESIZABLE);
        FOwnWindow = FWindow != nullptr;
    } else if (FOwnWindow) {
        int current[2] = {};
        ff::SDL_GetWindowSize(FWindow, &current[0], &current[1]);
        if (current[0] != width || current[1] != height)
            ff::SDL_SetWindowSize(FWindow, width, height);
    }
    if (FWindow && !FRenderer) {
        // A host window takes the software renderer: the accelerated ones would want to
        // re-create a window that is not SDL's. Its pictures go to the window through X11
        // itself, not through a GL texture that SDL would put behind the window.
        if (!FOwnWindow)
            ff::SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
        if (FOwnWindow)
            FRenderer = ff::SDL_CreateRenderer(FWindow, -1, 0);
        if (!FRenderer)
            FRenderer = ff::SDL_CreateRenderer(FWindow, -1, SDL_RENDERER_SOFTWARE);
    }
    if (!FRenderer) {
        ReportError("SDL: could not set video mode.", false);
        return -1;
    }
    ff::SDL_GetRendererOutputSize(FRenderer, &APlayback.DisplayWidth, &APlayback.DisplayHeight);
    return 0;
}

void TCustomPlayer::CloseDisplay() {
    if (FRenderer) {
        ff::SDL_DestroyRenderer(FRenderer);
        FRenderer = nullptr;
    }
    if (FWindow) {
        // A host's window stays: SDL only forgets it.
        ff::SDL_DestroyWindow(FWindow);
        FWindow = nullptr;
    }
    FOwnWindow = false;
}

void TCustomPlayer::DrawDisplay(TPlayback& APlayback) {
    if (!FRenderer && OpenDisplay(APlayback) < 0)
        return;
    if (APlayback.AudioStream && APlayback.ShowWave)
        DrawWave(APlayback);
    else if (APlayback.VideoStream)
        DrawPicture(APlayback);
}

void TCustomPlayer::AllocatePicture(TPlayback& APlayback) {
    TPictureEntry& entry = APlayback.Picture;
    int width, height;
    {
        TSdlLock lock(APlayback.PictureMutex.get());
        width = entry.Width;
        height = entry.Height;
    }
    if (entry.Texture)
        ff::SDL_DestroyTexture(entry.Texture);
    entry.Texture = FRenderer ? ff::SDL_CreateTexture(FRenderer, SDL_PIXELFORMAT_IYUV,
                                                      SDL_TEXTUREACCESS_STREAMING, width, height)
                              : nullptr;
    if (!LayOutPicture(entry.Buffer, entry.Planes, entry.Pitches, width, height))
        entry.Buffer.clear();
    TSdlLock lock(APlayback.PictureMutex.get());
    entry.Allocated = true;
    ff::SDL_CondSignal(APlayback.PictureCond.get());
}

void TCustomPlayer::RefreshDisplay(TPlayback& APlayback) {
    if (APlayback.VideoStream) {
        TPictureEntry& entry = APlayback.Picture;
        bool full;
        double pts;
        {
            TSdlLock lock(APlayback.PictureMutex.get());
            // While paused the picture stays where it is: the next one waits in the queue
            // unless a step asks for it.
            full = APlayback.PictureQueueSize > 0 && (!APlayback.Paused || APlayback.StepPending);
            pts = entry.Pts;
            if (full) {
                APlayback.StepPending = false;
                APlayback.ShownPictureTime = std::llround(pts * 1e6);
                APlayback.CurrentPicturePts = pts;
                APlayback.CurrentPictureTime = ff::av_gettime();
                // Taken and released under the lock: a seek's flush empties the queue and the
                // video thread refills the planes only once the lock is free.
                if (entry.Texture && !entry.Buffer.empty())
                    ff::SDL_UpdateYUVTexture(entry.Texture, nullptr, entry.Planes[0],
                                             entry.Pitches[0], entry.Planes[1], entry.Pitches[1],
                                             entry.Planes[2], entry.Pitches[2]);
                entry.ShownWidth = entry.Width;
                entry.ShownHeight = entry.Height;
                entry.ShownPixelAspect = entry.PixelAspect;
                APlayback.PictureQueueSize = 0;
                ff::SDL_CondSignal(APlayback.PictureCond.get());
            }
        }
        if (!full) {
            TPlayerEngine::ScheduleRefresh(APlayback, APlayback.Paused ? 10 : 1);
        } else {
            const double delay = ComputeFrameDelay(APlayback, pts);
            TPlayerEngine::ScheduleRefresh(APlayback, static_cast<int>(delay * 1000 + 0.5));
            DrawDisplay(APlayback);
        }
        UpdatePosition(APlayback);
    } else if (APlayback.AudioStream) {
        TPlayerEngine::ScheduleRefresh(APlayback, 40);
        DrawDisplay(APlayback);
        UpdatePosition(APlayback);
    } else {
        TPlayerEngine::ScheduleRefresh(APlayback, 100);
    }
}

double TCustomPlayer::ComputeFrameDelay(TPlayback& APlayback, double APts) {
    double delay = APts - APlayback.LastFramePts;
    if (delay <= 0 || delay >= 2.0)
        delay = APlayback.LastFrameDelay;
    else
        APlayback.LastFrameDelay = delay;
    APlayback.LastFramePts = APts;

    if (APlayback.AudioStream) {
        // The audio clock is the master: a late picture goes at once, an early one waits.
        const double diff = APts - TPlayerEngine::GetMasterClock(APlayback);
        const double threshold = std::max(0.01, delay);
        if (std::fabs(diff) < 10.0) {
            if (diff <= -threshold)
                delay = 0;
            else if (diff >= threshold)
                delay = 2 * delay;
        }
    }
    const double timer = APlayback.FrameTimer.fetch_add(delay) + delay;
    const double actual = timer - ff::av_gettime() / 1e6;
    return actual < 0.01 ? 0.01 : actual;
}

void TCustomPlayer::DrawPicture(TPlayback& APlayback) {
    const TPictureEntry& entry = APlayback.Picture;
    if (!entry.Texture)
        return;
    const int displayWidth = APlayback.DisplayWidth, displayHeight = APlayback.DisplayHeight;
    const float forced = AspectRatio();
    double a;
    if (forced < 0 && displayWidth != 0 && displayHeight != 0) {
        a = double(displayWidth) / displayHeight;
    } else if (forced > 0) {
        a = forced;
    } else {
        // The pixel shape, turned into the picture's shape.
        a = entry.ShownPixelAspect > 0 ? entry.ShownPixelAspect : 1.0;
        if (entry.ShownHeight > 0)
            a = a * entry.ShownWidth / entry.ShownHeight;
    }
    int height = displayHeight;
    int width = static_cast<int>(std::lround(height * a)) & ~1;
    if (width > displayWidth) {
        width = displayWidth;
        height = static_cast<int>(std::lround(width / a)) & ~1;
    }
    const SDL_Rect rect{(displayWidth - width) / 2, (displayHeight - height) / 2, width, height};
    ff::SDL_SetRenderDrawColor(FRenderer, 0, 0, 0, 255);
    ff::SDL_RenderClear(FRenderer);
    ff::SDL_RenderCopy(FRenderer, entry.Texture, nullptr, &rect);
    ff::SDL_RenderPresent(FRenderer);
}

void TCustomPlayer::DrawWave(TPlayback& APlayback) {
    const auto* ring = APlayback.SampleRing.get();
    const int channels = APlayback.OutputChannels;
    const int width = APlayback.DisplayWidth, height = APlayback.DisplayHeight;
    if (!ring || channels <= 0 || width <= 0 || height <= 0)
        return;
    auto wrap = [](int64_t i) {
        const int64_t r = i % SampleRingSize;
        return static_cast<int32_t>(r < 0 ? r + SampleRingSize : r);
    };
    int32_t start = APlayback.WaveStart;
    if (!APlayback.Paused) {
        const int bytesPerSample = 2 * channels;
        int64_t delay = (APlayback.AudioBufSize - APlayback.AudioBufIndex) / bytesPerSample;
        if (const int64_t callback = APlayback.AudioCallbackTime; callback != 0)
            delay += (ff::av_gettime() - callback) * APlayback.OutputRate / 1000000;
        delay -= width / 2;
        if (delay < width)
            delay = width;
        const int32_t x = wrap(APlayback.SampleRingIndex - delay * channels);
        start = x;
        int64_t best = INT64_MIN;
        for (int i = 0; i < 1000; i += channels) {
            const int32_t idx = wrap(int64_t(x) - i);
            const int a = ring[idx], b = ring[wrap(idx + 4 * channels)],
                      c = ring[wrap(idx + 5 * channels)], d = ring[wrap(idx + 9 * channels)];
            const int score = a - d;
            if (score > best && b * c < 0) {
                best = score;
                start = idx;
            }
        }
        APlayback.WaveStart = start;
    }
    ff::SDL_SetRenderDrawColor(FRenderer, 0, 0, 0, 255);
    ff::SDL_RenderClear(FRenderer);
    std::vector<SDL_Rect> bars;
    bars.reserve(static_cast<size_t>(width * channels + channels));
    const int band = height / channels;
    const int scale = band * 9 / 20;
    for (int ch = 0; ch < channels; ++ch) {
        int32_t i = wrap(int64_t(start) + ch);
        const int centre = ch * band + band / 2;
        for (int x = 0; x < width; ++x) {
            int y = (ring[i] * scale) >> 15;
            int top = centre;
            if (y < 0) {
                y = -y;
                top = centre - y;
            }
            bars.push_back({x, top, 1, y});
            i = wrap(int64_t(i) + channels);
        }
    }
    for (int ch = 1; ch < channels; ++ch)
        bars.push_back({0, ch * band, width, 1});
    ff::SDL_SetRenderDrawColor(FRenderer, 255, 255, 255, 255);
    ff::SDL_RenderFillRects(FRenderer, bars.data(), static_cast<int>(bars.size()));
    ff::SDL_RenderPresent(FRenderer);
}

// ---- Video thread ----

int TPlayerEngine::VideoThread(void* AData) {
    TPlayback& pb = *static_cast<TPlayback*>(AData);
    AVCodecContext* decoder = pb.VideoDecoder.get();
    AVFrame* frame = pb.VideoFrame.get();
    TPacketPtr packet(ff::av_packet_alloc());
    if (!packet)
        return 0;
    const double timeBase = av_q2d(pb.VideoStream->time_base);
    TPictureSeek seek(pb);
    for (;;) {
        // Paused, it decodes only towards a step or a seek to a picture.
        while (pb.Paused && !pb.StepPending && !pb.ExactPending && !pb.VideoQueue.Aborted())
            ff::SDL_Delay(10);
        if (pb.VideoQueue.Get(packet.get(), true) < 0)
            break;
        if (IsFlushPacket(packet.get())) {
            ff::avcodec_flush_buffers(decoder);
            ff::av_packet_unref(packet.get());
            pb.FlushedSeekCount = pb.SeekCount;
            seek.Start(pb.ExactTarget.exchange(AV_NOPTS_VALUE));
            // A picture from before the seek is not shown any more, and the clock stands at
            // the seek's target until the first picture after it.
            const double target = pb.SeekedTo / 1e6;
            pb.VideoClock = target;
            TSdlLock lock(pb.PictureMutex.get());
            pb.PictureQueueSize = 0;
            pb.CurrentPicturePts = target;
            pb.CurrentPictureTime = ff::av_gettime();
            ff::SDL_CondSignal(pb.PictureCond.get());
            continue;
        }
        // An empty packet (end of input) drains the decoder's delayed pictures.
        const bool drain = packet->size == 0;
        ff::avcodec_send_packet(decoder, drain ? nullptr : packet.get());
        ff::av_packet_unref(packet.get());
        bool stop = false;
        while (!stop && ff::avcodec_receive_frame(decoder, frame) == 0) {
            // The picture's own time: with reordered pictures the packet's dts is not it.
            const int64_t ts = frame->best_effort_timestamp;
            stop = !seek.Offer(frame, ts != AV_NOPTS_VALUE ? ts * timeBase : 0, ts != AV_NOPTS_VALUE);
            ff::av_frame_unref(frame);
        }
        if (drain && !stop)
            stop = !seek.Finish();
        if (stop)
            break;
    }
    return 0;
}

double TPlayerEngine::SynchronizeVideo(TPlayback& APlayback, const AVFrame* AFrame, double APts) {
    if (APts != 0)
        APlayback.VideoClock = APts;
    else
        APts = APlayback.VideoClock;
    const double duration = APlayback.FrameDuration;
    APlayback.VideoClock += duration + AFrame->repeat_pict * (duration * 0.5);
    return APts;
}

int TPlayerEngine::QueuePicture(TPlayback& APlayback, const AVFrame* AFrame, double APts) {
    TCustomPlayer& player = *APlayback.Owner;
    TPictureEntry& entry = APlayback.Picture;
    const auto stale = [&] { return APlayback.SeekCount != APlayback.FlushedSeekCount; };
    {
        TSdlLock lock(APlayback.PictureMutex.get());
        while (APlayback.PictureQueueSize >= 1 && !APlayback.VideoQueue.Aborted() && !stale())
            ff::SDL_CondWait(APlayback.PictureCond.get(), APlayback.PictureMutex.get());
        if (APlayback.VideoQueue.Aborted())
            return -1;
        if (stale())
            return 0; // from before a seek: its flush marker comes next
        if (!entry.Allocated || entry.Width != AFrame->width || entry.Height != AFrame->height) {
            // The texture is made on the event loop's thread, which owns the renderer.
            entry.Allocated = false;
            entry.Width = AFrame->width;
            entry.Height = AFrame->height;
            PushEvent(peAllocatePicture, &APlayback);
            while (!entry.Allocated && !APlayback.VideoQueue.Aborted())
                ff::SDL_CondWait(APlayback.PictureCond.get(), APlayback.PictureMutex.get());
            if (APlayback.VideoQueue.Aborted())
                return -1;
        }
    }
    if (!entry.Buffer.empty()) {
        const bool hooked = player.Hook() && player.OnHook && !player.FDestroying &&
                            player.HookFrame(APlayback, AFrame, entry, APts);
        if (!hooked) {
            const std::string problem = PictureProblem(AFrame->format, AFrame->width, AFrame->height,
                                                       puScalerInput);
            if (!problem.empty()) {
                player.ReportError("Cannot show the picture: " + problem + ".", false);
                return -1;
            }
            SwsContext* scaler = ff::sws_getCachedContext(
                APlayback.ScaleContext.release(), AFrame->width, AFrame->height,
                static_cast<AVPixelFormat>(AFrame->format), AFrame->width, AFrame->height,
                AV_PIX_FMT_YUV420P, ScaleFlags, nullptr, nullptr, nullptr);
            APlayback.ScaleContext.reset(scaler);
            if (!scaler) {
                player.ReportError("Cannot initialize the conversion context.", false);
                return -1;
            }
            ff::sws_scale(scaler, AFrame->data, AFrame->linesize, 0, AFrame->height,
                          entry.Planes, entry.Pitches);
        }
    }
    // The stream's (else the decoder's) pixel shape.
    const AVRational sar = APlayback.VideoStream->sample_aspect_ratio.num
                               ? APlayback.VideoStream->sample_aspect_ratio
                               : APlayback.VideoDecoder->sample_aspect_ratio;
    TSdlLock lock(APlayback.PictureMutex.get());
    if (stale())
        return 0; // a seek came while it was converted
    entry.Pts = APts;
    entry.PixelAspect = sar.num > 0 && sar.den > 0 ? av_q2d(sar) : 0;
    APlayback.PictureQueueSize = 1;
    return 0;
}

bool TCustomPlayer::HookFrame(TPlayback& APlayback, const AVFrame* AFrame, TPictureEntry& AEntry,
                              double APts) {
    if (!FHookPicture) {
        FHookPicture = std::make_unique<THookPicture>();
        // The decoder's frame is not ours to write: the bitmap goes back into the entry.
        FHookPicture->Conversion.KeepSource = true;
    }
    THookPicture& hook = *FHookPicture;
    if (hook.Stopped)
        return false;
    TBitmapConversion& conversion = hook.Conversion;
    if (!conversion.FrameToBitmap(*AFrame)) {
        ReportError("Cannot initialize the toRGB conversion context", false);
        hook.Stopped = true;
        return false;
    }
    try {
        OnHook(*this, *conversion.Bitmap(), std::llround(APts * 1e6) - APlayback.StartOffset);
    } catch (const std::exception& e) {
        ReportError(std::string("Error occurs OnHook: ") + e.what(), false);
        return false;
    }
    TPicture entry;
    std::copy_n(AEntry.Planes, 3, entry.Data);
    std::copy_n(AEntry.Pitches, 3, entry.LineSize);
    if (!conversion.BitmapToPicture(entry, AV_PIX_FMT_YUV420P, AFrame->width, AFrame->height)) {
        ReportError("OnHook: the bitmap cannot go back into the picture (its size or format "
                    "changed, or no conversion context); later pictures go unhooked",
                    false);
        hook.Stopped = true;
        return false;
    }
    return true;
}

} // namespace qm
