// The progress report: the status line, the progress slot and the final statistics.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <utility>

#include "Engine/EngineUtils.h"
#include "Engine/FFmpeg.h"
#include "Engine/MediaFiles.h"
#include "Engine/OptionContexts.h"
#include "Engine/TranscodeState.h"
#include "Engine/TranscodeTime.h"
#include "Loader/FFmpegLoader.h"
#include "Logger/FFmpegLogger.h"

namespace qm {

int64_t TCustomFFmpeg::MuxedBytes() const {
    // What the muxer has written, also what still waits in its buffer: the size on disk
    // grows in steps of the buffer. A muxer that went back to fill in its header may
    // stand before the end.
    AVIOContext* pb = OutputFiles[0]->Output->pb;
    if (!pb)
        return 0;
    return std::max<int64_t>({ff::avio_seek(pb, 0, SEEK_CUR), ff::avio_size(pb), 0});
}

std::string TCustomFFmpeg::PsnrText(const TOutputStreamState& AOutput, bool ALast) const {
    // The whole stream for the last report, else the last coded frame; chroma planes
    // have a quarter of the pixels.
    const AVCodecContext* enc = AOutput.Encoder;
    const double pixels = double(enc->width) * enc->height * 255.0 * 255.0 *
                          (ALast ? AOutput.FrameNumber : 1);
    const double* errors = ALast ? AOutput.SummedErrors : AOutput.LastErrors;
    std::string text = "PSNR=";
    double error = 0, scale = 0;
    for (int p = 0; p < 3; ++p) {
        const double planeScale = p == 0 ? pixels : pixels / 4;
        text += Format("%c:%2.2f ", "YUV"[p], Psnr(errors[p], planeScale));
        error += errors[p];
        scale += planeScale;
    }
    return text + Format("*:%2.2f ", Psnr(error, scale));
}

void TCustomFFmpeg::ProgressReport(bool ALast) {
    if (!FState || OutputFiles.empty())
        return;
    int32_t frameNumber = -1, fps = -1;
    float quality = -1.0f;
    std::string line;
    bool firstVideo = true;
    double t = 1e10;
    for (const auto& ost : FState->OutputStreams) {
        const AVCodecParameters* par = ost->Stream->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
            const float q = ost->EncodingNeeded ? ost->Setup->Quality / FF_QP2LAMBDA : -1.0f;
            if (!firstVideo) {
                line += Format("q=%2.1f ", q);
            } else {
                firstVideo = false;
                const float elapsed =
                    static_cast<float>(ff::av_gettime() - FTranscodeStartTime) / 1000000.0f;
                // Nothing to say before the first picture is out.
                if (ost->FrameNumber < 1)
                    return;
                frameNumber = ost->FrameNumber;
                fps = elapsed > 1 ? static_cast<int32_t>(frameNumber / elapsed + 0.5f) : 0;
                quality = q;
                line += Format("frame=%5d fps=%3d q=%3.1f ", frameNumber, fps, quality);
                if (ALast)
                    line += "L";
                if (Options.QpHistogram && ost->EncodingNeeded) {
                    // The quantiser of the last coded frame counts once per report.
                    const long qp = std::lrint(ost->Setup->Quality / FF_QP2LAMBDA);
                    if (qp >= 0 && qp < static_cast<long>(FQpHistogram.size()))
                        ++FQpHistogram[static_cast<size_t>(qp)];
                    for (size_t j = 0; j < 32; ++j)
                        line += Format("%X", static_cast<unsigned>(std::lrint(
                                                 std::log2(double(FQpHistogram[j]) + 1))));
                }
                if (ost->EncodingNeeded && (ost->Encoder->flags & AV_CODEC_FLAG_PSNR))
                    line += PsnrText(*ost, ALast);
            }
        }
        const double ot = OutputTime(*ost);
        if (ot > 0 && ot < t)
            t = ot;
    }
    // Before any stream has an output time there is no rate to tell.
    t = t < 1e10 ? std::max(t, 0.01) : 0.0;
    const int64_t size = MuxedBytes();
    if (ProgressNotify || Options.Verbosity > 0 || ALast) {
        const double bitrate = t > 0 ? size * 8 / t / 1000 : 0.0;
        line += Format("size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s", size / 1024.0, t, bitrate);
        if (Options.Verbosity > 1)
            line += Format(" dup=%d drop=%d", FDuplicatedFrames, FDroppedFrames);
        if (ProgressNotify)
            ProgressNotify(this, frameNumber, fps, static_cast<int32_t>(t * 1000), quality,
                           static_cast<float>(bitrate), size, FTotalOutputDuration);
        else if (Options.Verbosity >= 0)
            Log(this, llVerbose, line);
    }
    if (ALast && Options.Verbosity >= 0) {
        const double raw = static_cast<double>(FVideoBytes + FAudioBytes + FGlobalHeaderBytes);
        LogF(this, llVerbose,
             "video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %.2f%%",
             FVideoBytes / 1024.0, FAudioBytes / 1024.0, FGlobalHeaderBytes / 1024.0,
             raw > 0 ? 100.0 * (size - raw) / raw : 0.0);
    }
}

} // namespace qm
