// The batch under faults and hostile input, through quillmoor-cli convert and the batch
// itself: damaged files, names that are no files, signals and what killed batches leave,
// lengths and trims that do not fit, no home folder.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <QString>

#include "Core/DvdBatch.h"
#include "Core/FileNames.h"
#include "Core/InputList.h"
#include "Core/WorkFolders.h"
#include "Fixtures.h"
#include "Loader/FFmpegLoader.h"
#include "Platform/MainThread.h"
#include "Probe/AVProbe.h"
#include "Probe/DvdStreamCheck.h"
#include "TestUtils.h"

using namespace qm;
namespace fs = std::filesystem;

namespace {

std::string Cli() { return test::BinDir() + "/quillmoor-cli"; }

std::string Quoted(const std::string& APath) { return test::ShellQuote(APath); }

bool DvdauthorMissing() { return test::RunCommand("command -v dvdauthor").ExitCode != 0; }

#define REQUIRE_DVDAUTHOR()                                                                        \
    if (DvdauthorMissing())                                                                        \
    GTEST_SKIP() << "dvdauthor is not installed (scripts/install-deps.sh installs it)"

std::string ReadAll(const std::string& APath) {
    std::ifstream in(APath, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A copy of fixture AName at APath with ABytes written over the bytes AOffset after the
// first box of type ABox (its four letters); "" when there is no such box.
std::string PatchedCopy(const std::string& AName, const std::string& APath, const char* ABox, size_t AOffset,
                        const std::string& ABytes) {
    std::string data = ReadAll(fixtures::FixturePath(AName));
    const size_t box = data.find(ABox);
    if (box == std::string::npos || box + AOffset + ABytes.size() > data.size())
        return {};
    data.replace(box + AOffset, ABytes.size(), ABytes);
    std::ofstream(APath, std::ios::binary) << data;
    return APath;
}

// An MP4 whose picture parameters (the H.264 sequence header in "avcC") are garbage: its
// pixel format cannot be known.
std::string UnknownPixelFormatMp4(const std::string& APath) {
    const std::string data = ReadAll(fixtures::FixturePath("mp4_h264_aac.mp4"));
    const size_t avcc = data.find("avcC");
    if (avcc == std::string::npos)
        return {};
    const size_t spsLength = (uint8_t(data[avcc + 10]) << 8) | uint8_t(data[avcc + 11]);
    // The NAL unit's header, profile and level stay; from the header's number on it is zeros,
    // which no sequence header can be.
    return PatchedCopy("mp4_h264_aac.mp4", APath, "avcC", 16, std::string(spsLength - 4, '\0'));
}

// An MP4 of two seconds whose movie header claims 0xfffffff0 ms, 49.7 days.
std::string FortyNineDaysMp4(const std::string& APath) {
    return PatchedCopy("mp4_h264_aac.mp4", APath, "mvhd", 20, "\xff\xff\xff\xf0");
}

class ReliabilityTest : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("XDG_CONFIG_HOME", (Dir / "config").c_str(), 1); }
    // quillmoor-cli convert with AArgs (shell words, quoted by the caller) into Out.
    test::TRunResult Convert(const std::string& AArgs) {
        return test::RunCommand("timeout -s KILL 300 " + Quoted(Cli()) + " convert -p pal-lp -o " + Quoted(Out) +
                                " " + AArgs);
    }
    // The names in Out, the batch's working folders among them.
    std::vector<std::string> Left() const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(Out, ec))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    test::TTempDir Dir;
    const std::string Out = Dir / "out";
};

} // namespace

TEST_F(ReliabilityTest, ADamagedFileIsLeftOffAndTheOthersReachTheDisc) {
    REQUIRE_DVDAUTHOR();
    const std::string good = fixtures::FixturePath("avi_mpeg4_mp3.avi");
    const std::string damaged = UnknownPixelFormatMp4(Dir / "damaged.mp4");
    ASSERT_FALSE(damaged.empty());
    const std::string other = fixtures::FixturePath("mp4_no_audio.mp4");
    const auto run = Convert(Quoted(good) + " " + Quoted(damaged) + " " + Quoted(other));
    EXPECT_EQ(run.ExitCode, 1) << run.Output;
    EXPECT_NE(run.Output.find("title 1: " + good), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("title 2: " + other), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("not on the disc: " + damaged + " ("), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("pixel format is unknown"), std::string::npos) << run.Output;
    EXPECT_EQ(Left(), (std::vector<std::string>{"AUDIO_TS", "VIDEO_TS"})) << run.Output;
}

TEST_F(ReliabilityTest, NamesThatAreNoFilesAreRefusedWithoutWaiting) {
    REQUIRE_DVDAUTHOR();
    // A named pipe nobody writes into would block its reader for ever.
    const std::string pipe = Dir / "pipe.mp4", good = fixtures::FixturePath("mp4_no_audio.mp4");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const auto run = Convert(Quoted(pipe) + " " + Quoted(good) + " /dev/zero");
    EXPECT_EQ(run.ExitCode, 1) << run.Output;
    EXPECT_NE(run.Output.find(pipe), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("/dev/zero"), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("title 1: " + good), std::string::npos) << run.Output;
}

TEST_F(ReliabilityTest, AFileReplacedByAPipeAfterItWasAddedIsNamedNotWaitedFor) {
    ASSERT_TRUE(GlobalLoader.LoadLibraries(ConverterLibraries)) << GlobalLoader.LastErrMsg();
    TMainThread::Install();
    const std::string name = Dir / "clip.mp4";
    fs::copy_file(fixtures::FixturePath("mp4_h264_aac.mp4"), name);
    TAVProbe probe;
    TInputList list;
    ASSERT_EQ(list.Add({name}, probe), "");
    fs::remove(name);
    ASSERT_EQ(::mkfifo(name.c_str(), 0600), 0);
    TDvdBatch batch(test::BinDir() + "/");
    batch.OutPath = Out;
    const TBatchResult result = batch.Convert(list.Items());
    EXPECT_FALSE(result.Authored);
    ASSERT_EQ(result.Files.size(), 1u);
    EXPECT_EQ(result.Files[0].Error, name + " is a named pipe (FIFO), not a file that can be converted.");
    EXPECT_TRUE(Left().empty());
}

TEST_F(ReliabilityTest, AClosedTerminalStopsTheBatchAndRemovesItsFiles) {
    const std::string clip = Dir / "long.mp4";
    const auto made = test::RunCommand(Quoted(test::BinDir() + "/make-fixtures") + " --clip " + Quoted(clip) +
                                       " size=160x120 duration=8");
    ASSERT_EQ(made.ExitCode, 0) << made.Output;
    bool signalled = false;
    const auto run = test::RunSignalledWhen({Cli(), "convert", "-o", Out, clip}, "converting 1/1", SIGHUP, signalled);
    ASSERT_TRUE(signalled) << run.Output;
    EXPECT_EQ(run.ExitCode, 2) << run.Output;
    EXPECT_TRUE(Left().empty()) << run.Output;
}

TEST_F(ReliabilityTest, WorkingFoldersOfBatchesThatAreGoneAreRemovedAndNamed) {
    fs::create_directories(Out);
    const std::string out = Out + "/";
    // A process that has ended: its id names no process now.
    const pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    ASSERT_GT(gone, 0);
    ::waitpid(gone, nullptr, 0);
    auto make = [&](const std::string& AOwner) {
        std::string folder, error;
        EXPECT_TRUE(MakeWorkFolder(out, folder, error)) << error;
        if (!AOwner.empty())
            std::ofstream(folder + WorkFolderOwnerFile) << AOwner;
        std::ofstream(folder + "Movies0.mpg") << "half a stream";
        return folder.substr(0, folder.size() - 1);
    };
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    const std::string running = make(""); // this process, as made
    const std::string killed = make("pid=" + std::to_string(gone) + "\nstart=1\nhost=" + host + "\n");
    const std::string killedEarly = make("pid=" + std::to_string(gone) + "\nhost=" + host + "\n");
    const std::string elsewhere = make("pid=" + std::to_string(gone) + "\nstart=1\nhost=another-" + host + "\n");
    const std::string unmarked = make("garbage");
    fs::create_directories(Out + "/.quillmoor-"); // not a working folder's name of ours, but alike
    fs::create_directories(Out + "/mine");

    const auto notes = RemoveStaleWorkFolders(out);
    for (const auto& [folder, removed] : std::vector<std::pair<std::string, bool>>{
             {running, false}, {killed, true}, {killedEarly, true}, {elsewhere, false}, {unmarked, false}}) {
        SCOPED_TRACE(folder);
        EXPECT_EQ(fs::exists(folder), !removed);
        const std::string said = removed ? "Removed the folder " + folder + " left by an earlier batch (process " +
                                               std::to_string(gone) + ") that did not end."
                                         : "The folder " + folder + " was left by an earlier batch that cannot be told";
        const bool named = std::any_of(notes.begin(), notes.end(),
                                       [&](const std::string& ANote) { return ANote.rfind(said, 0) == 0; });
        EXPECT_EQ(named, removed || folder == unmarked);
    }
    EXPECT_TRUE(fs::exists(Out + "/mine"));
}

TEST_F(ReliabilityTest, AHeaderLengthTheFileCannotHoldIsNotBelieved) {
    REQUIRE_DVDAUTHOR();
    const std::string liar = FortyNineDaysMp4(Dir / "49 days.mp4");
    ASSERT_FALSE(liar.empty());
    const auto probe = test::RunCommand(Quoted(Cli()) + " probe " + Quoted(liar));
    ASSERT_NE(probe.Output.find("duration:  49 17:02:47"), std::string::npos) << "it claims 49 days: " << probe.Output;
    const auto run = Convert(Quoted(liar));
    EXPECT_EQ(run.ExitCode, 0) << run.Output;
    EXPECT_NE(run.Output.find("title 1: " + liar), std::string::npos) << run.Output;
}

TEST_F(ReliabilityTest, ATrimOutsideTheFileIsAnErrorNamingIt) {
    const std::string file = fixtures::FixturePath("mp4_h264_aac.mp4");
    for (const char* trim : {"=2147483.648-", "=4294967.297-", "=2.5-", "=596:31:23.648-"}) {
        SCOPED_TRACE(trim);
        const auto run = Convert("--trim " + Quoted(file + trim) + " " + Quoted(file));
        EXPECT_EQ(run.ExitCode, 1) << run.Output;
        EXPECT_NE(run.Output.find("The trim of " + file + " starts at "), std::string::npos) << run.Output;
        EXPECT_FALSE(fs::exists(Out));
    }
}

TEST_F(ReliabilityTest, WithoutAHomeTheDiscGoesIntoTheCurrentFolder) {
    REQUIRE_DVDAUTHOR();
    const std::string file = fixtures::FixturePath("mp4_no_audio.mp4");
    const auto run = test::RunCommand("cd " + Quoted(Dir.Path().string()) + " && env -u HOME " + Quoted(Cli()) +
                                      " convert -p pal-lp " + Quoted(file));
    EXPECT_EQ(run.ExitCode, 0) << run.Output;
    const std::string disc = Dir / "Tarnwick Quillmoor/VIDEO_TS";
    EXPECT_NE(run.Output.find("There is no home folder (HOME), so the disc goes into " + Dir / "Tarnwick Quillmoor/"),
              std::string::npos)
        << run.Output;
    EXPECT_TRUE(fs::exists(disc + "/VIDEO_TS.IFO")) << run.Output;
}

TEST_F(ReliabilityTest, NamesThatAreNotUtf8AreKeptAsBytes) {
    // Latin-1 names from an old archive: é is the single byte E9, è E8.
    const std::string folder = Dir / "caf\xe9 films", out = Dir / "sortie \xe9t\xe9";
    fs::create_directories(folder);
    const std::string e9 = folder + "/caf\xe9.mp4", e8 = folder + "/caf\xe8.mp4";
    fs::copy_file(fixtures::FixturePath("mp4_no_audio.mp4"), e9);
    fs::copy_file(fixtures::FixturePath("mp4_no_audio.mp4"), e8);

    // Both show as "caf�.mp4", yet they are two files; letter case is still ignored.
    EXPECT_FALSE(SameFileName(e9, e8));
    EXPECT_TRUE(SameFileName(e9, Dir / "CAF\xe9 FILMS/CAF\xe9.MP4"));
    EXPECT_TRUE(SameFileName("/films/Café.mp4", "/FILMS/CAFÉ.MP4"));
    EXPECT_FALSE(IsValidUtf8(e9));
    // What the file dialog gives (a Qt text) leads back to the bytes on disk, unless two
    // names show alike: then neither is taken for the other.
    EXPECT_EQ(FileNameOnDisk(QString::fromStdString(folder + "/")), folder + "/");
    EXPECT_EQ(FileNameOnDisk(QString::fromStdString(e8)), QString::fromStdString(e8).toStdString());
    fs::create_directories(Dir / "alone");
    fs::copy_file(e8, Dir / "alone/caf\xe8.mp4");
    EXPECT_EQ(FileNameOnDisk(QString::fromStdString(Dir / "alone/caf\xe8.mp4")), Dir / "alone/caf\xe8.mp4");
    EXPECT_EQ(AbsoluteFileName("/a/./b/../caf\xe9.mp4"), "/a/caf\xe9.mp4");

    REQUIRE_DVDAUTHOR();
    const auto run = test::RunCommand("cd " + Quoted(folder) + " && " + Quoted(Cli()) + " convert -p pal-lp -o " +
                                      Quoted(out) + " " + Quoted("caf\xe9.mp4") + " " + Quoted(e8));
    EXPECT_EQ(run.ExitCode, 0) << run.Output;
    EXPECT_NE(run.Output.find("title 1: " + e9), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("title 2: " + e8), std::string::npos) << run.Output;
    EXPECT_TRUE(fs::exists(out + "/VIDEO_TS/VIDEO_TS.IFO")) << run.Output;
}

TEST_F(ReliabilityTest, AConvertedStreamIsReadBackBeforeItIsAuthored) {
    ASSERT_TRUE(GlobalLoader.LoadLibraries(ConverterLibraries)) << GlobalLoader.LastErrMsg();
    const std::string makeFixtures = Quoted(test::BinDir() + "/make-fixtures");
    for (const char* clip : {"sound.mpg vcodec=none", "long.mpg size=160x120 duration=15"}) {
        const auto made = test::RunCommand(makeFixtures + " --clip " + Quoted(Dir / "") + clip);
        ASSERT_EQ(made.ExitCode, 0) << made.Output;
    }
    std::ofstream(Dir / "empty.mpg") << "";
    struct TCase {
        std::string Path;
        int64_t ExpectedMs;
        std::string Says; // "" when it can be authored
    } cases[] = {
        {Dir / "long.mpg", 15000, ""},
        {Dir / "long.mpg", -1, ""},
        {Dir / "long.mpg", 1000, "The converted stream lasts 15."},
        {Dir / "sound.mpg", 2000, "The converted stream has no picture."},
        {Dir / "empty.mpg", 2000, "Cannot read the converted stream back: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Path + " " + std::to_string(c.ExpectedMs));
        const std::string problem = DvdStreamProblem(c.Path, c.ExpectedMs);
        if (c.Says.empty())
            EXPECT_EQ(problem, "");
        else
            EXPECT_EQ(problem.rfind(c.Says, 0), 0u) << problem;
    }
}

TEST_F(ReliabilityTest, AStreamTheAuthoringProgramStopsOnIsLeftOffAndTheOthersAuthoredAgain) {
    REQUIRE_DVDAUTHOR();
    // A program folder of its own whose dvdauthor stops on the second title's stream, the way
    // it stops on a stream without a picture in its first VOBU; with one title it is the real one.
    const fs::path program = Dir.Path() / "program";
    fs::create_directories(program / "Data/Quillmoor");
    fs::create_hard_link(Cli(), program / "quillmoor-cli");
    fs::copy_file(test::BinDir() + "/Data/Quillmoor/dvd.xml", program / "Data/Quillmoor/dvd.xml");
    const fs::path fake = program / "Data/Quillmoor/dvdauthor";
    std::ofstream(fake) << "#!/bin/sh\n"
                           "streams=$(grep -o 'file=\"[^\"]*\"' \"$2\" | cut -d'\"' -f2)\n"
                           "if [ \"$(echo \"$streams\" | wc -l)\" -gt 2 ]; then\n"
                           "  echo \"$streams\" | head -n 2 | sed 's/^/STAT: Processing /; s/$/.../'\n"
                           "  echo 'ERR:  Cannot infer pts for VOBU if there is no audio or video and it is the first VOBU.'\n"
                           "  exit 1\n"
                           "fi\n"
                           "exec dvdauthor \"$@\"\n";
    fs::permissions(fake, fs::perms::owner_all);
    const std::string a = fixtures::FixturePath("mp4_no_audio.mp4"), b = fixtures::FixturePath("avi_mpeg4_mp3.avi"),
                      c = fixtures::FixturePath("flv_flv1_mp3.flv");
    const auto run = test::RunCommand(Quoted((program / "quillmoor-cli").string()) + " convert -p pal-lp -o " +
                                      Quoted(Out) + " " + Quoted(a) + " " + Quoted(b) + " " + Quoted(c));
    EXPECT_EQ(run.ExitCode, 1) << run.Output;
    EXPECT_NE(run.Output.find("title 1: " + a), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("title 2: " + c), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("not on the disc: " + b + " (dvdauthor could not put it on the disc: ERR:  Cannot infer pts"),
              std::string::npos)
        << run.Output;
    EXPECT_EQ(Left(), (std::vector<std::string>{"AUDIO_TS", "VIDEO_TS"})) << run.Output;
}
