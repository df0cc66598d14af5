#include "platform/tray/TCoolTrayIcon.h"

#include <QAction>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "UiTestSupport.h"

namespace ct::test {
namespace {

class Tray : public testing::Test, public UiFixtureBase {};

TEST_F(Tray, HidingToTheTrayWhileIdle) {
    auto form = MakeForm();
    form->show();
    form->Button6Click(form->Button6);
    auto* tray = form->TextTrayIcon1;
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(tray->TaskbarIconHidden());
    EXPECT_TRUE(tray->IconVisible());
    EXPECT_TRUE(tray->CycleIcons());
    ASSERT_EQ(tray->BalloonCount(), 1);
    EXPECT_EQ(tray->LastBalloon().title, "Trasferimento su Cloud");
    EXPECT_EQ(tray->LastBalloon().text, "Attendere...");
    EXPECT_EQ(tray->LastBalloon().icon, TBalloonHintIcon::bitNone);
    EXPECT_EQ(tray->LastBalloon().timeoutSeconds, 10);
    EXPECT_EQ(tray->Hint(), "Trasferimento su Cloud");
}

TEST_F(Tray, ComingBackKeepsCyclingAndTheHint) {
    auto form = MakeForm();
    form->show();
    form->Button6Click(form->Button6);
    form->TextTrayIcon1->SetHint(std::string("Trasferimento su Cloud - Attendere...\r\n File 3/10"));
    form->Mostrainterfaccia1->trigger();
    auto* tray = form->TextTrayIcon1;
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(tray->TaskbarIconHidden());
    EXPECT_FALSE(tray->IconVisible());
    EXPECT_TRUE(tray->CycleIcons());
    EXPECT_EQ(tray->Hint(), "Trasferimento su Cloud - Attendere...\r\n File 3/10");
    EXPECT_EQ(tray->BalloonCount(), 1);
}

TEST_F(Tray, LeftClickOpensTheMenuToo) {
    auto form = MakeForm();
    auto* tray = form->TextTrayIcon1;
    QSignalSpy opened(tray, &TCoolTrayIcon::MenuRequested);
    tray->Click(QSystemTrayIcon::Trigger);
    EXPECT_EQ(opened.count(), 1);
    EXPECT_TRUE(form->PopupMenu1->isVisible());
    form->PopupMenu1->hide();
    tray->Click(QSystemTrayIcon::DoubleClick);
    tray->Click(QSystemTrayIcon::MiddleClick);
    EXPECT_EQ(opened.count(), 1);
    tray->LeftPopup = false;
    tray->Click(QSystemTrayIcon::Trigger);
    EXPECT_EQ(opened.count(), 1);
}

TEST_F(Tray, EsciFromTheTrayEndsTheApplication) {
    auto form = MakeForm();
    form->show();
    form->Button6Click(form->Button6);
    form->Esci1->trigger();
    EXPECT_EQ(terminations, 1);
    EXPECT_FALSE(form->TextTrayIcon1->IconVisible());
}

TEST_F(Tray, EsciButtonClosesTheWindowAndEnds) {
    auto form = MakeForm();
    form->show();
    form->Button5->click();
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(terminations, 1);
}

TEST(TrayIcon, KeepsItsStateWithoutASystemTray) {
    TCoolTrayIcon tray;
    tray.SetHint(std::string("a\r\nb"));
    EXPECT_EQ(tray.Hint(), "a\r\nb");
    tray.SetIconVisible(true);
    EXPECT_TRUE(tray.IconVisible());
    const bool shown = tray.ShowBalloonHint(std::string("t"), std::string("x"), TBalloonHintIcon::bitWarning, 3);
    EXPECT_EQ(shown, TCoolTrayIcon::SystemTrayAvailable() && QSystemTrayIcon::supportsMessages());
    EXPECT_EQ(tray.LastBalloon().text, "x");
    EXPECT_EQ(tray.LastBalloon().icon, TBalloonHintIcon::bitWarning);
    tray.SetIconVisible(false);
    EXPECT_FALSE(tray.ShowBalloonHint(QString("t"), QString("y"), TBalloonHintIcon::bitNone, 10));
    EXPECT_EQ(tray.BalloonCount(), 2);
}

TEST(TrayIcon, CyclesThroughFramesOnlyWhenItHasSome) {
    TCoolTrayIcon tray;
    tray.SetCycleInterval(10);
    tray.SetCycleIcons(true);
    EXPECT_TRUE(tray.CycleIcons());
    EXPECT_TRUE(WaitUntil([] { return false; }, std::chrono::milliseconds(60)) == false);
    EXPECT_EQ(tray.IconIndex(), 0);
    QPixmap a(16, 16), b(16, 16);
    a.fill(Qt::red);
    b.fill(Qt::blue);
    tray.SetCycleFrames({QIcon(a), QIcon(b)});
    EXPECT_TRUE(WaitUntil([&] { return tray.IconIndex() == 1; }, std::chrono::seconds(10)));
}

} // namespace
} // namespace ct::test
