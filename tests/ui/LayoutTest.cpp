#include "ui/UnitMain.h"

#include <QAction>
#include <QCheckBox>
#include <QFile>
#include <QFontInfo>
#include <QFrame>
#include <QHeaderView>
#include <QImage>
#include <QPainter>
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
    // Placed as designed, sized for the largest figure (SpeedLabelShowsTheLargestFigureWhole).
    {"LabelSpeed1", "QLabel", "CloudTransferFrm", {}, "LabelSpeed1", false, true, ""},
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

// Every control of the strip below the pages, and the pages: all inside the window, none
// over another.
void ExpectNothingHidden(TCloudTransferFrm& form) {
    const QRect client = form.rect();
    std::vector<QWidget*> strip{form.Button5, form.Button1, form.Button4, form.ProgressBar1,
                                form.LabelSpeed1, form.Button3, form.Button2};
    for (QWidget* w : strip) {
        EXPECT_TRUE(client.contains(w->geometry())) << w->objectName().toStdString();
        EXPECT_FALSE(w->geometry().intersects(form.PageControl1->geometry())) << w->objectName().toStdString();
        for (QWidget* other : strip)
            if (other != w) {
                EXPECT_FALSE(w->geometry().intersects(other->geometry()))
                    << w->objectName().toStdString() << " " << other->objectName().toStdString();
            }
    }
    EXPECT_TRUE(client.contains(form.PageControl1->geometry()));
}

TEST_F(Layout, TheStripFollowsTheWindowAndNothingIsEverHidden) {
    auto form = MakeForm();
    form->show();
    ExpectNothingHidden(*form);

    // Larger: the pages grow, the strip keeps to the bottom, "Salva" and "Elimina" to the right.
    form->resize(900, 600);
    EXPECT_EQ(form->PageControl1->geometry(), QRect(0, 0, 900, 568));
    EXPECT_EQ(form->Button2->geometry(), QRect(900 - 84, 600 - 30, 76, 25));
    EXPECT_EQ(form->Button3->geometry(), QRect(900 - 165, 600 - 30, 75, 25));
    EXPECT_EQ(form->Button5->geometry(), QRect(4, 600 - 29, 75, 25));
    EXPECT_EQ(form->ProgressBar1->geometry().topLeft(), QPoint(251, 600 - 24));
    ExpectNothingHidden(*form);
    // The queue view fills its page above the panel.
    EXPECT_EQ(form->Panel1->height(), 21);
    EXPECT_EQ(form->ValueListEditor1->geometry().bottom() + 1, form->Panel1->geometry().top());
    EXPECT_EQ(form->ValueListEditor1->width(), form->TabSheet1->width());

    // Smaller than designed it does not get: back at the designed places.
    form->resize(400, 200);
    EXPECT_EQ(form->size(), QSize(708, 409));
    EXPECT_EQ(form->Button2->geometry(), QRect(624, 379, 76, 25));
    EXPECT_EQ(form->PageControl1->geometry(), QRect(0, 0, 708, 377));
    ExpectNothingHidden(*form);
}

TEST_F(Layout, SpeedLabelShowsTheLargestFigureWhole) {
    auto form = MakeForm();
    form->show();
    auto* label = form->LabelSpeed1;
    EXPECT_EQ(label->geometry().topLeft(), QPoint(407, 386));
    for (char separator : {'.', ','}) {
        const QString text = QString::fromStdString(FormatSpeed(99999999.99, separator));
        EXPECT_EQ(text.size(), 16);
        label->setText(text);
        EXPECT_LE(label->fontMetrics().horizontalAdvance(text), label->contentsRect().width()) << text.toStdString();
        EXPECT_LE(label->fontMetrics().height(), label->contentsRect().height());
    }
    ExpectNothingHidden(*form);
}

TEST_F(Layout, QueueViewHasNoTitleRowAndANarrowFixedKeyColumn) {
    WriteBatch({"{\"v\":\"put\",\"f\":\"a\"}"});
    auto form = MakeForm();
    form->show();
    auto* grid = form->ValueListEditor1;
    auto* model = grid->Model();
    EXPECT_FALSE(grid->horizontalHeader()->isVisible());
    EXPECT_FALSE(grid->verticalHeader()->isVisible());
    EXPECT_EQ(model->columnCount(), 2);
    EXPECT_EQ(grid->columnWidth(0), 37);
    EXPECT_EQ(grid->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_EQ(model->headerData(0, Qt::Horizontal).toString(), "Comando");
    EXPECT_EQ(model->headerData(1, Qt::Horizontal).toString(), "File");
    // The value column takes the rest of the width.
    EXPECT_EQ(grid->columnWidth(0) + grid->columnWidth(1), grid->viewport()->width());
    // Row 0 is job 1; the key cell can never become the current cell.
    EXPECT_EQ(grid->Key(0), "1");
    EXPECT_FALSE(model->flags(model->index(0, 0)) & Qt::ItemIsSelectable);
    EXPECT_FALSE(model->flags(model->index(0, 0)) & Qt::ItemIsEditable);
    EXPECT_FALSE(model->flags(model->index(0, 1)) & Qt::ItemIsEditable);
    grid->SetCurrentCell(0, 0);
    EXPECT_EQ(grid->currentIndex().column(), 1);
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

// The dark pixels of a text drawn in a font: a bold face lays down clearly more of them.
int InkOf(const QString& text, const QFont& font) {
    QImage image(200, 40, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.drawText(QPoint(4, 28), text);
    painter.end();
    int ink = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ink += 255 - qGray(image.pixel(x, y));
    return ink;
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

TEST_F(Layout, TheDefaultMenuItemIsDrawnBold) {
    auto form = MakeForm();
    // The fonts the two items are drawn in: "Mostra" visibly bolder, both the same size (a
    // face whose bold looks regular, or a smaller font for one item, is what a person saw).
    const QFont menuFont = form->PopupMenu1->font();
    const QFont mostra = form->Mostrainterfaccia1->font().resolve(menuFont);
    const QFont esci = form->Esci1->font().resolve(menuFont);
    EXPECT_TRUE(QFontInfo(mostra).bold());
    EXPECT_EQ(QFontInfo(mostra).pixelSize(), QFontInfo(esci).pixelSize());
    QFont regular = mostra;
    regular.setBold(false);
    EXPECT_GT(InkOf("Mostra", mostra), InkOf("Mostra", regular) * 5 / 4);
}

} // namespace
} // namespace ct::test
