#include <gtest/gtest.h>

#include <QDomDocument>
#include <QFile>

#include <filesystem>
#include <fstream>

#include "Core/DvdAuthoring.h"
#include "Engine/FFmpeg.h"
#include "Fixtures.h"
#include "Loader/FFmpegLoader.h"
#include "Platform/MainThread.h"
#include "TestUtils.h"

using namespace qm;
namespace fs = std::filesystem;

namespace {

std::string TestProgramFolder() { return test::BinDir() + "/"; }

QDomDocument ReadXml(const std::string& path) {
    QFile file(QString::fromStdString(path));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path;
    QDomDocument doc;
    EXPECT_TRUE(doc.setContent(&file));
    return doc;
}

// A 2-second PAL DVD stream made by the engine.
void MakeDvdStream(const std::string& path) {
    ASSERT_TRUE(GlobalLoader.LoadLibraries(ConverterLibraries));
    TCustomFFmpeg engine;
    engine.ResetEngine();
    ASSERT_TRUE(engine.OpenInputFile(qm::fixtures::FixturePath("mp4_h264_aac.mp4")));
    for (auto [n, v] : {std::pair{"f", "dvd"}, {"vcodec", "mpeg2video"}, {"s", "720x576"},
                        {"r", "25"}, {"b", "6000000"}, {"maxrate", "9000000"},
                        {"bufsize", "1835008"}, {"g", "15"}, {"packetsize", "2048"},
                        {"muxrate", "10080000"}, {"acodec", "mp2"}, {"ar", "48000"}, {"ac", "2"},
                        {"ab", "224000"}, {"aspect", "4:3"}, {"async", "1"}})
        engine.SetOption(n, v);
    ASSERT_GT(engine.OpenOutputFile(path), 0) << engine.LastError();
    engine.StartConvert(false);
    ASSERT_TRUE(engine.Finished()) << engine.ExceptionMessage();
}

} // namespace

TEST(Authoring, DescriptionHasOneTitlePerStreamJumpingToTheNext) {
    test::TTempDir dir;
    const std::string out = dir.Path().string() + "/";
    TDvdAuthoring authoring(TestProgramFolder());
    for (size_t count : {size_t(1), size_t(2)}) {
        std::vector<std::string> streams;
        for (size_t i = 0; i < count; ++i) {
            streams.push_back(out + "Movies" + std::to_string(i) + ".mpg");
            std::ofstream(streams.back()) << std::string(1000 * (i + 1), 'x');
        }
        std::string error;
        ASSERT_TRUE(authoring.WriteAuthoringFile(out, streams, error)) << error;
        EXPECT_EQ(authoring.TotalSize, count == 1 ? 1000 : 3000);
        const QDomDocument doc = ReadXml(out + "dvd.xml");
        EXPECT_EQ(doc.documentElement().attribute("dest").toStdString(), out);
        const QDomNodeList pgcs = doc.elementsByTagName("pgc");
        ASSERT_EQ(size_t(pgcs.count()), count);
        for (size_t i = 0; i < count; ++i) {
            const QDomElement pgc = pgcs.at(int(i)).toElement();
            EXPECT_EQ(pgc.firstChildElement("vob").attribute("file").toStdString(), streams[i]);
            EXPECT_EQ(pgc.firstChildElement("post").text().toStdString(),
                      i + 1 < count ? "jump title " + std::to_string(i + 2) + ";" : "exit;");
        }
    }
    TDvdAuthoring missing(dir.Path().string() + "/nowhere/");
    std::string error;
    EXPECT_FALSE(missing.WriteAuthoringFile(out, {out + "a.mpg"}, error));
    EXPECT_NE(error.find("template"), std::string::npos);
}

TEST(Authoring, StatusLinesBecomeTheLastFifthOfTheProgress) {
    TDvdAuthoring authoring(TestProgramFolder());
    int position = -1;
    std::string label;
    authoring.OnProgress = [&](int p, const std::string& l) {
        position = p;
        label = l;
    };
    struct {
        int64_t Total;
        const char* Chunk;
        int Position;
        const char* Label;
    } cases[] = {
        {2147483648LL, "STAT: VOBU 312 at 1024MB, 1 PGCs\n", 90, "Progress: 90.00%"},
        {6000LL * 1048576, "INFO: x\r\nSTAT: VOBU 5 at 3000MB, 1 PGCs\r\n", 90, "Progress: 90.00%"},
        {2147483648LL, "STAT: VOBU 1 at 512MB\nSTAT: VOBU 2 at 1536MB\n", 95, "Progress: 95.00%"},
        {2147483648LL, "STAT: VOBU 312 at 10", -1, ""}, // ends before "MB": nothing changes
        {2147483648LL, "STAT: VOBU 312 at 12 MB", 80, "Progress: 80.12%"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Chunk);
        position = -1;
        label.clear();
        authoring.TotalSize = c.Total;
        authoring.ParseAuthoringOutput(nullptr, c.Chunk, uint32_t(std::strlen(c.Chunk)));
        EXPECT_EQ(position, c.Position);
        EXPECT_EQ(label, c.Label);
    }
}

TEST(Authoring, HostileFolderNamesAreTakenLiterallyAndTheDiscIsAuthored) {
    TMainThread::Install();
    test::TTempDir dir;
    for (const char* name : {"$(touch pwned)", "it's \"mine\" `id`"}) {
        SCOPED_TRACE(name);
        const fs::path folder = dir.Path() / name;
        fs::create_directory(folder);
        const std::string out = folder.string() + "/";
        MakeDvdStream(out + "Movies0.mpg");
        TDvdAuthoring authoring(TestProgramFolder());
        std::string error;
        ASSERT_TRUE(authoring.WriteAuthoringFile(out, {out + "Movies0.mpg"}, error)) << error;
        ASSERT_TRUE(authoring.WriteBatchFile(out, error)) << error;
        int last = 0;
        authoring.OnProgress = [&](int p, const std::string&) { last = p; };
        EXPECT_TRUE(authoring.RunAuthoring(out + "dvd.sh", out, "PAL", error)) << error;
        EXPECT_TRUE(fs::exists(folder / "VIDEO_TS/VIDEO_TS.IFO"));
        EXPECT_FALSE(fs::exists("pwned"));
        EXPECT_FALSE(fs::exists(dir.Path() / "pwned"));
        EXPECT_GE(last, 80);
    }
}

TEST(Authoring, AFailingAuthoringProgramIsAFailure) {
    TMainThread::Install();
    test::TTempDir dir;
    // A program folder whose own dvdauthor reports an error and fails.
    fs::create_directories(dir.Path() / "prog/Data/Quillmoor");
    fs::copy_file(TestProgramFolder() + "Data/Quillmoor/dvd.xml",
                  dir.Path() / "prog/Data/Quillmoor/dvd.xml");
    const fs::path fake = dir.Path() / "prog/Data/Quillmoor/dvdauthor";
    std::ofstream(fake) << "#!/bin/sh\necho 'STAT: VOBU 1 at 0MB'\necho 'ERR: no video stream' >&2\nexit 1\n";
    fs::permissions(fake, fs::perms::owner_all);
    const std::string out = dir.Path().string() + "/";
    std::ofstream(out + "Movies0.mpg") << "x";
    TDvdAuthoring authoring(dir.Path().string() + "/prog/");
    EXPECT_EQ(authoring.AuthoringProgram(), fake.string());
    std::string error;
    ASSERT_TRUE(authoring.WriteAuthoringFile(out, {out + "Movies0.mpg"}, error));
    ASSERT_TRUE(authoring.WriteBatchFile(out, error));
    EXPECT_FALSE(authoring.RunAuthoring(out + "dvd.sh", out, "PAL", error));
    EXPECT_NE(error.find("exit status 1"), std::string::npos) << error;
    EXPECT_NE(error.find("ERR: no video stream"), std::string::npos) << error;
}
