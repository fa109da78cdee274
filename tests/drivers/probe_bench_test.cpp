// The probe's bench branch, through the driver host as the server uses it: the share of its
// tags that an update changes, and which ones, since the subscription benchmark's figures of
// values per cycle are only as good as that share.
#include <windows.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include "driver_list.h"
#include "probe_driver_files.h"

namespace {

// 250 tags: 1 % of them is 2.5, so an update changes 3 (never fewer than the share).
constexpr int kCount = 250;
const std::string kTree =
    "root=Probe\nbranch=Dev\ntag=Dev.Before:R8:1\nbench=Dev.Bench:250\ntag=Dev.After:R8:2\n";

ULONGLONG Ticks(const FILETIME& t) {
    return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

ULONGLONG Now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return Ticks(now);
}

class ProbeBench : public testing::Test {
  protected:
    void SetUp() override {
        const std::string dll = InstallProbe(dir_.File("bench.dll"), kTree + "log=off\n");
        WriteTextFile(dir_.File("Drivers.cfg"), dll + "|Probe");
        ASSERT_EQ(0, g_drivers.LoadFrom(dir_.File("Drivers.cfg")));
        driver_ = g_drivers.Snapshot()->drivers.at(0);
        const DWORD branch = driver_->GetObjectID(0, "Dev.Bench");
        ASSERT_NE(0u, branch);
        std::vector<std::string> names;
        driver_->EnumTags(names, branch);
        for (const std::string& name : names)
            if (name[0] == 'T') tags_.push_back(driver_->GetObjectID(branch, name));
        ASSERT_EQ(static_cast<size_t>(kCount), tags_.size());
        percent_ = driver_->GetObjectID(branch, "ChangePercent");
        ASSERT_NE(0u, percent_);
    }
    void TearDown() override {
        driver_.reset();  // the unload waits for every holder to let go
        g_drivers.Unload();
    }

    struct Reading {
        double value = -1;
        ULONGLONG stamp = 0;
    };
    Reading Read(DWORD id) {
        CObjectInfo info;
        driver_->GetObjectInfo(id, info);
        EXPECT_EQ(VT_R8, info.value.Type());
        EXPECT_EQ(0xC0, info.quality);
        return {V_R8(info.value.Get()), Ticks(info.timestamp)};
    }
    std::vector<Reading> ReadAll() {
        std::vector<Reading> all;
        for (DWORD id : tags_) all.push_back(Read(id));
        return all;
    }
    void SetPercent(double percent) {
        Variant value;
        V_VT(value.Get()) = VT_R8;
        V_R8(value.Get()) = percent;
        ASSERT_TRUE(driver_->WriteValue(percent_, value)) << "ChangePercent is writable";
    }
    // The indexes of the tags whose value went up by one in an update, after checking that
    // they and only they have the update's time.
    std::vector<int> ChangedByOneUpdate() {
        const std::vector<Reading> before = ReadAll();
        Sleep(20);  // the update's time is then after every earlier timestamp
        const ULONGLONG start = Now();
        EXPECT_EQ(1, driver_->Update(0));
        const std::vector<Reading> after = ReadAll();
        std::vector<int> changed;
        for (int i = 0; i < kCount; ++i) {
            if (after[i].value == before[i].value) {
                EXPECT_EQ(before[i].stamp, after[i].stamp) << "unchanged T tag " << i;
                continue;
            }
            EXPECT_EQ(before[i].value + 1, after[i].value) << i;
            EXPECT_GE(after[i].stamp, start) << i;
            changed.push_back(i);
        }
        return changed;
    }

    ScratchDirectory dir_;
    std::shared_ptr<CDriver> driver_;
    std::vector<DWORD> tags_;
    DWORD percent_ = 0;
};

TEST_F(ProbeBench, TheTagsAreListedInTheOrderOfTheirNames) {
    std::vector<std::string> names;
    driver_->EnumTags(names, driver_->GetObjectID(0, "Dev.Bench"));
    ASSERT_EQ(static_cast<size_t>(kCount) + 1, names.size());
    EXPECT_EQ("ChangePercent", names[0]);
    EXPECT_EQ("T00000", names[1]);
    EXPECT_EQ("T00249", names.back());
    for (size_t i = 2; i < names.size(); ++i) EXPECT_LT(names[i - 1], names[i]);
    EXPECT_EQ(0.0, Read(tags_[0]).value);
}

TEST_F(ProbeBench, NothingChangesAtZeroAndTheOtherTagsStillGetTheirTime) {
    const std::vector<int> changed = ChangedByOneUpdate();
    EXPECT_TRUE(changed.empty()) << changed.size() << " changed";
    // Tags made before and after the bench branch are stamped at every update as before.
    const ULONGLONG start = Now();
    EXPECT_EQ(1, driver_->Update(0));
    for (const char* tag : {"Dev.Before", "Dev.After"}) {
        CObjectInfo info;
        driver_->GetObjectInfo(driver_->GetObjectID(0, tag), info);
        EXPECT_GE(Ticks(info.timestamp), start) << tag;
    }
}

TEST_F(ProbeBench, OnePercentIsAWindowThatMovesOnAndWrapsRound) {
    SetPercent(1);
    EXPECT_EQ((std::vector<int>{0, 1, 2}), ChangedByOneUpdate());
    EXPECT_EQ((std::vector<int>{3, 4, 5}), ChangedByOneUpdate());
    // 84 updates of 3 are 252 changes: once round all 250 and on to the first two again.
    for (int update = 2; update < 84; ++update) EXPECT_EQ(1, driver_->Update(0));
    const std::vector<Reading> all = ReadAll();
    for (int i = 0; i < kCount; ++i) EXPECT_EQ(i < 2 ? 2.0 : 1.0, all[i].value) << i;
    EXPECT_EQ((std::vector<int>{2, 3, 4}), ChangedByOneUpdate());

    SetPercent(0);
    EXPECT_TRUE(ChangedByOneUpdate().empty());
}

TEST_F(ProbeBench, AHundredPercentChangesEveryTagAtEveryUpdate) {
    SetPercent(100);
    for (int update = 0; update < 2; ++update)
        EXPECT_EQ(static_cast<size_t>(kCount), ChangedByOneUpdate().size()) << update;
    SetPercent(40);  // 100 tags, from wherever the window stands
    const std::vector<int> changed = ChangedByOneUpdate();
    ASSERT_EQ(100u, changed.size());
    EXPECT_EQ(0, changed.front());
    EXPECT_EQ(99, changed.back());
}

}  // namespace
