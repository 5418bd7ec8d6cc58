// Golden output checks: every standard fixture through a set of engine commands, each output
// packet's data and timing summed up per stream, compared with the checked-in values in
// tests/golden/engine_packets.txt. A changed line is either the point of a change to the
// engine or a fault. After an intended change, rewrite the file with
//     QM_GOLDEN_UPDATE=1 build/bin/test_engine_golden
// (a --gtest_filter rewrites only the lines of the commands it runs) and explain each changed
// line in the commit.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "Engine/EngineUtils.h"
#include "EngineTest.h"
#include "Fixtures.h"

using namespace qm;
using namespace qm::test;
using qm::fixtures::FixturePath;
using qm::fixtures::StandardFixtures;

namespace {

// 64-bit FNV-1a, fed field by field.
class TChecksum {
public:
    void Add(const void* AData, size_t ASize) {
        const auto* bytes = static_cast<const uint8_t*>(AData);
        for (size_t i = 0; i < ASize; ++i)
            FHash = (FHash ^ bytes[i]) * 0x100000001b3ull;
    }
    void Add(int64_t AValue) { Add(&AValue, sizeof AValue); }
    uint64_t Value() const { return FHash; }

private:
    uint64_t FHash = 0xcbf29ce484222325ull;
};

// "v:COUNT:HASH a:COUNT:HASH ...": per output stream, in stream order, the packet count and
// the checksum of every packet's data, flags and timing in the stream's time base.
std::string PacketSummary(const std::string& APath) {
    TCustomFFmpeg reader;
    reader.ResetEngine();
    if (!reader.OpenInputFile(APath))
        return "unreadable";
    AVFormatContext* ic = reader.InputFiles[0]->Input.Get();
    std::vector<TChecksum> sums(ic->nb_streams);
    std::vector<int> counts(ic->nb_streams);
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        sums[i].Add(ic->streams[i]->time_base.num);
        sums[i].Add(ic->streams[i]->time_base.den);
    }
    TPacketPtr packet(ff::av_packet_alloc());
    while (ff::av_read_frame(ic, packet.get()) >= 0) {
        TChecksum& sum = sums[size_t(packet->stream_index)];
        ++counts[size_t(packet->stream_index)];
        for (int64_t field : {packet->pts, packet->dts, packet->duration,
                              int64_t(packet->flags & AV_PKT_FLAG_KEY), int64_t(packet->size)})
            sum.Add(field);
        sum.Add(packet->data, size_t(packet->size));
        ff::av_packet_unref(packet.get());
    }
    std::string summary;
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        char text[64];
        std::snprintf(text, sizeof text, "%s%c:%d:%016llx", i ? " " : "",
                      MediaTypeName(ic->streams[i]->codecpar->codec_type)[0], counts[i],
                      static_cast<unsigned long long>(sums[i].Value()));
        summary += text;
    }
    return summary.empty() ? "empty" : summary;
}

// One engine command: the options after "-i FIXTURE", the output's extension; a joined
// command adds a second input and joins the two into one output.
struct TGoldenCommand {
    const char* Name;
    std::vector<std::string> Options;
    const char* Extension;
    bool Join = false;
};

// The test's name in listings, instead of the bytes of the object.
void PrintTo(const TGoldenCommand& ACommand, std::ostream* AOut) { *AOut << ACommand.Name; }

const char* const JoinedSecond = "mp4_h264_aac.mp4";

const std::vector<TGoldenCommand>& GoldenCommands() {
    static const std::vector<TGoldenCommand> commands = {
        {"remux", {"-vcodec", "copy", "-acodec", "copy"}, ".mkv"},
        {"pal-dvd-threads1", {"-threads", "1", "-target", "pal-dvd"}, ".mpg"},
        {"pal-dvd-threads2", {"-threads", "2", "-target", "pal-dvd"}, ".mpg"},
        {"ntsc-dvd-threads1", {"-threads", "1", "-target", "ntsc-dvd"}, ".mpg"},
        {"ntsc-dvd-threads2", {"-threads", "2", "-target", "ntsc-dvd"}, ".mpg"},
        {"joined",
         {"-threads", "1", "-f", "vob", "-vcodec", "mpeg2video", "-s", "352x288", "-r", "25",
          "-acodec", "mp2", "-ar", "48000", "-ac", "2"},
         ".mpg",
         true},
        {"crop-pad-scale",
         {"-croptop", "8", "-cropbottom", "16", "-cropleft", "4", "-padleft", "16", "-padright",
          "16", "-padtop", "8", "-s", "352x288", "-f", "vob", "-vcodec", "mpeg2video", "-acodec",
          "mp2", "-ar", "48000"},
         ".mpg"},
        {"async-rate",
         {"-async", "1", "-r", "30000/1001", "-vcodec", "mpeg4", "-acodec", "mp2", "-ar", "48000",
          "-ac", "2"},
         ".avi"},
        {"vol", {"-vn", "1", "-acodec", "ac3", "-vol", "512", "-ar", "48000"}, ".mka"},
        {"filters",
         {"-vfilters", "hflip,transpose=1", "-vcodec", "mpeg4", "-an", "1", "-s", "160x128"},
         ".avi"},
        {"hooks",
         {"-vhook", "libdrawbox.so|8|8|20|20|ffffff", "-vhook", "libinvert.so", "-vcodec",
          "mpeg4", "-an", "1"},
         ".avi"},
    };
    return commands;
}

std::string GoldenFile() { return QM_GOLDEN_FILE; }

// "COMMAND FIXTURE" -> summary, as checked in.
std::map<std::string, std::string> ReadGolden() {
    std::map<std::string, std::string> values;
    std::ifstream in(GoldenFile());
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        const size_t second = line.find(' ', line.find(' ') + 1);
        if (second != std::string::npos)
            values[line.substr(0, second)] = line.substr(second + 1);
    }
    return values;
}

bool Updating() {
    const char* update = std::getenv("QM_GOLDEN_UPDATE");
    return update && *update && std::string(update) != "0";
}

// What this process computed, written back into the file at the end when updating.
std::map<std::string, std::string>& Computed() {
    static std::map<std::string, std::string> computed;
    return computed;
}

class GoldenWriter : public ::testing::Environment {
public:
    void TearDown() override {
        if (!Updating() || Computed().empty())
            return;
        auto values = ReadGolden();
        for (const auto& [key, summary] : Computed())
            values[key] = summary;
        std::ofstream out(GoldenFile(), std::ios::trunc);
        out << "# COMMAND FIXTURE then per output stream TYPE:PACKETS:CHECKSUM (see "
               "test_engine_golden.cpp)\n";
        for (const auto& [key, summary] : values)
            out << key << ' ' << summary << '\n';
    }
};
const auto* const Writer = ::testing::AddGlobalTestEnvironment(new GoldenWriter);

class EngineGoldenTest : public TEngineTest,
                         public ::testing::WithParamInterface<TGoldenCommand> {
protected:
    // The summary of one run of ACommand on AFixture, or "failed: REASON".
    std::string RunCommandOn(const TGoldenCommand& ACommand, const std::string& AFixture) {
        TEngineTest::SetUp();
        const std::string out = Dir / (std::string("out") + ACommand.Extension);
        std::error_code ignored;
        std::filesystem::remove(out, ignored);
        try {
            if (!Engine->OpenInputFile(FixturePath(AFixture)))
                return "failed: " + Engine->LastError();
            if (ACommand.Join && !Engine->OpenInputFile(FixturePath(JoinedSecond)))
                return "failed: " + Engine->LastError();
            for (size_t i = 0; i + 1 < ACommand.Options.size(); i += 2)
                Engine->SetOption(ACommand.Options[i].substr(1), ACommand.Options[i + 1]);
            if (Engine->OpenOutputFile(out, ACommand.Join) < 0)
                return "failed: " + Engine->LastError();
        } catch (const std::exception& e) {
            return std::string("failed: ") + e.what();
        }
        Engine->StartConvert(false);
        if (Engine->ExceptionRaised())
            return "failed: " + Engine->ExceptionMessage();
        return PacketSummary(out);
    }
};

TEST_P(EngineGoldenTest, EveryFixtureGivesTheCheckedInPackets) {
    const TGoldenCommand& command = GetParam();
    const auto golden = ReadGolden();
    for (const auto& fixture : StandardFixtures()) {
        const std::string key = std::string(command.Name) + " " + fixture.name;
        std::string summary = RunCommandOn(command, fixture.name);
        // One line per entry, the same wherever the folders are.
        for (char& c : summary)
            if (c == '\n' || c == '\r')
                c = ' ';
        for (const auto& [folder, name] :
             {std::pair{Dir.Path().string(), "OUT"},
              std::pair{std::filesystem::path(FixturePath(fixture.name)).parent_path().string(),
                        "FIXTURES"}})
            for (size_t at; (at = summary.find(folder)) != std::string::npos;)
                summary.replace(at, folder.size(), name);
        Computed()[key] = summary;
        if (Updating())
            continue;
        const auto expected = golden.find(key);
        ASSERT_NE(expected, golden.end()) << key << " is not in " << GoldenFile();
        EXPECT_EQ(summary, expected->second) << key;
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, EngineGoldenTest, ::testing::ValuesIn(GoldenCommands()),
                         [](const ::testing::TestParamInfo<TGoldenCommand>& AInfo) {
                             std::string name = AInfo.param.Name;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name;
                         });

} // namespace
