#include "ui/UnitMain.h"

#include <QAction>
#include <QCheckBox>
#include <QFile>
#include <QFontInfo>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>

#include <gtest/gtest.h>

#include "UiTestSupport.h"
#include "platform/tray/TCoolTrayIcon.h"

namespace ct::test {
namespace {

struct ControlRow {
    const char* name;
    const char* qtClass;
    const char* parent;
    QRect geometry;
    const char* caption;   // nullptr: not checked
    bool visible;
    bool enabled;
    const char* hint;
};

// The layout as designed: creation order, class, parent, place, caption, initial state, hint.
const ControlRow kControls[] = {
    {"LabelSpeed1", "QLabel", "CloudTransferFrm", {407, 386, 61, 13}, "LabelSpeed1", false, true, ""},
    {"Button1", "QPushButton", "CloudTransferFrm", {82, 380, 75, 25}, "Avvia", true, true,
     "Avvia il trasferimento dei file in elenco"},
    {"Button2", "QPushButton", "CloudTransferFrm", {624, 379, 76, 25}, "Elimina", true, true, ""},
    {"Button3", "QPushButton", "CloudTransferFrm", {543, 379, 75, 25}, "Salva", true, false, ""},
    {"Button4", "QPushButton", "CloudTransferFrm", {170, 380, 75, 25}, "Termina", true, false,
     "Termina l'esecuzione del thread"},
    {"PageControl1", "QTabWidget", "CloudTransferFrm", {0, 0, 708, 377}, nullptr, true, true, ""},
    {"ValueListEditor1", "ct::TValueListEditor", "TabSheet1", {}, nullptr, true, true, ""},
    {"Panel1", "QFrame", "TabSheet1", {}, nullptr, true, true, ""},
    {"LabelFile1", "QLabel", "Panel1", {}, "", true, true, ""},
    {"Label1", "QLabel", "TabSheet2", {21, 6, 65, 13}, "Delay in Sec. ", true, true,
     "Secondi da attendere tra un trsferimento ftp ed un altro.\rserve ad evitare un intasamento della banda"},
    {"Label2", "QLabel", "TabSheet2", {285, 6, 66, 13}, "Banda Kb/Sec", false, true,
     "KbBit per secondo. \rlimita la larghezza di banda usata nei trasferimenti ftp"},
    {"Edit1", "QLineEdit", "TabSheet2", {92, 3, 66, 21}, "0", true, true, ""},
    {"Edit2", "QLineEdit", "TabSheet2", {357, 3, 64, 21}, "0", false, true, ""},
    {"UpDown2", "ct::TUpDown", "TabSheet2", {421, 3, 16, 21}, nullptr, false, true, ""},
    {"UpDown1", "ct::TUpDown", "TabSheet2", {158, 3, 16, 21}, nullptr, true, true, ""},
    {"CBbackground", "QCheckBox", "TabSheet2", {180, 4, 129, 17}, "Esegui in background", true, true, ""},
    {"Button6", "QPushButton", "TabSheet2", {21, 30, 153, 25}, "Nascondi sulla taskbar", true, true, ""},
    {"ProgressBar1", "QProgressBar", "CloudTransferFrm", {251, 385, 150, 17}, nullptr, false, true, ""},
    {"Button5", "QPushButton", "CloudTransferFrm", {4, 380, 75, 25}, "Esci", true, true, ""},
};

QString CaptionOf(QWidget* w) {
    if (auto* b = qobject_cast<QAbstractButton*>(w))
        return b->text();
    if (auto* l = qobject_cast<QLabel*>(w))
        return l->text();
    if (auto* e = qobject_cast<QLineEdit*>(w))
        return e->text();
    return {};
}

class InitialLayout : public testing::TestWithParam<ControlRow>, public UiFixtureBase {};

TEST_P(InitialLayout, ControlAsDesigned) {
    const ControlRow& row = GetParam();
    auto form = MakeForm();
    form->show();
    auto* w = form->findChild<QWidget*>(QString::fromLatin1(row.name));
    ASSERT_NE(w, nullptr) << row.name;
    EXPECT_STREQ(w->metaObject()->className(), row.qtClass);
    ASSERT_NE(w->parentWidget(), nullptr);
    EXPECT_EQ(w->parentWidget()->objectName(), QString::fromLatin1(row.parent));
    if (!row.geometry.isNull()) {
        EXPECT_EQ(w->geometry(), row.geometry) << row.name;
    }
    if (row.caption) {
        EXPECT_EQ(CaptionOf(w), QString::fromUtf8(row.caption));
    }
    // Visibility relative to the page, so that the second page's controls count as shown.
    EXPECT_EQ(!w->isHidden(), row.visible) << row.name;
    EXPECT_EQ(w->isEnabled(), row.enabled) << row.name;
    EXPECT_EQ(TCloudTransferFrm::HintOf(w), QString::fromUtf8(row.hint));
    QString shown = QString::fromUtf8(row.hint);
    shown.replace('\r', '\n');
    EXPECT_EQ(w->toolTip(), shown);
}

INSTANTIATE_TEST_SUITE_P(Controls, InitialLayout, testing::ValuesIn(kControls),
                         [](const testing::TestParamInfo<ControlRow>& info) { return std::string(info.param.name); });

class Layout : public testing::Test, public UiFixtureBase {};

TEST_F(Layout, WindowAsDesigned) {
    auto form = MakeForm();
    form->show();
    EXPECT_EQ(form->windowTitle(), "Trasferisci File su Cloud");
    EXPECT_EQ(form->size(), QSize(708, 409));
    const Qt::WindowFlags flags = form->windowFlags();
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowContextHelpButtonHint);
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_EQ(form->font().pixelSize(), 11);
    EXPECT_FALSE(form->font().bold());
    EXPECT_FALSE(form->windowIcon().isNull());
    EXPECT_EQ(form->PageControl1->count(), 2);
    EXPECT_EQ(form->PageControl1->tabText(0), "File da trasferire");
    EXPECT_EQ(form->PageControl1->tabText(1), "Avvio e limitazione banda");
    EXPECT_EQ(form->PageControl1->currentWidget(), form->TabSheet1);
    EXPECT_TRUE(form->CBbackground->isChecked());
    EXPECT_EQ(form->ProgressBar1->minimum(), 0);
    EXPECT_EQ(form->ProgressBar1->maximum(), 100);
    EXPECT_EQ(form->ProgressBar1->value(), 0);
    EXPECT_EQ(form->UpDown1->Min(), 0);
    EXPECT_EQ(form->UpDown1->Max(), 100);
    EXPECT_EQ(form->UpDown1->Increment(), 1);
    EXPECT_EQ(form->UpDown1->Associate(), form->Edit1);
    EXPECT_EQ(form->UpDown2->Max(), 1000000);
    EXPECT_EQ(form->UpDown2->Increment(), 100);
    EXPECT_EQ(form->UpDown2->Associate(), form->Edit2);
    EXPECT_EQ(form->LabelFile1->text(), "");
}

TEST_F(Layout, TahomaIsUsedWhereInstalled) {
    if (!QFile::exists("/usr/share/wine/fonts/tahoma.ttf"))
        GTEST_SKIP() << "fonts-wine is not installed";
    auto form = MakeForm();
    EXPECT_EQ(QFontInfo(form->Button1->font()).family(), "Tahoma");
}

TEST_F(Layout, PagesFollowTheWindowAndTheBottomStripStays) {
    auto form = MakeForm();
    form->show();
    form->resize(900, 600);
    EXPECT_EQ(form->PageControl1->geometry(), QRect(0, 0, 900, 568));
    EXPECT_EQ(form->Button2->geometry(), QRect(624, 379, 76, 25));
    // The queue view fills its page above the panel.
    EXPECT_EQ(form->Panel1->height(), 21);
    EXPECT_EQ(form->ValueListEditor1->geometry().bottom() + 1, form->Panel1->geometry().top());
    EXPECT_EQ(form->ValueListEditor1->width(), form->TabSheet1->width());
}

TEST_F(Layout, QueueViewHasNoTitleRowAndANarrowFixedKeyColumn) {
    WriteBatch({"{\"v\":\"put\",\"f\":\"a\"}"});
    auto form = MakeForm();
    form->show();
    auto* grid = form->ValueListEditor1;
    EXPECT_FALSE(grid->horizontalHeader()->isVisible());
    EXPECT_FALSE(grid->verticalHeader()->isVisible());
    EXPECT_EQ(grid->columnCount(), 2);
    EXPECT_EQ(grid->columnWidth(0), 37);
    EXPECT_EQ(grid->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_EQ(grid->horizontalHeaderItem(0)->text(), "Comando");
    EXPECT_EQ(grid->horizontalHeaderItem(1)->text(), "File");
    // The value column takes the rest of the width.
    EXPECT_EQ(grid->columnWidth(0) + grid->columnWidth(1), grid->viewport()->width());
    // Row 0 is job 1; the key cell can never become the current cell.
    EXPECT_EQ(grid->Key(0), "1");
    EXPECT_FALSE(grid->item(0, 0)->flags() & Qt::ItemIsSelectable);
    EXPECT_FALSE(grid->item(0, 0)->flags() & Qt::ItemIsEditable);
    EXPECT_FALSE(grid->item(0, 1)->flags() & Qt::ItemIsEditable);
    grid->setCurrentCell(0, 0);
    grid->setCurrentCell(0, 1);
    EXPECT_EQ(grid->currentColumn(), 1);
}

TEST_F(Layout, TabOrderWithinEachParent) {
    auto form = MakeForm();
    // The focus chain, limited to controls that take focus, in designed order.
    std::vector<QString> chain;
    QWidget* w = form->Button1;
    do {
        if (w->focusPolicy() & Qt::TabFocus)
            chain.push_back(w->objectName());
        w = w->nextInFocusChain();
    } while (w != form->Button1);
    const std::vector<QString> expected{"Button1", "Button2", "Button3", "Button4", "PageControl1",
                                        "ValueListEditor1", "Edit1", "Edit2", "CBbackground", "Button6",
                                        "Button5"};
    std::vector<QString> named;
    for (const auto& name : chain)
        if (std::find(expected.begin(), expected.end(), name) != expected.end())
            named.push_back(name);
    EXPECT_EQ(named, expected);
}

TEST_F(Layout, TrayMenuAndIcon) {
    auto form = MakeForm();
    const QList<QAction*> items = form->PopupMenu1->actions();
    ASSERT_EQ(items.size(), 2);
    EXPECT_EQ(items[0], form->Mostrainterfaccia1);
    EXPECT_EQ(items[0]->text(), "Mostra");
    EXPECT_EQ(items[1], form->Esci1);
    EXPECT_EQ(items[1]->text(), "Esci");
    EXPECT_EQ(form->PopupMenu1->defaultAction(), form->Mostrainterfaccia1);
    EXPECT_TRUE(form->Mostrainterfaccia1->font().bold());
    auto* tray = form->TextTrayIcon1;
    EXPECT_EQ(tray->Hint(), "Trasferimento su Cloud");
    EXPECT_EQ(tray->CycleInterval(), 100);
    EXPECT_EQ(tray->IconIndex(), 0);
    EXPECT_EQ(tray->PopupMenu(), form->PopupMenu1);
    EXPECT_TRUE(tray->LeftPopup);
    EXPECT_FALSE(tray->IconVisible());
    EXPECT_FALSE(tray->CycleIcons());
    EXPECT_FALSE(tray->Icon().isNull());
    EXPECT_EQ(tray->Icon().availableSizes().size(), 4);
}

} // namespace
} // namespace ct::test
