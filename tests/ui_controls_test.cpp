#include <gtest/gtest.h>

#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QTest>
#include <QUrl>

#include "tests/support/GatewayHarness.h"
#include "tests/support/ui/UiDriver.h"
#include "ui/AboutDlg.h"
#include "ui/AddExclusionDlg.h"
#include "ui/AddServerDlg.h"
#include "ui/ColorEdit.h"
#include "ui/ColorListCtrl.h"
#include "ui/IPAddressCtrl.h"

namespace {
constexpr unsigned kWhite = 0xFFFFFF, kBlack = 0, kYellow = 0xFFFF00, kBlue = 0x0000FF;
constexpr unsigned kGrey = 0xA0A0A0, kLightRed = 0xFF8080, kRed = 0xFF0000;

// Colours of one list cell as drawn: its background (near its right edge) and whether a pixel of
// the given text colour shows in it.
struct CCell {
    unsigned nBack;
    bool bHasText;
};

CCell DrawnCell(QWidget* pList, const QRect& rcCell, unsigned nText) {
    const QImage image = pList->grab().toImage();
    CCell cell{image.pixel(rcCell.right() - 1, rcCell.center().y()) & 0xFFFFFF, false};
    for (int x = rcCell.left(); x < rcCell.right(); ++x)
        for (int y = rcCell.top(); y <= rcCell.bottom(); ++y)
            cell.bHasText = cell.bHasText || (image.pixel(x, y) & 0xFFFFFF) == nText;
    return cell;
}

// Stands in for the desktop's web browser.
class CUrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> m_opened;
public slots:
    void Open(const QUrl& url) { m_opened << url; }
};

// Text pixels come in the text colour exactly.
void WithoutAntialiasing(QWidget* pWidget) {
    QFont font = pWidget->font();
    font.setStyleStrategy(QFont::NoAntialias);
    pWidget->setFont(font);
}
}  // namespace

TEST(CustomControls, ListRowsAreColouredSelectedAndClippedAsTheColourColumnSays) {
    // Contrast: black on white and where exactly one of red and blue is above 128.
    const COLORREF contrast[][2] = {
        {255, 0},        {16711680, 0},      {16711935, kWhite},  // red, blue, magenta
        {32768, kWhite}, {12632256, kWhite}, {kWhite, 0}};
    for (const auto& pair : contrast) EXPECT_EQ(CColorListCtrl::ContrastColor(pair[0]), pair[1]);

    CColorListCtrl list;
    WithoutAntialiasing(&list);
    list.setFocusPolicy(Qt::NoFocus);  // no row is focused until one is selected
    list.resize(300, 200);
    list.InsertColumn(0, "Name", LVCFMT_LEFT, 60);
    list.InsertColumn(1, "_color", LVCFMT_LEFT, 50);  // not the colour column: drawn
    list.InsertColumn(2, "_COLOR", LVCFMT_LEFT, 0);
    list.InsertColumn(3, "Active", LVCFMT_RIGHT, 50);
    const std::vector<std::pair<QString, QString>> rows = {
        {"a-light-red", "8421631"},
        {"b-plain", ""},
        {"c-red", "255"},
        {"d-magenta", "16711935"},
        {"e-zero", "0"},
        {"f-words", "red"},
        {"g-clipped-WWWWWWWWWWWWWWWWWWWWWW", ""}};
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) {  // sorted whatever the order
        const int nItem = list.InsertItem(0, it->first);
        list.SetItemText(nItem, 1, "255");
        list.SetItemText(nItem, 2, it->second);
        list.SetItemText(nItem, 3, "Yes");
    }
    list.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&list));
    ASSERT_EQ(list.GetItemText(0, 0), "a-light-red");
    auto cell = [&](int nRow, int nCol) {
        const QRect rcRow = list.visualItemRect(list.topLevelItem(nRow));
        const int nLeft = nCol == 0 ? 0 : nCol == 1 ? 60 : 110;
        return QRect(nLeft, rcRow.top(), nCol == 0 ? 60 : 50, rcRow.height());
    };
    const QRect rcRow0 = list.visualItemRect(list.topLevelItem(0));
    ASSERT_GT(rcRow0.height(), 0);
    struct CCase {
        int nRow;
        unsigned nBack, nText;
    };
    const std::vector<CCase> cases = {{0, kLightRed, kBlack}, {1, kWhite, kBlack},
                                      {2, kRed, kBlack},      {3, 0xFF00FF, kWhite},
                                      {4, kWhite, kBlack},    {5, kWhite, kBlack}};
    for (const CCase& c : cases) {
        for (int nCol : {0, 1, 3}) {
            const CCell drawn = DrawnCell(list.viewport(), cell(c.nRow, nCol), c.nText);
            EXPECT_EQ(drawn.nBack, c.nBack) << c.nRow << "/" << nCol;
            EXPECT_TRUE(drawn.bHasText) << c.nRow << "/" << nCol;
        }
    }
    // The long text stops at its column: the next cell holds only its own "255" near its left.
    const QRect rcNext = cell(6, 1).adjusted(30, 0, 0, 0);
    EXPECT_FALSE(DrawnCell(list.viewport(), rcNext, kBlack).bHasText);

    // A selected row is yellow on blue whatever its colour.
    list.setCurrentItem(list.topLevelItem(2));
    EXPECT_EQ(DrawnCell(list.viewport(), cell(2, 0), kYellow).nBack, kBlue);
    EXPECT_TRUE(DrawnCell(list.viewport(), cell(2, 0), kYellow).bHasText);

    // Disabled: rows without a colour on grey 160, the others in their own colour.
    list.clearSelection();
    list.setCurrentItem(nullptr);
    list.setEnabled(false);
    EXPECT_EQ(DrawnCell(list.viewport(), cell(1, 0), kBlack).nBack, kGrey);
    EXPECT_EQ(DrawnCell(list.viewport(), cell(0, 0), kBlack).nBack, kLightRed);
    // Nothing is drawn right of the last column.
    EXPECT_EQ(PixelAt(list.viewport(), 250, cell(0, 0).center().y()),
              PixelAt(list.viewport(), 250, list.viewport()->height() - 2));
}

TEST(CustomControls, TheBannerEditIsBlackOnRedAndColourZeroTurnsColouringOff) {
    CColorEdit edit;
    WithoutAntialiasing(&edit);
    edit.setText(" SMTP Server Error ");
    edit.resize(160, 24);
    edit.SetBkColor(255);
    edit.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&edit));
    const QRect rcText(4, 4, 150, 16);
    EXPECT_EQ(DrawnCell(&edit, rcText, kBlack).nBack, kRed);
    EXPECT_TRUE(DrawnCell(&edit, rcText, kBlack).bHasText);
    const QBrush* pFirst = edit.m_pBkBrush.get();
    edit.SetBkColor(0);
    EXPECT_FALSE(edit.m_bColorEnabled);
    ASSERT_NE(edit.m_pBkBrush, nullptr);  // a black brush is still held, the only one
    EXPECT_NE(edit.m_pBkBrush.get(), pFirst);
    EXPECT_EQ(edit.m_pBkBrush->color(), QColor(Qt::black));
    EXPECT_EQ(DrawnCell(&edit, rcText, kBlack).nBack, kWhite);
}

TEST(AboutBox, NamesTheProductAndItsLinkOpensTheAddressLeavingTheBoxOpen) {
    CGatewayHarness gateway;
    CAboutDlg about;
    about.Create();
    about.show();
    EXPECT_EQ(about.windowTitle(), "About tarnwk");
    QStringList texts;
    for (QLabel* pLabel : about.findChildren<QLabel*>()) texts << pLabel->text();
    EXPECT_TRUE(texts.contains("Tarnwick Professional"));
    EXPECT_TRUE(texts.contains(QString::fromUtf8("Version 0.50\xC3\x9F")));
    ASSERT_EQ(Item<QAbstractButton>(&about, 1027)->text(), QString(kWebAddress));

    CUrlCatcher catcher;
    QDesktopServices::setUrlHandler("http", &catcher, "Open");
    for (int i = 0; i < 3; ++i) Click(&about, 1027);
    QDesktopServices::unsetUrlHandler("http");
    EXPECT_EQ(catcher.m_opened, QList<QUrl>(3, QUrl(kWebAddress)));
    EXPECT_TRUE(about.isVisible());
    EXPECT_TRUE(gateway.Reports().empty());
    Click(&about, IDOK);
    EXPECT_FALSE(about.isVisible());
    EXPECT_EQ(about.result(), IDOK);
}

TEST(EntryDialogs, TheZoneComesBackAsTypedWithinWhatAnEntryCanHold) {
    struct CCase {
        QString strTyped;
        int nButton;
        std::string strResult;
    };
    const std::string strAccents = std::string(48, 'b') + "\xC3\xA9\xC3\xA9";  // 52 bytes
    const std::vector<CCase> cases = {
        {"", IDOK, ""},
        {"  zone  ", IDOK, "  zone  "},
        {"typed", IDCANCEL, ""},
        {QString::fromStdString(strAccents + std::string(46, 'c') + "\xC3\xA9"), IDOK,
         strAccents + std::string(46, 'c')},  // whole characters only
    };
    for (const CCase& c : cases) {
        CAddServerDlg dialog;
        dialog.Create();
        dialog.show();
        Type(&dialog, 1015, c.strTyped);
        Click(&dialog, c.nButton);
        EXPECT_EQ(dialog.result(), c.nButton) << c.strResult;
        EXPECT_EQ(dialog.m_strResult, c.strResult);
    }
    // Pasted text stops at its first line break.
    CAddServerDlg dialog;
    dialog.Create();
    Item<QLineEdit>(&dialog, 1015)->insert("bl.example\r\nrm -rf /");
    EXPECT_EQ(Item<QLineEdit>(&dialog, 1015)->text(), "bl.example");
}

TEST(EntryDialogs, TheAddressControlReadsBlanksAsZeroAndAllBlankAsNothing) {
    const std::vector<std::pair<QString, std::string>> cases = {{"", ""},
                                                                {"10.0.0.1", "10.0.0.1"},
                                                                {"192.168", "192.168.0.0"},
                                                                {"010..7", "10.7.0.0"},
                                                                {"300.1.2.3", "255.1.2.3"},
                                                                {"1.2.3.4.5", "1.2.3.45"}};
    for (const auto& [strTyped, strResult] : cases) {
        CAddExclusionDlg dialog;
        dialog.Create();
        dialog.show();
        CIPAddressCtrl* pAddress = Item<CIPAddressCtrl>(&dialog, 1024);
        pAddress->FocusField(0);
        for (const QChar ch : strTyped) QTest::keyClick(dialog.focusWidget(), ch.toLatin1());
        Click(&dialog, IDOK);
        EXPECT_EQ(dialog.result(), IDOK);
        EXPECT_EQ(dialog.m_strResult, strResult) << strTyped.toStdString();
    }
}

#include "ui_controls_test.moc"
