// Writes short synthetic clips through the media libraries' own encoders and muxers, so tests
// have inputs of every container/codec the application meets without shipping binary files.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/rational.h>
}

namespace qm::fixtures {

// Picture drawn in every video frame. Colours are given in full-range RGB before conversion
// to the encoder's pixel format; lossy codecs reproduce them only approximately.
enum class VideoPattern {
    // Seven vertical colour bars (75% white, yellow, cyan, green, magenta, red, blue) over the
    // top two thirds; below them a dark strip in which a white square (side = height/6, even)
    // moves 4 pixels to the right per frame, wrapping at the right edge; along the bottom edge
    // a row of 16 blocks shows the frame index in binary (MSB left, white = 1, black = 0).
    // Every frame therefore differs from the previous one.
    Moving,
    // A still picture for geometry checks, identical in every frame:
    //  - a border of pure red (255,0,0), 16 pixels wide on all four sides;
    //  - inside it a mid-grey field (128,128,128);
    //  - a white (255,255,255) square of side S = KnownSquareSide(w, h) whose top-left corner is
    //    at KnownSquareOrigin(w, h), i.e. in the upper-left quadrant so that flips and rotations
    //    show. For 320x240: S = 60, origin (80,60), square covers x 80..139, y 60..119.
    KnownLayout,
    // Black frames; frame i is entirely white when it is the first frame at or after a whole
    // second n (n = 0, 1, 2, ...), i.e. when (i-1)/fps < n <= i/fps.
    FlashEverySecond,
    // Hard to code, like grainy film with fine detail: a colour zone plate (up to about a
    // third of a cycle per pixel) over a fine sine texture, panning 2 pixels to the left
    // per frame, with fresh random grain (+-16 in every channel) in every frame. With a field
    // order set, the second field of each frame shows the pan 1 pixel further on, as an
    // interlaced camera records it.
    Grain,
    // Frame i carries the number i in the twelve cells of FrameNumber.h, read back by
    // ReadFrameNumber(); nothing else in the picture.
    Numbered,
    // Every line of the top field (even lines) white, every line of the bottom field black, in
    // every frame: any scaler that blends the fields makes grey.
    FieldLines,
};

// How the pictures of a clip are scanned. Interlaced clips are coded with interlaced DCT and
// motion estimation and carry the field order in the stream and in every frame.
enum class FieldOrder {
    Progressive,
    TopFirst,
    BottomFirst,
};

enum class AudioPattern {
    // A 440 Hz sine at amplitude 0.5 of full scale, identical in every channel.
    Tone,
    // Silence, with a 10 ms burst of 1 kHz sine at amplitude 0.8 starting exactly at each whole
    // second of the clip's time line (aligned with the FlashEverySecond frames). With an audio
    // start offset, clicks before the audio starts are simply not there.
    ClickEverySecond,
    Silence,
};

// Edge length and top-left corner of the white square of VideoPattern::KnownLayout.
constexpr int KnownBorderWidth = 16;
constexpr int KnownSquareSide(int width, int height) {
    return ((width < height ? width : height) / 4) & ~1;
}
constexpr int KnownSquareOriginX(int width) {
    return (width / 4) & ~1;
}
constexpr int KnownSquareOriginY(int height) {
    return (height / 4) & ~1;
}

// Amplitudes of the audio patterns, as fractions of full scale.
constexpr double ToneFrequency = 440.0;
constexpr double ToneAmplitude = 0.5;
constexpr double ClickFrequency = 1000.0;
constexpr double ClickAmplitude = 0.8;
constexpr double ClickSeconds = 0.010;

struct ClipSettings {
    std::string format;     // muxer short name: "avi", "matroska", "mp4", "vob", ...
    std::string videoCodec; // encoder name, e.g. "libx264"; empty = no video stream
    int width = 320;
    int height = 240;
    AVRational frameRate{25, 1};
    AVRational sampleAspect{1, 1};
    int64_t videoBitRate = 0; // 0 = encoder default
    std::string pixelFormat;  // must be one the encoder lists; empty = its first one
    std::string audioCodec;   // encoder name, e.g. "aac"; empty = no audio stream
    int sampleRate = 44100;
    int channels = 2;              // layout = av_channel_layout_default(channels)
    int64_t audioBitRate = 0;      // 0 = encoder default
    double duration = 2.0;         // seconds, for video and as the end of the audio
    double audioStartOffset = 0.0; // audio's first sample is this many seconds after video's
    int keyFrameInterval = 0;      // frames from one key frame to the next; 0 = one a second
    // Every odd frame is shown this many seconds early (a variable frame rate: the gaps
    // between frames alternate). Needs a container with a fine time base, such as Matroska.
    double oddFrameShift = 0.0;
    std::string subtitleCodec;     // text subtitle encoder ("subrip", "ass"); empty = none
    // One sound track per language tag ("eng", "fra"), all alike, the first flagged default;
    // empty: one track without a language.
    std::vector<std::string> audioLanguages;
    // Subtitle streams as {encoder, language tag}, each with the standard cues; when given,
    // they take the place of subtitleCodec.
    std::vector<std::pair<std::string, std::string>> subtitleTracks;
    VideoPattern videoPattern = VideoPattern::Moving;
    FieldOrder fieldOrder = FieldOrder::Progressive;
    AudioPattern audioPattern = AudioPattern::Tone;
};

// A video-only Matroska clip in MPEG-4 part 2: quick to write and to decode, for tests that
// need a longer run than the standard fixtures give.
inline ClipSettings VideoOnlyClip(int width, int height, double duration) {
    ClipSettings clip;
    clip.format = "matroska";
    clip.videoCodec = "mpeg4";
    clip.width = width;
    clip.height = height;
    clip.duration = duration;
    return clip;
}

// When frame AIndex of the clip is shown, in seconds.
double FrameTime(const ClipSettings& settings, int64_t AIndex);

// Subtitle cues written when ClipSettings::subtitleCodec is set (those that end within the clip).
struct SubtitleCue {
    double start;
    double end;
    const char* text;
};
inline constexpr SubtitleCue StandardCues[] = {
    {0.25, 0.75, "First cue"},
    {1.25, 1.75, "Second cue"},
};

// Writes the clip to `path` (the container comes from settings.format, not from the file name).
// On failure returns false, sets `error` to a message naming the codec/muxer and the reason,
// and removes any partly written file.
bool WriteClip(const ClipSettings& settings, const std::string& path, std::string& error);

} // namespace qm::fixtures
