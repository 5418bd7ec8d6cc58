// The cut of a trimmed part: which pictures of a stream are on screen in [start, end), at
// which time each one enters the part, and which samples of each block lie in it.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "Engine/StreamCut.h"

using namespace qm;

namespace {

constexpr int64_t Second = 1000000;
constexpr int64_t NoEnd = std::numeric_limits<int64_t>::max();

int64_t Us(double ASeconds) { return std::llround(ASeconds * Second); }

struct TDelivered {
    std::vector<int> Frames;       // in the order delivered
    std::vector<int64_t> Shown;    // the time each takes in the part
    int64_t PicturesEnd = 0;
};

// Feeds AFrames pictures at the times ATimeOf gives through a cut as the engine does: the
// held picture before the current one, the held one again at the end of the input.
TDelivered Cut(TCutWindow AWindow, int AFrames, const std::function<int64_t(int)>& ATimeOf) {
    TStreamCut cut(AWindow);
    TDelivered got;
    int held = -1;
    auto deliver = [&](int AIndex) {
        got.Frames.push_back(AIndex);
        got.Shown.push_back(cut.ShownTime(ATimeOf(AIndex)));
        cut.Delivered(ATimeOf(AIndex + 1));
    };
    for (int i = 0; i < AFrames && !cut.Done(); ++i) {
        const TPictureVerdict v = cut.OfferPicture(ATimeOf(i));
        if (v.EmitHeld)
            deliver(held);
        if (v.Emit)
            deliver(i);
        if (v.Hold)
            held = i;
    }
    if (held >= 0 && cut.FlushHeld(ATimeOf(held + 1)))
        deliver(held);
    got.PicturesEnd = cut.PicturesEnd();
    return got;
}

std::vector<int> Range(int AFirst, int ALast) {
    std::vector<int> r;
    for (int i = AFirst; i <= ALast; ++i)
        r.push_back(i);
    return r;
}

int64_t At25(int AIndex) { return int64_t(AIndex) * 40000; }

} // namespace

// 200 pictures at 25 a second (8 s): the part holds the pictures on screen in it, none twice.
TEST(StreamCut, PicturesOnScreenInThePartAtAConstantRate) {
    struct TCase {
        const char* What;
        double Start, End; // seconds; End < 0: to the end
        int First, Last;   // -1, -1: none
    } cases[] = {
        {"whole seconds", 2.0, 4.0, 50, 99},
        {"on picture boundaries", 3.52, 7.2, 88, 179},
        {"between pictures: the ones showing then", 3.53, 7.21, 88, 180},
        {"from the very start", 0.0, 1.0, 0, 24},
        {"up to the very end", 7.5, -1, 187, 199},
        {"shorter than a second", 0.5, 0.9, 12, 22},
        {"inside the last picture", 7.99, -1, 199, 199},
        {"past the input's end", 8.5, -1, -1, -1},
        {"one picture", 1.0, 1.04, 25, 25},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        const TCutWindow window{Us(c.Start), c.End < 0 ? NoEnd : Us(c.End)};
        const TDelivered got = Cut(window, 200, At25);
        EXPECT_EQ(got.Frames, c.First < 0 ? std::vector<int>() : Range(c.First, c.Last));
        // The first picture enters at the start, the others at their own time.
        for (size_t k = 0; k < got.Frames.size(); ++k)
            EXPECT_EQ(got.Shown[k], k == 0 ? window.Start : At25(got.Frames[k])) << k;
        if (!got.Frames.empty()) {
            EXPECT_EQ(got.PicturesEnd, c.End < 0 ? At25(200) : window.End);
        }
    }
}

// A variable rate: odd pictures come 12 ms early, so the gaps are 28 and 52 ms.
TEST(StreamCut, PicturesOnScreenInThePartAtAVariableRate) {
    const auto at = [](int i) { return At25(i) - (i % 2 ? 12000 : 0); };
    // 1.00 s: picture 25 came at 0.988, 26 comes at 1.04.
    EXPECT_EQ(Cut({Us(1.0), Us(2.0)}, 100, at).Frames, Range(25, 49));
    // 1.03 s: still 25; the end at 1.988 leaves 49 (at 1.948) in and 50 (at 2.0) out.
    EXPECT_EQ(Cut({Us(1.03), Us(1.988)}, 100, at).Frames, Range(25, 49));
    // 0.99 s: 25 came 2 ms before it; 1.949 takes 49 and not 50.
    EXPECT_EQ(Cut({Us(0.99), Us(1.949)}, 100, at).Frames, Range(25, 49));
}

// Pictures that reach the cut out of order are never delivered twice or held past the part.
TEST(StreamCut, NothingAfterTheEndAndAnInactiveCutIsInactive) {
    TStreamCut cut({Us(1.0), Us(2.0)});
    EXPECT_TRUE(cut.OfferPicture(Us(1.5)).Emit);
    EXPECT_FALSE(cut.Done());
    EXPECT_FALSE(cut.OfferPicture(Us(2.0)).Emit);
    EXPECT_TRUE(cut.Done());
    EXPECT_FALSE(cut.OfferPicture(Us(1.6)).Emit);
    EXPECT_EQ(cut.OfferSamples(Us(1.6), 1024, 48000).Keep, 0);
    EXPECT_FALSE(TStreamCut().Active());
}

// Blocks of samples of any size at any rate, their times rounded to the microsecond as the
// engine keeps them: the samples kept are exactly those whose instants lie in the part, and
// the stream is done with the block that reaches the end.
TEST(StreamCut, SamplesInThePartToTheSample) {
    struct TCase {
        int Rate, Block;
        double Start, End;
        int64_t FirstSample; // the first input sample of the part
    } cases[] = {
        {48000, 1024, 2.0, 4.0, 96000},    {48000, 1152, 3.52, 7.2, 168960},
        {44100, 1024, 1.0, 1.5, 44100},    {44100, 1024, 3.523, 7.2, 155365},
        {8000, 1152, 0.0, 0.9, 0},         {22050, 4096, 0.5001, 3.0, 11028},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Rate << " Hz from " << c.Start << " to " << c.End);
        TStreamCut cut({Us(c.Start), Us(c.End)});
        int64_t kept = 0, first = -1;
        int64_t n = 0;
        for (; !cut.Done() && n < int64_t(c.Rate) * 10; n += c.Block) {
            const int64_t time = (n * Second + c.Rate / 2) / c.Rate;
            const TSampleVerdict v = cut.OfferSamples(time, c.Block, c.Rate);
            if (v.Keep > 0 && first < 0) {
                first = n + v.Skip;
                EXPECT_NEAR(double(v.Time), double(first) * Second / c.Rate, 1.0);
            }
            EXPECT_TRUE(v.Keep == 0 || v.Skip == 0 || first == n + v.Skip) << "only the first block is cut in front";
            kept += v.Keep;
        }
        const int64_t last = std::llround(std::ceil(c.End * c.Rate - 1e-6)); // first sample left out
        EXPECT_EQ(first, c.FirstSample);
        EXPECT_EQ(kept, last - c.FirstSample);
        EXPECT_LE(n - c.Block, last) << "done with the block that reaches the end, not later";
    }
}
