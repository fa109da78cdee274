// Configuration files: one stream per driver, load and save with several drivers, files from
// other drivers and files that are no compound files, the default configuration in the
// registry, the default-settings procedure, and files that other processes read or write
// meanwhile.
#include <windows.h>
#include <gtest/gtest.h>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "ansi_text.h"
#include "com_ptr.h"
#include "compound_file_check.h"
#include "configuration_file.h"
#include "configuration_status.h"
#include "driver_list.h"
#include "probe_driver_files.h"
#include "server_identity.h"
#include "win_handle.h"

namespace {

const std::string kTreeA = "root=A\nbranch=Pump\ntag=Pump.Speed:R8:1\n";
const std::string kTreeB = "root=B\nbranch=Boiler\ntag=Boiler.T:R8:2\n";

std::string AppIdKey() {
    return std::string("AppID\\") + kServerAppIdText;
}

std::vector<std::wstring> StreamsOf(const std::string& path) {
    std::vector<std::wstring> names;
    ComPtr<IStorage> root;
    if (FAILED(StgOpenStorage(AnsiToWide(path).c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE,
                              nullptr, 0, root.Put())))
        return names;
    ComPtr<IEnumSTATSTG> e;
    root->EnumElements(0, nullptr, 0, e.Put());
    STATSTG stat;
    while (e && e->Next(1, &stat, nullptr) == S_OK) {
        names.emplace_back(stat.pwcsName);
        CoTaskMemFree(stat.pwcsName);
    }
    return names;
}

class Configuration : public testing::Test {
  protected:
    void SetUp() override {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CLASSES_ROOT, AppIdKey().c_str(), 0, nullptr,
                                                 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
        RegCloseKey(key);
        RegDeleteTreeA(HKEY_CLASSES_ROOT, (AppIdKey() + "\\Configuration").c_str());
    }
    void TearDown() override { g_drivers.Unload(); }

    // Loads probes named `names` with the given trees.
    void Load(const std::vector<std::pair<std::string, std::string>>& probes) {
        std::string list;
        for (const auto& [name, tree] : probes)
            list += InstallProbe(dir_.File(name), tree) + "|" + name + "\n";
        WriteTextFile(dir_.File("Drivers.cfg"), list);
        g_drivers.LoadFrom(dir_.File("Drivers.cfg"));
    }
    std::string RootName(size_t index) {
        CObjectInfo info;
        g_drivers.Snapshot()->drivers.at(index)->GetObjectInfo(0, info);
        return info.name;
    }

    ScratchDirectory dir_;
};

TEST_F(Configuration, SavedDriversAreRestoredFromTheirOwnStreams) {
    Load({{"a.dll", kTreeA}, {"b.dll", kTreeB}});
    const std::string file = dir_.File("Configuration.cfg");
    ASSERT_TRUE(SaveConfiguration(file));
    auto streams = StreamsOf(file);
    ASSERT_EQ(2u, streams.size());
    DriverSnapshot lists = g_drivers.Snapshot();
    EXPECT_TRUE((streams[0] == lists->drivers[0]->StreamName() &&
                 streams[1] == lists->drivers[1]->StreamName()) ||
                (streams[1] == lists->drivers[0]->StreamName() &&
                 streams[0] == lists->drivers[1]->StreamName()));
    EXPECT_EQ(0, _wcsicmp(L"a.dll", lists->drivers[0]->StreamName().c_str()));
    lists.reset();

    // Fresh drivers with other trees: loading the file brings back the saved ones.
    g_drivers.Unload();
    WriteTextFile(dir_.File("a.dll.txt"), "root=changed\n");
    WriteTextFile(dir_.File("b.dll.txt"), "root=changed\n");
    g_drivers.LoadFrom(dir_.File("Drivers.cfg"));
    EXPECT_EQ("changed", RootName(0));
    ASSERT_TRUE(LoadConfiguration(file));
    EXPECT_EQ("A", RootName(0));
    EXPECT_EQ("B", RootName(1));
    EXPECT_NE(0u, g_drivers.Snapshot()->drivers[1]->GetObjectID(0, "Boiler.T"));
}

TEST_F(Configuration, SameDllTwiceSharesOneStream) {
    const std::string dll = InstallProbe(dir_.File("a.dll"), kTreeA);
    WriteTextFile(dir_.File("Drivers.cfg"), dll + "|One\n" + dll + "|Two\n");
    g_drivers.LoadFrom(dir_.File("Drivers.cfg"));
    const std::string file = dir_.File("twice.cfg");
    ASSERT_TRUE(SaveConfiguration(file));
    EXPECT_EQ(1u, StreamsOf(file).size());
    ASSERT_TRUE(LoadConfiguration(file));
    auto log = ReadProbeLog(dll);
    size_t saves = 0, loads = 0;
    for (const auto& c : log) {
        if (!c.entering || c.entry != "DLLSerialize") continue;
        (c.args == "save" ? saves : loads)++;
    }
    EXPECT_EQ(2u, saves);
    EXPECT_EQ(2u, loads) << "both drivers read the one stream";
}

TEST_F(Configuration, AFileOfOtherDriversChangesOnlyMatchingOnes) {
    Load({{"a.dll", kTreeA}});
    const std::string file = dir_.File("only-a.cfg");
    ASSERT_TRUE(SaveConfiguration(file));
    g_drivers.Unload();
    Load({{"b.dll", kTreeB}, {"a.dll", "root=changed\n"}});
    ASSERT_TRUE(LoadConfiguration(file));
    EXPECT_EQ("B", RootName(0));
    EXPECT_EQ("A", RootName(1));
    EXPECT_EQ(0u, CountCalls(ReadProbeLog(dir_.File("b.dll")), "DLLSerialize"))
        << "a driver without a stream is not called";
}

TEST_F(Configuration, ANonCompoundFileChangesNothing) {
    Load({{"a.dll", kTreeA}});
    const std::string file = dir_.File("plain.cfg");
    WriteTextFile(file, "this is not a compound file\n");
    EXPECT_FALSE(LoadConfiguration(file));
    EXPECT_FALSE(LoadConfiguration(dir_.File("missing.cfg")));
    EXPECT_EQ(0u, CountCalls(ReadProbeLog(dir_.File("a.dll")), "DLLSerialize"));
    EXPECT_EQ("A", RootName(0));
}

TEST_F(Configuration, AForeignStreamKeepsTheDriversSettings) {
    Load({{"a.dll", kTreeA}});
    const std::string file = dir_.File("foreign.cfg");
    {
        ComPtr<IStorage> root;
        ASSERT_EQ(S_OK, StgCreateDocfile(AnsiToWide(file).c_str(),
                                         STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_READWRITE, 0,
                                         root.Put()));
        ComPtr<IStream> stream;
        ASSERT_EQ(S_OK, root->CreateStream(g_drivers.Snapshot()->drivers[0]->StreamName().c_str(),
                                           STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_WRITE, 0, 0,
                                           stream.Put()));
        stream->Write("garbage", 7, nullptr);
    }
    ASSERT_TRUE(LoadConfiguration(file));
    EXPECT_EQ("A", RootName(0));
}

TEST_F(Configuration, SavingWithNoDriversStillBecomesTheDefault) {
    const std::string file = dir_.File("empty.cfg");
    ASSERT_TRUE(SaveConfiguration(file));
    EXPECT_TRUE(StreamsOf(file).empty());
    EXPECT_EQ(file, ReadDefaultConfigurationPath().value_or("<none>"));
}

TEST_F(Configuration, DefaultPathMustFitItsBuffer) {
    EXPECT_FALSE(ReadDefaultConfigurationPath().has_value());
    const std::string fits(254, 'p');  // 255 bytes with its terminating zero
    ASSERT_TRUE(StoreDefaultConfigurationPath(fits));
    EXPECT_EQ(fits, ReadDefaultConfigurationPath().value_or("<none>"));
    ASSERT_TRUE(StoreDefaultConfigurationPath(fits + "p"));
    EXPECT_FALSE(ReadDefaultConfigurationPath().has_value()) << "255 bytes and more do not load";
    EXPECT_EQ(LoadOutcome::NotNamed, LoadDefaultConfiguration());
}

TEST_F(Configuration, StartupLoadsTheDefaultConfiguration) {
    Load({{"a.dll", kTreeA}});
    const std::string file = dir_.File("default.cfg");
    ASSERT_TRUE(SaveConfiguration(file));
    g_drivers.Unload();
    WriteTextFile(dir_.File("a.dll.txt"), "root=changed\n");
    g_drivers.LoadFrom(dir_.File("Drivers.cfg"));
    ASSERT_EQ(LoadOutcome::Loaded, LoadDefaultConfiguration());
    EXPECT_EQ("A", RootName(0));
}

TEST_F(Configuration, WithoutTheAppIdKeyTheRegistryIsLeftAlone) {
    RegDeleteTreeA(HKEY_CLASSES_ROOT, AppIdKey().c_str());
    const std::string file = dir_.File("noappid.cfg");
    EXPECT_FALSE(SaveConfiguration(file));
    EXPECT_EQ(0u, StreamsOf(file).size());
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(file.c_str())) << "the file is written";
    EXPECT_FALSE(ReadDefaultConfigurationPath().has_value());
    EXPECT_EQ(DefaultSettingsResult::RegistryFailed,
              RunDefaultSettings(nullptr, [&](HWND) { return std::optional<std::string>(file); }));
}

TEST_F(Configuration, DefaultSettingsResetsDriversAndRecordsTheNewFile) {
    Load({{"a.dll", kTreeA}, {"b.dll", kTreeB}});
    const std::string file = dir_.File("fresh.cfg");
    EXPECT_EQ(DefaultSettingsResult::Cancelled,
              RunDefaultSettings(nullptr, [](HWND) { return std::optional<std::string>(); }));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(file.c_str()));
    EXPECT_EQ(DefaultSettingsResult::Saved,
              RunDefaultSettings(nullptr, [&](HWND) { return std::optional<std::string>(file); }));
    EXPECT_EQ(2u, CountCalls(ReadProbeLog(dir_.File("a.dll")), "DLLDefaultSettings"));
    EXPECT_EQ(2u, StreamsOf(file).size());
    EXPECT_EQ(file, ReadDefaultConfigurationPath().value_or("<none>"));
    EXPECT_EQ(DefaultSettingsResult::NotWritten, RunDefaultSettings(nullptr, [&](HWND) {
                  return std::optional<std::string>(dir_.File("no\\such\\dir\\x.cfg"));
              }));
    EXPECT_EQ(file, ReadDefaultConfigurationPath().value_or("<none>"));
}

// Several server processes may start at once, all reading the same default configuration, while
// other programs read it too: a reader lets the others in, and keeps only writers out.
TEST_F(Configuration, AFileHeldOpenByOtherReadersStillLoads) {
    Load({{"a.dll", kTreeA}});
    const std::string file = dir_.File("shared.cfg");
    ASSERT_TRUE(SaveConfiguration(file));
    g_drivers.Unload();
    WriteTextFile(dir_.File("a.dll.txt"), "root=changed\n");
    g_drivers.LoadFrom(dir_.File("Drivers.cfg"));

    UniqueHandle reader(CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(reader);
    ComPtr<IStorage> storage;
    ASSERT_EQ(S_OK, StgOpenStorage(AnsiToWide(file).c_str(), nullptr,
                                   STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, storage.Put()));
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(LoadOutcome::Loaded, LoadConfigurationFile(file));
    EXPECT_LT(GetTickCount64() - start, ULONGLONG{kConfigurationBusyLimitMs}) << "no waiting";
    EXPECT_EQ("A", RootName(0));
}

TEST_F(Configuration, AFileBeingWrittenIsWaitedForAWhileThenReportedInUse) {
    Load({{"a.dll", kTreeA}});
    const std::string file = dir_.File("written.cfg");
    ASSERT_TRUE(SaveConfiguration(file));
    g_drivers.Unload();
    WriteTextFile(dir_.File("a.dll.txt"), "root=changed\n");
    g_drivers.LoadFrom(dir_.File("Drivers.cfg"));
    auto openForWriting = [&] {
        return UniqueHandle(CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    };
    {
        UniqueHandle writer = openForWriting();
        ASSERT_TRUE(writer);
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(LoadOutcome::InUse, LoadConfigurationFile(file));
        EXPECT_GE(GetTickCount64() - start, ULONGLONG{kConfigurationBusyLimitMs});
        EXPECT_EQ("changed", RootName(0)) << "nothing loaded";
    }
    // A writer that is done within the wait: the load goes ahead then.
    UniqueHandle writer = openForWriting();
    ASSERT_TRUE(writer);
    std::thread done([&] {
        Sleep(1000);
        writer.Reset();
    });
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(LoadOutcome::Loaded, LoadConfigurationFile(file));
    EXPECT_GE(GetTickCount64() - start, 900u);
    done.join();
    EXPECT_EQ("A", RootName(0));
}

TEST_F(Configuration, ADefaultConfigurationThatDoesNotLoadIsTheProblemUntilAFileLoads) {
    Load({{"a.dll", kTreeA}});
    ClearConfigurationProblem();
    EXPECT_EQ(LoadOutcome::NotNamed, LoadDefaultConfiguration());
    EXPECT_EQ(L"", ConfigurationProblem()) << "no configuration named is no problem";
    const std::string file = dir_.File("gone.cfg");
    ASSERT_TRUE(SaveConfiguration(file));
    ASSERT_TRUE(DeleteFileA(file.c_str()));
    EXPECT_EQ(LoadOutcome::Missing, LoadDefaultConfiguration());
    EXPECT_EQ(L"Configuration " + AnsiToWide(file) + L" not loaded: the file does not exist",
              ConfigurationProblem());
    WriteTextFile(file, "not a compound file");
    EXPECT_EQ(LoadOutcome::Damaged, LoadDefaultConfiguration());
    EXPECT_EQ(L"Configuration " + AnsiToWide(file) +
                  L" not loaded: the file is no configuration file or is damaged",
              ConfigurationProblem());
    const std::string other = dir_.File("other.cfg");
    ASSERT_TRUE(WriteConfigurationFile(other));
    ASSERT_TRUE(LoadConfiguration(other));
    EXPECT_EQ(L"", ConfigurationProblem()) << "a configuration was loaded since";
}

// A save writes a new file and puts it in the old one's place: a reader at any moment finds
// one whole version; a reader that holds the old file open keeps the save waiting, and one that
// holds it too long makes the save fail with the old file whole; no scratch file stays behind.
TEST_F(Configuration, ReadersNeverSeeHalfASavedFile) {
    Load({{"a.dll", kTreeA}, {"b.dll", kTreeB}});
    const std::string file = dir_.File("busy.cfg");
    ASSERT_TRUE(WriteConfigurationFile(file));
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0}, torn{0}, refused{0};
    std::thread reader([&] {
        while (!stop) {
            {
                UniqueHandle h(CreateFileA(file.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
                if (!h) {
                    ++refused;
                    continue;
                }
                std::string bytes;
                char buffer[4096];
                DWORD got = 0;
                while (ReadFile(h.Get(), buffer, sizeof(buffer), &got, nullptr) && got)
                    bytes.append(buffer, got);
                ++reads;
                if (!IsSoundCompoundFile(bytes)) ++torn;
            }
            Sleep(1);  // as server processes starting one after another
        }
    });
    int saved = 0;
    for (int i = 0; i < 30; ++i) saved += WriteConfigurationFile(file);
    stop = true;
    reader.join();
    EXPECT_EQ(30, saved);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(0, torn.load()) << "of " << reads.load() << " reads";
    EXPECT_EQ(0, refused.load());

    auto holdOpen = [&] {
        return UniqueHandle(CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    };
    UniqueHandle held = holdOpen();
    ASSERT_TRUE(held);
    std::thread done([&] {
        Sleep(1000);
        held.Reset();
    });
    EXPECT_TRUE(WriteConfigurationFile(file)) << "the save waited for the reader";
    done.join();
    held = holdOpen();
    ASSERT_TRUE(held);
    EXPECT_FALSE(WriteConfigurationFile(file)) << "a reader that does not let go";
    held.Reset();
    EXPECT_EQ(2u, StreamsOf(file).size()) << "the old file is whole";
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(dir_.File("*.tmp").c_str(), &found);
    EXPECT_EQ(INVALID_HANDLE_VALUE, search) << "left behind: " << found.cFileName;
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
}

}  // namespace
