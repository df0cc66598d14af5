#include "platform/settings/TRegIniFile.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QTabWidget>

#include <gtest/gtest.h>

#include "UiTestSupport.h"

namespace ct::test {
namespace {

class Settings : public testing::Test, public UiFixtureBase {};

TEST_F(Settings, StoreLivesInTheUsersConfigFolder) {
    EXPECT_EQ(TRegIniFile::LocationFor(".\\config.ini"), ConfigFile().string());
    {
        TRegIniFile store(".\\config.ini");
        EXPECT_EQ(store.ReadInteger("Zentravo", "secdelay", 42), 42);
        store.WriteInteger("Zentravo", "secdelay", 9);
    }
    EXPECT_EQ(Stored("secdelay"), "9");
    TRegIniFile again(".\\config.ini");
    EXPECT_EQ(again.ReadInteger("Zentravo", "secdelay", 42), 9);
    EXPECT_EQ(again.ReadInteger("Zentravo", "BitsPerSec", -3), -3);
    EXPECT_EQ(again.ReadInteger("Altro", "secdelay", 5), 5);
}

TEST_F(Settings, KeysAreCaseSensitiveAndGarbageReadsAsDefault) {
    Store("SecDelay", "8");
    Store("BitsPerSec", "abc");
    TRegIniFile store(".\\config.ini");
    EXPECT_EQ(store.ReadInteger("Zentravo", "secdelay", 1), 1);
    EXPECT_EQ(store.ReadInteger("Zentravo", "BitsPerSec", 2), 2);
}

TEST_F(Settings, UnwritableStoreRaises) {
    // A plain file where the store's folder should be.
    const auto blocker = ConfigFile().parent_path();
    std::filesystem::create_directories(blocker.parent_path());
    WriteFileBytes(blocker, "not a folder");
    TRegIniFile store(".\\config.ini");
    EXPECT_THROW(store.WriteInteger("Zentravo", "secdelay", 1), SettingsError);
}

TEST_F(Settings, FirstStartWithNothingStoredWritesNothing) {
    auto form = MakeForm();
    EXPECT_EQ(SecDelay.load(), 0);
    EXPECT_EQ(BitsPerSecSetting.load(), 0);
    EXPECT_EQ(form->Edit1->text(), "0");
    EXPECT_EQ(form->Edit2->text(), "0");
    EXPECT_EQ(form->UpDown1->Tag, 0);
    EXPECT_FALSE(std::filesystem::exists(ConfigFile()));
    EXPECT_EQ(form->PageControl1->currentIndex(), 0);
}

TEST_F(Settings, StoredValuesAreLoadedWithTheirLow16Bits) {
    Store("secdelay", "70000");
    Store("BitsPerSec", "1200");
    auto form = MakeForm();
    EXPECT_EQ(SecDelay.load(), 4464);
    EXPECT_EQ(BitsPerSecSetting.load(), 1200);
    EXPECT_EQ(form->Edit1->text(), "4464");
    EXPECT_EQ(form->UpDown1->Position(), 100);
    EXPECT_EQ(form->Edit2->text(), "1200");
    EXPECT_EQ(form->UpDown2->Position(), 1200);
}

TEST_F(Settings, ArrowUpFromZeroStoresBothKeys) {
    Store("BitsPerSec", "1200");
    auto form = MakeForm();
    form->UpDown1->Click(TUpDownDirection::updUp);
    EXPECT_EQ(SecDelay.load(), 1);
    EXPECT_EQ(form->Edit1->text(), "1");
    EXPECT_EQ(Stored("secdelay"), "1");
    EXPECT_EQ(Stored("BitsPerSec"), "1200");
    EXPECT_EQ(form->UpDown1->Tag, 0);
    form->UpDown1->Click(TUpDownDirection::updDown);
    form->UpDown1->Click(TUpDownDirection::updDown);  // already at the minimum: no change
    EXPECT_EQ(SecDelay.load(), 0);
    EXPECT_EQ(Stored("secdelay"), "0");
}

TEST_F(Settings, HiddenBandwidthSpinnerKeepsOnlyLow16Bits) {
    auto form = MakeForm();
    form->UpDown2->SetPosition(65500);
    form->UpDown2->Click(TUpDownDirection::updUp);  // 65600 -> 64
    EXPECT_EQ(BitsPerSecSetting.load(), 64);
    EXPECT_EQ(Stored("BitsPerSec"), "64");
    EXPECT_EQ(Stored("secdelay"), "0");
}

TEST_F(Settings, GuardHeldMeansNothingIsStoredButTheSpinnerMoves) {
    auto form = MakeForm();
    form->UpDown1->Tag = 1;
    form->UpDown1->Click(TUpDownDirection::updUp);
    EXPECT_EQ(form->Edit1->text(), "1");
    EXPECT_EQ(SecDelay.load(), 0);
    form->Edit1->setText("5");
    form->Edit1Exit(form->Edit1);
    EXPECT_EQ(SecDelay.load(), 0);
    EXPECT_FALSE(std::filesystem::exists(ConfigFile()));
    EXPECT_EQ(form->UpDown1->Tag, 1);
}

TEST_F(Settings, StoreFailureLeavesTheGuardFree) {
    auto form = MakeForm();
    const auto blocker = ConfigFile().parent_path();
    WriteFileBytes(blocker, "not a folder");
    form->Edit1->setText("5");
    form->Edit1Exit(form->Edit1);  // dropped silently
    EXPECT_EQ(SecDelay.load(), 5);
    EXPECT_EQ(form->UpDown1->Tag, 0);
    bool allow = true;
    EXPECT_THROW(form->UpDown1ChangingEx(form->UpDown1, allow, 6, TUpDownDirection::updUp), SettingsError);
    EXPECT_EQ(form->UpDown1->Tag, 0);
    std::filesystem::remove(blocker);
    form->UpDown1->Click(TUpDownDirection::updUp);
    EXPECT_EQ(Stored("secdelay"), QString::number(SecDelay.load()));
}

struct TypedDelay {
    const char* text;
    bool accepted;
    int delay;
};

class TypedDelayTable : public testing::TestWithParam<TypedDelay>, public UiFixtureBase {};

TEST_P(TypedDelayTable, LeavingTheBoxStoresOrDropsIt) {
    const TypedDelay& c = GetParam();
    Store("secdelay", "3");
    auto form = MakeForm();
    form->Edit1->setText(QString::fromLatin1(c.text));
    form->Edit1Exit(form->Edit1);
    EXPECT_EQ(SecDelay.load(), c.accepted ? c.delay : 3);
    EXPECT_EQ(Stored("secdelay"), QString::number(c.accepted ? c.delay : 3));
    EXPECT_EQ(Stored("BitsPerSec"), c.accepted ? "0" : "");
    EXPECT_EQ(form->Edit1->text(), QString::fromLatin1(c.text));  // kept as typed
    EXPECT_EQ(form->UpDown1->Tag, 0);
}

INSTANTIATE_TEST_SUITE_P(Edit1, TypedDelayTable,
                         testing::Values(TypedDelay{"5", true, 5}, TypedDelay{"250", true, 250},
                                         TypedDelay{"70000", true, 4464}, TypedDelay{"-1", true, 65535},
                                         TypedDelay{"$10", true, 16}, TypedDelay{"abc", false, 0},
                                         TypedDelay{"", false, 0}, TypedDelay{"4294967296", false, 0},
                                         TypedDelay{"7 sec", false, 0}));

TEST_F(Settings, HiddenBandwidthBoxStoresItsValueToo) {
    auto form = MakeForm();
    form->Edit2->setText("1200");
    form->Edit1Exit(form->Edit2);
    EXPECT_EQ(BitsPerSecSetting.load(), 1200);
    EXPECT_EQ(SecDelay.load(), 0);
    EXPECT_EQ(Stored("BitsPerSec"), "1200");
    EXPECT_EQ(Stored("secdelay"), "0");
}

TEST_F(Settings, FocusLeavingTheBoxRunsTheExitHandler) {
    auto form = MakeForm();
    form->show();
    QApplication::setActiveWindow(form.get());
    ASSERT_TRUE(WaitUntil([&] { return form->isActiveWindow(); }, std::chrono::seconds(10)));
    form->PageControl1->setCurrentIndex(1);
    form->Edit1->setFocus(Qt::TabFocusReason);
    form->Edit1->setText("6");
    form->CBbackground->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(WaitUntil([&] { return SecDelay.load() == 6; }, std::chrono::seconds(10)));
    EXPECT_EQ(Stored("secdelay"), "6");
    // Another window taking the focus is no exit from the box.
    form->Edit1->setFocus(Qt::TabFocusReason);
    form->Edit1->setText("9");
    QWidget other;
    other.show();
    QApplication::setActiveWindow(&other);
    ASSERT_TRUE(WaitUntil([&] { return !form->isActiveWindow(); }, std::chrono::seconds(10)));
    EXPECT_EQ(SecDelay.load(), 6);
}

TEST_F(Settings, RestartShowsTheStoredDelay) {
    {
        auto form = MakeForm();
        form->Edit1->setText("7");
        form->Edit1Exit(form->Edit1);
    }
    SecDelay = 0;
    auto form = MakeForm();
    EXPECT_EQ(SecDelay.load(), 7);
    EXPECT_EQ(form->Edit1->text(), "7");
    EXPECT_EQ(form->UpDown1->Position(), 7);
}

TEST_F(Settings, ArrowsStartFromTypedNumberWithinTheRange) {
    auto form = MakeForm();
    form->Edit1->setText("42");
    form->UpDown1->Click(TUpDownDirection::updUp);
    EXPECT_EQ(form->Edit1->text(), "43");
    EXPECT_EQ(SecDelay.load(), 43);
    form->Edit1->setText("250");
    form->UpDown1->Click(TUpDownDirection::updUp);
    EXPECT_EQ(form->Edit1->text(), "100");
    EXPECT_EQ(SecDelay.load(), 100);
}

} // namespace
} // namespace ct::test
