// The trim page's Set Start and Set End rules, and the trim text of a list row.
#include <gtest/gtest.h>

#include <vector>

#include "Core/InputList.h"
#include "Core/Trim.h"
#include "Core/TrimCheck.h"

using namespace qm;

namespace {

constexpr int64_t S = 1000000; // one second in microseconds
constexpr int32_t BarMax = 340;

struct TMark {
    bool End;         // Set End, else Set Start
    int64_t Position; // where the player is
};

struct TTrimCase {
    const char* Name;
    int64_t Duration;
    std::vector<TMark> Marks;
    int32_t StartMs, LengthMs, SelStart, SelEnd;
};

// The bar stands at the position's share of its width.
int32_t BarAt(int64_t APosition, int64_t ADuration) {
    return static_cast<int32_t>(APosition < 0 ? 0 : BarMax * APosition / ADuration);
}

} // namespace

TEST(TrimMarks, SetStartAndSetEndFollowTheirRules) {
    const std::vector<TTrimCase> cases = {
        {"start alone runs to the end", 120 * S, {{false, 30 * S}}, 30000, 90000, 85, 0},
        {"then an end after it", 120 * S, {{false, 30 * S}, {true, 90 * S}}, 30000, 60000, 85, 255},
        {"an end before the start moves the start to 0", 120 * S, {{false, 30 * S}, {true, 10 * S}}, 0, 10000, 0, 28},
        {"an end at the start does the same", 120 * S, {{false, 30 * S}, {true, 30 * S}}, 0, 30000, 0, 85},
        {"end alone", 120 * S, {{true, 40 * S}}, 0, 40000, 0, 113},
        {"an end at the very start marks nothing", 120 * S, {{true, 0}}, 0, 0, 0, 0},
        {"the end of the file", 120 * S, {{false, 30 * S}, {true, 120 * S}}, 30000, 90000, 85, 340},
        {"a later start keeps the part to the end", 120 * S, {{true, 40 * S}, {false, 50 * S}}, 50000, 70000, 141, 113},
        // Positions the player reports beyond the file (or before it) change no mark; the
        // selection still follows the bar.
        {"start beyond the duration", 120 * S, {{false, 121 * S}}, 0, 0, 340, 0},
        {"end beyond the duration", 120 * S, {{false, 30 * S}, {true, 125 * S}}, 30000, 90000, 85, 340},
        {"before any position", 120 * S, {{false, 30 * S}, {false, -1}, {true, -1}}, 30000, 90000, 0, 0},
        {"a file without duration", 0, {{false, 0}, {true, 0}}, 0, 0, 0, 0},
        // Milliseconds are cut, not rounded.
        {"truncated", 10 * S + 999, {{false, 1999999}, {true, 2999999}}, 1999, 1000, 67, 101},
    };
    for (const TTrimCase& c : cases) {
        TTrimMarks marks;
        for (const TMark& m : c.Marks) {
            const int32_t bar = c.Duration > 0 ? std::min(BarAt(m.Position, c.Duration), BarMax) : 0;
            if (m.End)
                TrimSetEnd(marks, m.Position, c.Duration, bar, BarMax);
            else
                TrimSetStart(marks, m.Position, c.Duration, bar);
        }
        EXPECT_EQ(marks.StartMs, c.StartMs) << c.Name;
        EXPECT_EQ(marks.LengthMs, c.LengthMs) << c.Name;
        EXPECT_EQ(marks.SelStart, c.SelStart) << c.Name;
        EXPECT_EQ(marks.SelEnd, c.SelEnd) << c.Name;
    }
}

TEST(TrimMarks, TheListShowsTheConvertedPart) {
    rInputStreamInfo item;
    item.DurationUs = 125 * S;
    EXPECT_EQ(TrimRangeText(item), "");
    item.TrimStart = 5000;
    item.TrimLength = 60000;
    EXPECT_EQ(TrimRangeText(item), "00:00:05.000\u201300:01:05.000");
    // To the end of the file.
    item.TrimLength = 0;
    EXPECT_EQ(TrimRangeText(item), "00:00:05.000\u201300:02:05.000");
    // A length past the end is cut there, as the batch does.
    item.TrimLength = 600000;
    EXPECT_EQ(TrimRangeText(item), "00:00:05.000\u201300:02:05.000");
    item.TrimStart = 0;
    item.TrimLength = 2000;
    EXPECT_EQ(TrimRangeText(item), "00:00:00.000\u201300:00:02.000");
    // Marks between whole seconds, as they will be cut.
    item.TrimStart = 3520;
    item.TrimLength = 3681;
    EXPECT_EQ(TrimRangeText(item), "00:00:03.520\u201300:00:07.201");
    item.DurationUs = -1;
    item.TrimStart = 1000;
    item.TrimLength = 0;
    EXPECT_EQ(TrimRangeText(item), "00:00:01.000\u2013");
}

// Marks set on a picture keep that picture, at every common rate: the start, in whole
// milliseconds, still lies on the picture shown (the picture on screen there is the first
// of the part), and the end lies after the picture before it (the part ends before the one
// shown).
TEST(TrimMarks, MarksKeepThePictureOnScreen) {
    for (const auto& [num, den] : {std::pair{25, 1}, std::pair{30000, 1001}, std::pair{24000, 1001}, std::pair{60, 1}}) {
        const auto at = [&](int64_t k) { return (k * den * S + num / 2) / num; }; // as the player rounds
        for (int64_t k = 1; k < 5000; ++k) {
            TTrimMarks marks;
            TrimSetStart(marks, StartMarkPosition(at(k)), 1000 * S, 0);
            const int64_t start = int64_t(marks.StartMs) * 1000;
            ASSERT_TRUE(at(k) <= start && start < at(k + 1)) << num << "/" << den << " picture " << k;
            TrimSetEnd(marks, at(k + 2), 1000 * S, 0, BarMax);
            const int64_t end = start + int64_t(marks.LengthMs) * 1000;
            ASSERT_TRUE(at(k + 1) < end && end <= at(k + 2)) << num << "/" << den << " picture " << k + 2;
        }
    }
}

TEST(TrimChecks, ATrimOutsideTheFileOrBeyondTheFieldsIsNamedNeverWrapped) {
    constexpr int64_t Day = 86400000; // milliseconds
    struct TCase {
        const char* Name;
        int64_t DurationUs, StartMs, LengthMs;
        bool Ok;
        int64_t TrimStart;
        int32_t TrimLength;
        const char* Says;
    } cases[] = {
        {"inside", 60 * S, 1000, 2000, true, 1000, 2000, ""},
        {"to the end", 60 * S, 1000, 0, true, 1000, 0, ""},
        {"an end past the file's end is its end", 60 * S, 1000, 90000, true, 1000, 0, ""},
        {"an end past the fields' range and the file's end", 30 * Day * 1000, 0, 40 * Day, true, 0, 0, ""},
        {"starts at the end", 60 * S, 60000, 0, false, 0, 0, "starts at 60.000 s, at or after the end of the file (60.000 s)"},
        {"the 32-bit wrap, file long enough", 30 * Day * 1000, 2147483648, 0, false, 0, 0, "later than a conversion can start (2147483.647 s)"},
        {"the 32-bit wrap, past the end", 60 * S, 2147483648, 0, false, 0, 0, "starts at 2147483.648 s, at or after the end"},
        {"the wrap, duration unknown", -1, 2147483648, 0, false, 0, 0, "later than a conversion can start"},
        {"too long, duration unknown", -1, 0, 2147483648, false, 0, 0, "is longer (2147483.648 s)"},
        {"negative start", 60 * S, -5, 0, false, 0, 0, "starts before the file does"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        rInputStreamInfo item;
        item.FileName = "/films/a.mp4";
        item.DurationUs = c.DurationUs;
        std::string error;
        EXPECT_EQ(SetTrim(item, c.StartMs, c.LengthMs, error), c.Ok) << error;
        EXPECT_EQ(item.TrimStart, c.TrimStart);
        EXPECT_EQ(item.TrimLength, c.TrimLength);
        EXPECT_NE(error.find(c.Says), std::string::npos) << error;
        if (!c.Ok) {
            EXPECT_NE(error.find("/films/a.mp4"), std::string::npos) << error;
        }
        EXPECT_EQ(TrimProblem(item), "");
        // The batch checks a record that was set by other means, too.
        item.TrimStart = c.StartMs;
        item.TrimLength = static_cast<int32_t>(c.LengthMs > 0 && c.LengthMs <= INT32_MAX ? c.LengthMs : 0);
        EXPECT_EQ(TrimProblem(item).empty(), c.Ok || c.LengthMs > INT32_MAX) << TrimProblem(item);
    }
}
