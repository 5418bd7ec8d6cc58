// The player drawing into a host's X11 window (run under Xvfb): the picture is where the
// aspect rules put it, follows the window's size, and a click is handed back to the host.
// Skips when no X server can be reached.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "Fixtures.h"
#include "Loader/FFmpegLoader.h"
#include "Platform/MainThread.h"
#include "Player/FFPlayer.h"

// Last: X11's macros (None, Status, ...) would clash with the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

using namespace qm;
using qm::fixtures::FixturePath;
using namespace std::chrono_literals;

namespace {

struct TRgb {
    int R, G, B;
};

std::ostream& operator<<(std::ostream& os, const TRgb& c) {
    return os << "(" << c.R << "," << c.G << "," << c.B << ")";
}

class PlayerWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ::unsetenv("SDL_VIDEODRIVER");
        ::setenv("SDL_AUDIODRIVER", "disk", 1);
        const std::string audio = (std::filesystem::temp_directory_path() /
                                   ("qm-player-x11-" + std::to_string(::getpid()) + ".raw"))
                                      .string();
        ::setenv("SDL_DISKAUDIOFILE", audio.c_str(), 1);
        TMainThread::Install();
        ASSERT_TRUE(GlobalLoader.LoadLibraries(PlayerLibraries)) << GlobalLoader.LastErrMsg();
    }
    static void TearDownTestSuite() {
        if (const char* audio = std::getenv("SDL_DISKAUDIOFILE"))
            std::remove(audio);
    }

    void SetUp() override {
        FDisplay = XOpenDisplay(nullptr);
        if (!FDisplay)
            GTEST_SKIP() << "no X server";
        if (DefaultDepth(FDisplay, DefaultScreen(FDisplay)) < 24)
            GTEST_SKIP() << "the X server's screen has fewer than 24 bits per pixel";
        // The host takes no mouse presses itself, so the player may.
        FWindow = XCreateSimpleWindow(FDisplay, DefaultRootWindow(FDisplay), 0, 0, 320, 240, 0,
                                      0, 0x00ff00);
        XSelectInput(FDisplay, FWindow, StructureNotifyMask);
        XMapWindow(FDisplay, FWindow);
        XSync(FDisplay, False);
        Player.OnPosition = [this](TCustomPlayer&, int64_t) { ++Reports; };
        Player.OnHostFocus = [this](TCustomPlayer&) { ++FocusRequests; };
        Player.SetDisableAudio(true);
    }
    void TearDown() override {
        Player.Stop(true);
        if (FDisplay) {
            XDestroyWindow(FDisplay, FWindow);
            XCloseDisplay(FDisplay);
        }
    }

    // Waits for a few more pictures to be shown.
    bool WaitForPictures(int ACount = 4) {
        const int target = Reports + ACount;
        return TMainThread::WaitFor([&] { return Reports >= target; }, 8000ms);
    }
    TRgb Pixel(int AX, int AY) {
        XImage* image = XGetImage(FDisplay, FWindow, AX, AY, 1, 1, AllPlanes, ZPixmap);
        if (!image)
            return {-1, -1, -1};
        const unsigned long p = XGetPixel(image, 0, 0);
        XDestroyImage(image);
        return {int((p >> 16) & 0xff), int((p >> 8) & 0xff), int(p & 0xff)};
    }
    static bool Near(const TRgb& AColour, const TRgb& AWanted) {
        return std::abs(AColour.R - AWanted.R) < 48 && std::abs(AColour.G - AWanted.G) < 48 &&
               std::abs(AColour.B - AWanted.B) < 48;
    }
    void Resize(int AWidth, int AHeight) {
        XResizeWindow(FDisplay, FWindow, AWidth, AHeight);
        XSync(FDisplay, False);
    }

    Display* FDisplay = nullptr;
    Window FWindow = 0;
    TFFPlayer Player;
    int Reports = 0; // main thread
    int FocusRequests = 0;
};

const TRgb Red{255, 0, 0}, Grey{128, 128, 128}, White{255, 255, 255}, Black{0, 0, 0};

// known_layout.mp4: 320x240, red 16-pixel border, grey field, white square at (80,60) of side
// 60.
TEST_F(PlayerWindowTest, DrawsIntoTheHostWindowAndFollowsItsSize) {
    ASSERT_TRUE(Player.Open(FixturePath("known_layout.mp4"), FWindow)) << Player.LastError();
    EXPECT_EQ(Player.ScreenWidth(), 320) << "the host's size, as no handler set one";
    EXPECT_EQ(Player.ScreenHeight(), 240);
    ASSERT_TRUE(WaitForPictures());
    EXPECT_PRED2(Near, Pixel(4, 4), Red);
    EXPECT_PRED2(Near, Pixel(40, 200), Grey);
    EXPECT_PRED2(Near, Pixel(110, 90), White);

    // Wider than the picture: it keeps its shape, centred at full height, black beside it.
    Resize(480, 240);
    ASSERT_TRUE(WaitForPictures());
    EXPECT_EQ(Player.ScreenWidth(), 480);
    EXPECT_PRED2(Near, Pixel(40, 120), Black);
    EXPECT_PRED2(Near, Pixel(440, 120), Black);
    EXPECT_PRED2(Near, Pixel(84, 4), Red);
    EXPECT_PRED2(Near, Pixel(190, 90), White);

    // Stretched to the window.
    Player.SetAspectRatio(-1);
    ASSERT_TRUE(WaitForPictures());
    EXPECT_PRED2(Near, Pixel(4, 120), Red);
    EXPECT_PRED2(Near, Pixel(475, 120), Red);
    EXPECT_PRED2(Near, Pixel(240, 120), Grey);

    // A forced 1:1 shape in the 480x240 window: 240x240 in the middle.
    Player.SetAspectRatio(1);
    ASSERT_TRUE(WaitForPictures());
    EXPECT_PRED2(Near, Pixel(100, 120), Black);
    EXPECT_PRED2(Near, Pixel(124, 120), Red);
    EXPECT_PRED2(Near, Pixel(380, 120), Black);
}

TEST_F(PlayerWindowTest, AClickOnThePictureGoesToTheHost) {
    ASSERT_TRUE(Player.Open(FixturePath("known_layout.mp4"), FWindow)) << Player.LastError();
    ASSERT_TRUE(WaitForPictures(1));
    XEvent press{};
    press.xbutton.type = ButtonPress;
    press.xbutton.display = FDisplay;
    press.xbutton.window = FWindow;
    press.xbutton.root = DefaultRootWindow(FDisplay);
    press.xbutton.button = Button1;
    press.xbutton.x = press.xbutton.y = 50;
    press.xbutton.same_screen = True;
    XSendEvent(FDisplay, FWindow, False, ButtonPressMask, &press);
    XSync(FDisplay, False);
    EXPECT_TRUE(TMainThread::WaitFor([&] { return FocusRequests > 0; }, 8000ms));
}

} // namespace
