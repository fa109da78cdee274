// Files from the field are damaged, truncated, oversized or somebody else's: "Drivers.cfg",
// whole configuration files and the simulator's own stream, each mutated a thousand times
// from a fixed seed. Whatever the bytes, loading ends, nothing crashes, and the drivers that
// loaded still answer afterwards.
#include <windows.h>
#include <objbase.h>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

#include "com_ptr.h"
#include "compound_file_check.h"
#include "configuration_file.h"
#include "driver_list.h"
#include "probe_driver_files.h"

namespace {

constexpr int kMutations = 1000;

// One random change of the kinds damage takes: bytes flipped, a cut, bytes inserted, a chunk
// repeated, a 32-bit field set to a border value (lengths and counts), garbage appended.
std::string Mutate(std::string bytes, std::mt19937& random) {
    auto at = [&](size_t size) {
        return size ? std::uniform_int_distribution<size_t>(0, size - 1)(random) : 0;
    };
    switch (random() % 6) {
        case 0:
            for (int i = 0, n = 1 + random() % 8; i < n && !bytes.empty(); ++i)
                bytes[at(bytes.size())] ^= static_cast<char>(1 + random() % 255);
            break;
        case 1:
            bytes.resize(at(bytes.size() + 1));
            break;
        case 2:
            bytes.insert(at(bytes.size() + 1), std::string(1 + random() % 64, char(random())));
            break;
        case 3:
            if (!bytes.empty()) {
                const size_t from = at(bytes.size()), length = 1 + random() % 512;
                bytes.insert(at(bytes.size() + 1), bytes.substr(from, length));
            }
            break;
        case 4:
            if (bytes.size() >= 4) {
                static const DWORD borders[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFF};
                const DWORD value = borders[random() % 6];
                memcpy(&bytes[at(bytes.size() - 3)], &value, 4);
            }
            break;
        default:
            for (int i = 0, n = random() % 4096; i < n; ++i) bytes += char(random());
            break;
    }
    return bytes;
}

// A compound file with one stream `name` holding `bytes`.
void WriteCompoundFile(const std::string& path, const std::wstring& name,
                       const std::string& bytes) {
    ComPtr<IStorage> root;
    const std::wstring wide(path.begin(), path.end());
    ASSERT_EQ(S_OK,
              StgCreateDocfile(wide.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                               root.Put()));
    ComPtr<IStream> stream;
    ASSERT_EQ(S_OK,
              root->CreateStream(name.c_str(), STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE, 0,
                                 0, stream.Put()));
    ULONG written = 0;
    stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
    stream.Reset();
    root->Commit(STGC_DEFAULT);
}

class MalformedFiles : public testing::Test {
  protected:
    void SetUp() override {
        simulator_ = dir_.File("simulator.dll");
        ASSERT_TRUE(CopyFileA((TestProgramDirectory() + "\\simulator.dll").c_str(),
                              simulator_.c_str(), FALSE));
        probe_ = InstallProbe(dir_.File("probe.dll"), "root=Probe\nbranch=Dev\ntag=Dev.T:R4:1\n");
        list_ = simulator_ + "|Sim\n" + probe_ + "|Probe\n";
        WriteTextFile(dir_.File("Drivers.cfg"), list_);
        g_drivers.LoadFrom(dir_.File("Drivers.cfg"));
        ASSERT_EQ(2u, g_drivers.Snapshot()->drivers.size());
        Sim()->DefaultSettings();
    }
    void TearDown() override { g_drivers.Unload(); }

    std::shared_ptr<CDriver> Sim() { return g_drivers.Snapshot()->drivers.at(0); }
    // The drivers still answer: the simulator its tree, the probe its tag.
    void ExpectDriversAnswer() {
        std::vector<std::string> names;
        Sim()->EnumChildren(names, 0);
        Sim()->Update(0);
        EXPECT_NE(0u, g_drivers.Snapshot()->drivers.at(1)->GetObjectID(0, "Dev.T"));
        EXPECT_EQ(0u, Sim()->FaultCount());
    }

    ScratchDirectory dir_;
    std::string simulator_, probe_, list_;
};

TEST_F(MalformedFiles, DriverListsLoadWhatTheyCan) {
    std::mt19937 random(20261208);
    const std::string path = dir_.File("Mutated.cfg");
    std::string text = list_ + "; a comment\n" + probe_ + "|Другой\n";
    for (int i = 0; i < kMutations; ++i) {
        WriteTextFile(path, Mutate(text, random));
        DriverRegistry drivers;
        drivers.LoadFrom(path);
        for (const auto& driver : drivers.Snapshot()->drivers) driver->GetObjectID(0, "Dev");
        drivers.Unload();
    }
    // The real list is untouched by all that.
    ExpectDriversAnswer();
}

TEST_F(MalformedFiles, DamagedConfigurationFilesChangeNothingOrLoadWhatTheyCan) {
    const std::string good = dir_.File("good.cfg");
    ASSERT_TRUE(WriteConfigurationFile(good));
    const std::string original = ReadTextFile(good);
    ASSERT_FALSE(original.empty());
    std::mt19937 random(8122026);
    const std::string path = dir_.File("damaged.cfg");
    int opened = 0;
    for (int i = 0; i < kMutations; ++i) {
        WriteTextFile(path, Mutate(original, random));
        opened += LoadConfiguration(path);
    }
    std::cout << "[          ] " << opened << " of " << kMutations
              << " damaged files still opened as compound files\n";
    ExpectDriversAnswer();
}

TEST_F(MalformedFiles, TheSimulatorsStreamDamagedTruncatedOversizedOrForeign) {
    const std::wstring stream = Sim()->StreamName();
    // The simulator's own bytes, as a saved configuration holds them.
    const std::string saved = dir_.File("saved.cfg");
    ASSERT_TRUE(WriteConfigurationFile(saved));
    std::string original;
    {
        ComPtr<IStorage> root;
        const std::wstring wide(saved.begin(), saved.end());
        ASSERT_EQ(S_OK, StgOpenStorage(wide.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE,
                                       nullptr, 0, root.Put()));
        ComPtr<IStream> s;
        ASSERT_EQ(S_OK, root->OpenStream(stream.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE,
                                         0, s.Put()));
        char buffer[4096];
        ULONG got = 0;
        while (SUCCEEDED(s->Read(buffer, sizeof(buffer), &got)) && got)
            original.append(buffer, got);
    }
    ASSERT_GT(original.size(), 16u);

    std::mt19937 random(1049);
    const std::string path = dir_.File("stream.cfg");
    for (int i = 0; i < kMutations; ++i) {
        WriteCompoundFile(path, stream, Mutate(original, random));
        ASSERT_TRUE(LoadConfiguration(path));
    }
    // Far too big, empty, and a stream of another program under the simulator's name.
    WriteCompoundFile(path, stream, std::string(40 << 20, '\x7F'));
    LoadConfiguration(path);
    WriteCompoundFile(path, stream, "");
    LoadConfiguration(path);
    WriteCompoundFile(path, stream, "Microsoft Word document, not a simulator");
    LoadConfiguration(path);
    ExpectDriversAnswer();

    // And the good stream still loads in full afterwards.
    ASSERT_TRUE(LoadConfiguration(saved));
    std::vector<std::string> devices;
    Sim()->EnumChildren(devices, 0);
    EXPECT_EQ((std::vector<std::string>{"Boiler", "Line", "Reserve"}), devices);
}

// The platform's storage code loops for ever on a directory whose entries point back at
// each other: such a file never reaches it.
TEST_F(MalformedFiles, ADirectoryInACircleIsRefusedBeforeThePlatformReadsIt) {
    const std::string good = dir_.File("good.cfg");
    ASSERT_TRUE(WriteConfigurationFile(good));
    const std::string bytes = ReadTextFile(good);
    ASSERT_TRUE(IsSoundCompoundFile(bytes));
    // The first directory sector (v3: 512-byte sectors after the 512-byte header).
    uint32_t firstDirectory = 0;
    memcpy(&firstDirectory, bytes.data() + 48, 4);
    const size_t root = (size_t{firstDirectory} + 1) * 512;
    std::string circle = bytes;
    const uint32_t self = 0;
    memcpy(&circle[root + 76], &self, 4);  // the root's child is the root
    EXPECT_FALSE(IsSoundCompoundFile(circle));
    const std::string path = dir_.File("circle.cfg");
    WriteTextFile(path, circle);
    EXPECT_FALSE(LoadConfiguration(path));
    EXPECT_FALSE(IsSoundCompoundFile(bytes.substr(0, 600)));
    EXPECT_FALSE(IsSoundCompoundFile(""));
}

}  // namespace
