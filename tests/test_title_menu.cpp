// The title menu: its layout (pages of six, the bar, the remote's ways between buttons, the
// title-safe area), the buttons' and titles' commands in the authoring description, the
// button masks, and discs played through libdvdnav as a player does: the menu first, a
// button plays its title and the menu comes back, "Play all" plays every title in order,
// a second page reaches titles 7 and 8. Screenshots of a 4:3 and a 16:9 menu, decoded from
// the authored discs, go into <build>/screenshots.
#include <gtest/gtest.h>

#include <QDomDocument>
#include <QGuiApplication>

#include <filesystem>
#include <set>

#include "Core/MenuAuthoring.h"
#include "Core/MenuLayout.h"
#include "Core/MenuPainter.h"
#include "DiscNavigator.h"
#include "DiscTestSupport.h"

using namespace qm;
namespace fs = std::filesystem;

namespace {

bool Inside(const TMenuRect& AIn, const TMenuRect& AOut) {
    return AIn.X0 >= AOut.X0 && AIn.Y0 >= AOut.Y0 && AIn.X1 <= AOut.X1 && AIn.Y1 <= AOut.Y1;
}

bool Overlap(const TMenuRect& A, const TMenuRect& B) {
    return A.X0 < B.X1 && B.X0 < A.X1 && A.Y0 < B.Y1 && B.Y0 < A.Y1;
}

std::vector<TMenuButtonKind> Kinds(const TMenuPage& APage) {
    std::vector<TMenuButtonKind> kinds;
    for (const auto& b : APage.Buttons)
        kinds.push_back(b.Kind);
    return kinds;
}

} // namespace

TEST(MenuLayout, PagesOfSixWithTheBar) {
    struct {
        int Titles;
        size_t Pages;
        size_t LastPageButtons;
    } cases[] = {{1, 1, 2}, {6, 1, 7}, {7, 2, 3}, {8, 2, 4}, {12, 2, 8}, {99, 17, 5}};
    for (const auto& c : cases) {
        const TMenuLayout l = LayoutMenu(c.Titles, 576, false);
        ASSERT_EQ(l.Pages.size(), c.Pages) << c.Titles;
        EXPECT_EQ(l.Pages.back().Buttons.size(), c.LastPageButtons) << c.Titles;
        int title = 0;
        for (const auto& page : l.Pages)
            for (const auto& b : page.Buttons)
                if (b.Kind == mbTitle) {
                    EXPECT_EQ(b.Title, ++title) << c.Titles;
                }
        EXPECT_EQ(title, c.Titles);
    }
    const TMenuLayout l = LayoutMenu(14, 576, false);
    using K = std::vector<TMenuButtonKind>;
    EXPECT_EQ(Kinds(l.Pages[0]), (K{mbTitle, mbTitle, mbTitle, mbTitle, mbTitle, mbTitle, mbPlayAll, mbNext}));
    EXPECT_EQ(Kinds(l.Pages[1]),
              (K{mbTitle, mbTitle, mbTitle, mbTitle, mbTitle, mbTitle, mbPrevious, mbPlayAll, mbNext}));
    EXPECT_EQ(Kinds(l.Pages[2]), (K{mbTitle, mbTitle, mbPrevious, mbPlayAll}));
    EXPECT_EQ(MenuPageOfTitle(6), 0);
    EXPECT_EQ(MenuPageOfTitle(7), 1);
    EXPECT_EQ(MenuPageOfTitle(99), 16);
}

TEST(MenuLayout, ButtonsInsideTheSafeAreaApartAndReachable) {
    for (const int height : {576, 480})
        for (const bool wide : {false, true}) {
            const TMenuLayout l = LayoutMenu(14, height, wide);
            const std::string what = std::to_string(height) + (wide ? " 16:9" : " 4:3");
            EXPECT_EQ(l.DisplayWidth, wide ? (height == 576 ? 1024 : 854) : (height == 576 ? 768 : 640)) << what;
            for (const auto& page : l.Pages) {
                const auto& buttons = page.Buttons;
                for (size_t i = 0; i < buttons.size(); ++i) {
                    const TMenuButton& b = buttons[i];
                    EXPECT_TRUE(Inside(b.Frame, l.Safe)) << what << " button " << i + 1;
                    EXPECT_TRUE(Inside(b.Label, b.Frame)) << what << " button " << i + 1;
                    EXPECT_EQ(b.Stored.Y0 % 2, 0);
                    EXPECT_EQ(b.Stored.Y1 % 2, 0);
                    EXPECT_TRUE(Inside(b.Stored, TMenuRect{0, 0, 720, height}));
                    for (size_t j = i + 1; j < buttons.size(); ++j)
                        EXPECT_FALSE(Overlap(b.Stored, buttons[j].Stored)) << what << " " << i + 1 << "/" << j + 1;
                }
                // Every button can be reached from the first with the arrows.
                std::set<int> reached{1};
                std::vector<int> todo{1};
                while (!todo.empty()) {
                    const TMenuButton& b = buttons[size_t(todo.back() - 1)];
                    todo.pop_back();
                    for (int next : {b.Up, b.Down, b.Left, b.Right}) {
                        ASSERT_GE(next, 1);
                        ASSERT_LE(next, int(buttons.size()));
                        if (reached.insert(next).second)
                            todo.push_back(next);
                    }
                }
                EXPECT_EQ(reached.size(), buttons.size()) << what << " page " << page.Index + 1;
            }
        }
    // The arrows go where they point: right of the first title is the second, down from
    // the first is the fourth, down from the fifth is "Play all", left of "Next" too.
    const TMenuLayout l = LayoutMenu(14, 576, false);
    const auto& b = l.Pages[1].Buttons; // 1-6 titles, 7 Previous, 8 Play all, 9 Next
    EXPECT_EQ(b[0].Right, 2);
    EXPECT_EQ(b[0].Down, 4);
    EXPECT_EQ(b[4].Down, 8);
    EXPECT_EQ(b[8].Left, 8);
    EXPECT_EQ(b[6].Right, 8);
    EXPECT_EQ(b[7].Up, 5);
}

TEST(MenuAuthoring, ButtonAndTitleCommands) {
    const TMenuLayout l = LayoutMenu(8, 576, false);
    EXPECT_EQ(MenuButtonCommands(l, 0, 2), "g1 = 0; jump title 2;");
    EXPECT_EQ(MenuButtonCommands(l, 0, 7), "g1 = 1; jump title 1;");
    EXPECT_EQ(MenuButtonCommands(l, 0, 8), "jump menu 2;");
    EXPECT_EQ(MenuButtonCommands(l, 1, 2), "g1 = 0; jump title 8;");
    EXPECT_EQ(MenuButtonCommands(l, 1, 3), "jump menu 1;");
    EXPECT_EQ(TitleEndCommands(1, 8), "if (g1 == 1) jump title 2; call vmgm menu 1;");
    EXPECT_EQ(TitleEndCommands(7, 8), "if (g1 == 1) jump title 8; call vmgm menu 2;");
    EXPECT_EQ(TitleEndCommands(8, 8), "if (g1 == 1) { g1 = 0; call vmgm menu 1; } call vmgm menu 2;");
}

TEST(MenuAuthoring, MenusAddedToTheDescription) {
    auto document = [](int ATitles) {
        QDomDocument doc;
        doc.setContent(QString("<dvdauthor><vmgm/><titleset><titles><!-- x -->") +
                       QString("<pgc><vob file=\"a\"/><post>exit;</post></pgc>").repeated(ATitles) +
                       "</titles></titleset></dvdauthor>");
        return doc;
    };
    const TMenuLayout wide = LayoutMenu(8, 480, true);
    QDomDocument doc = document(8);
    std::string error;
    ASSERT_TRUE(AddTitleMenu(doc, wide, {"p1.mpg", "p2.mpg"}, "ntsc", error)) << error;
    const QDomElement vmgm = doc.documentElement().firstChildElement("vmgm");
    EXPECT_EQ(vmgm.firstChildElement("fpc").text(), "g1 = 0; jump vmgm menu 1;");
    const QDomElement menus = vmgm.firstChildElement("menus");
    const QDomElement video = menus.firstChildElement("video");
    EXPECT_EQ(video.attribute("format"), "ntsc");
    EXPECT_EQ(video.attribute("aspect"), "16:9");
    EXPECT_EQ(video.attribute("widescreen"), "nopanscan");
    EXPECT_EQ(menus.firstChildElement("subpicture").elementsByTagName("stream").count(), 2);
    QDomElement page = menus.firstChildElement("pgc");
    EXPECT_EQ(page.attribute("entry"), "title");
    EXPECT_EQ(page.firstChildElement("vob").attribute("file"), "p1.mpg");
    EXPECT_EQ(page.firstChildElement("vob").attribute("pause"), "inf");
    EXPECT_EQ(page.elementsByTagName("button").count(), 8);
    page = page.nextSiblingElement("pgc");
    EXPECT_FALSE(page.hasAttribute("entry"));
    EXPECT_EQ(page.elementsByTagName("button").count(), 4);
    EXPECT_EQ(page.lastChildElement("button").attribute("name"), "b4");
    EXPECT_EQ(page.lastChildElement("button").text(), "g1 = 1; jump title 1;");
    const QDomNodeList posts = doc.elementsByTagName("post");
    ASSERT_EQ(posts.count(), 8);
    EXPECT_EQ(posts.at(0).toElement().text(), QString::fromStdString(TitleEndCommands(1, 8)));

    QDomDocument narrow = document(3);
    ASSERT_TRUE(AddTitleMenu(narrow, LayoutMenu(3, 576, false), {"p.mpg"}, "pal", error));
    EXPECT_FALSE(narrow.documentElement().firstChildElement("vmgm").firstChildElement("menus")
                     .firstChildElement("video").hasAttribute("widescreen"));
    QDomDocument mismatch = document(2);
    EXPECT_FALSE(AddTitleMenu(mismatch, LayoutMenu(3, 576, false), {"p.mpg"}, "pal", error));
    EXPECT_FALSE(error.empty());
}

class MenuPainter : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 3;
        static char arg0[] = "test", arg1[] = "-platform", arg2[] = "offscreen";
        static char* argv[] = {arg0, arg1, arg2, nullptr};
        if (!QGuiApplication::instance())
            new QGuiApplication(argc, argv);
    }
};

TEST_F(MenuPainter, MasksHoldTwoColoursOnTheButtonFramesOnly) {
    for (const bool wide : {false, true})
        for (const bool letterbox : {false, true}) {
            if (letterbox && !wide)
                continue;
            const TMenuLayout l = LayoutMenu(8, 576, wide);
            const QImage mask = PaintButtonMask(l, 0, MenuHighlightColour, letterbox);
            ASSERT_EQ(mask.format(), QImage::Format_Indexed8);
            ASSERT_EQ(mask.size(), QSize(720, 576));
            EXPECT_EQ(mask.colorCount(), 2);
            EXPECT_EQ(qAlpha(mask.color(0)), 0);
            EXPECT_EQ(mask.color(1), MenuHighlightColour);
            const auto& buttons = l.Pages[0].Buttons;
            // The frames as spumux gets them, placed for the letterboxed view when asked.
            auto stored = [&](const TMenuRect& r) {
                if (!letterbox)
                    return r;
                return TMenuRect{r.X0, 72 + r.Y0 * 3 / 4 - 2, r.X1, 72 + r.Y1 * 3 / 4 + 2};
            };
            std::vector<int> perButton(buttons.size(), 0);
            for (int y = 0; y < 576; ++y)
                for (int x = 0; x < 720; ++x) {
                    const int index = mask.pixelIndex(x, y);
                    ASSERT_LE(index, 1);
                    if (index == 0)
                        continue;
                    bool in = false;
                    for (size_t b = 0; b < buttons.size(); ++b) {
                        const TMenuRect r = stored(buttons[b].Stored);
                        if (x >= r.X0 - 1 && x <= r.X1 && y >= r.Y0 && y <= r.Y1) {
                            ++perButton[b];
                            in = true;
                            break;
                        }
                    }
                    ASSERT_TRUE(in) << "a mask pixel outside every button at " << x << "," << y;
                }
            for (size_t b = 0; b < buttons.size(); ++b)
                EXPECT_GT(perButton[b], 100) << "button " << b + 1 << (letterbox ? " letterboxed" : "");
        }
}

TEST_F(MenuPainter, PageInTheFrameAndPreviewInTheDisplayShape) {
    const TMenuLayout l = LayoutMenu(3, 480, true);
    std::vector<TMenuTitle> titles(3);
    titles[0].Name = "First";
    titles[1].Name = QString("A name far too long to fit under its picture, so it is cut short");
    QImage still(720, 480, QImage::Format_RGB32);
    still.fill(Qt::red);
    titles[2].Picture = still;
    const QImage page = PaintMenuPage(l, 0, titles);
    EXPECT_EQ(page.size(), QSize(720, 480));
    const QImage preview = PreviewMenuPage(l, 0, titles);
    EXPECT_EQ(preview.size(), QSize(854, 480));
    // The third title's still is drawn into its picture rectangle.
    const TMenuRect p = l.Pages[0].Buttons[2].Picture;
    const QColor middle = preview.pixelColor((p.X0 + p.X1) / 2, (p.Y0 + p.Y1) / 2);
    EXPECT_GT(middle.red(), 200);
    EXPECT_LT(middle.green(), 60);
    // Outside the safe area there is only the background: no text, no frame.
    const QColor corner = preview.pixelColor(5, 5), edge = preview.pixelColor(5, 470);
    EXPECT_LT(std::max({corner.red(), corner.green(), corner.blue()}), 100);
    EXPECT_LT(std::max({edge.red(), edge.green(), edge.blue()}), 100);
}

namespace {

// The first picture of the disc's menu, decoded by the engine in the display's shape.
void SaveMenuScreenshot(const std::string& AFolder, const std::string& ASize, const std::string& AName) {
    const std::string dir = QM_SCREENSHOT_DIR;
    fs::create_directories(dir);
    const std::string shot = dir + "/" + AName + ".png";
    fs::remove(shot);
    const auto run = test::RunCommand(test::ShellQuote(test::BinDir() + "/quillmoor-cli") + " engine -i " +
                                      test::ShellQuote(AFolder + "/VIDEO_TS/VIDEO_TS.VOB") + " -vframes 1 -update 1 -s " +
                                      ASize + " -f image2 -vcodec png " + test::ShellQuote(shot));
    EXPECT_EQ(run.ExitCode, 0) << run.Output;
    // A drawn page, not a black or empty frame, compresses to far more than a plain one.
    EXPECT_GT(fs::exists(shot) ? fs::file_size(shot) : 0, 30000u) << shot;
}

} // namespace

TEST(MenuDisc, ThreeTitlesFourByThree) {
    REQUIRE_DISC_TOOLS();
    test::TTempDir dir;
    const auto clips = test::WriteClips(dir, {1, 1, 1}, 160, 120);
    const std::string out = dir / "out";
    const auto run = test::ConvertDisc("-p pal-lp --menu --title " + test::ShellQuote(clips[1] + "=Second clip"),
                                       clips, out);
    ASSERT_EQ(run.ExitCode, 0) << run.Output;
    EXPECT_EQ(run.Output.find("WARN"), std::string::npos) << run.Output;
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(out))
        left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"AUDIO_TS", "VIDEO_TS"}));
    SaveMenuScreenshot(out, "768x576", "menu-4x3");

    test::TDiscNavigator player(out);
    ASSERT_TRUE(player.Open());
    ASSERT_TRUE(player.PlayToMenu());
    EXPECT_TRUE(player.Played().empty()) << "the menu is the first thing shown";
    EXPECT_EQ(player.Buttons(), 4); // three titles and "Play all"
    ASSERT_TRUE(player.Press(2));
    EXPECT_EQ(player.Played(), (std::vector<int>{2}));
    EXPECT_EQ(player.Buttons(), 4) << "back in the menu after the title";
    ASSERT_TRUE(player.Press(4));
    EXPECT_EQ(player.Played(), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(player.Buttons(), 4);
    // "Play all" ended: a title played alone afterwards returns to the menu, not the next.
    ASSERT_TRUE(player.Press(1));
    EXPECT_EQ(player.Played(), (std::vector<int>{1}));
}

TEST(MenuDisc, EightTitlesWideOnTwoPages) {
    REQUIRE_DISC_TOOLS();
    test::TTempDir dir;
    const auto clips = test::WriteClips(dir, std::vector<double>(8, 0.6), 320, 180);
    const std::string out = dir / "out";
    const auto run = test::ConvertDisc("-p ntsc-std --menu --jobs 2", clips, out);
    ASSERT_EQ(run.ExitCode, 0) << run.Output;
    EXPECT_EQ(run.Output.find("WARN"), std::string::npos) << run.Output;
    SaveMenuScreenshot(out, "854x480", "menu-16x9");
    // The menus' streams stay within what the disc's plan keeps for them.
    uintmax_t menuBytes = 0;
    for (const auto& e : fs::directory_iterator(out + "/VIDEO_TS")) {
        const std::string name = e.path().filename().string();
        if (name == "VIDEO_TS.VOB" || (name.size() == 12 && name.compare(6, 6, "_0.VOB") == 0))
            menuBytes += e.file_size();
    }
    EXPECT_GT(menuBytes, 0u);
    EXPECT_LE(menuBytes, uintmax_t(TitleMenuBytes(8)));

    test::TDiscNavigator player(out);
    ASSERT_TRUE(player.Open());
    ASSERT_TRUE(player.PlayToMenu());
    EXPECT_EQ(player.Buttons(), 8); // six titles, "Play all", "Next"
    ASSERT_TRUE(player.Press(8));
    EXPECT_TRUE(player.Played().empty());
    EXPECT_EQ(player.Buttons(), 4); // titles 7 and 8, "Previous", "Play all"
    ASSERT_TRUE(player.Press(1));
    EXPECT_EQ(player.Played(), (std::vector<int>{7}));
    EXPECT_EQ(player.Buttons(), 4) << "back on the page of title 7";
    ASSERT_TRUE(player.Press(2));
    EXPECT_EQ(player.Played(), (std::vector<int>{8}));
    ASSERT_TRUE(player.Press(3));
    EXPECT_EQ(player.Buttons(), 8) << "\"Previous\" leads to the first page";
}
