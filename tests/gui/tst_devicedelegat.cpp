#include "gui/devicedelegat.h"
#include "gui/devicesearchmodel.h"
#include "gui/palette.h"
#include "tests/testkit/painting.h"

#include <QImage>
#include <QPainter>
#include <QStandardItemModel>
#include <QtTest>

namespace {

const QString kThEui = QStringLiteral("A1B2C3D400000001");
const QString kPulseEui = QStringLiteral("A1B2C3D400000002");
const QString kUnknownEui = QStringLiteral("FFFF000000000000");

// Rows 0-2 share one type, row 3 has another, row 4 a type without template.
void fillDevices(QStandardItemModel *model)
{
    const QStringList names { "Boiler room", "Cold store", "Water meter", "Gas meter", "Stray sensor" };
    const QStringList appEuis { kThEui, kThEui, kThEui, kPulseEui, kUnknownEui };
    for (int row = 0; row < names.size(); ++row) {
        QList<QStandardItem *> items;
        for (const QString &text : { QString::number(row + 1), names.at(row), appEuis.at(row),
                                     QStringLiteral("70B3D57ED000%1").arg(row, 4, 10, QLatin1Char('0')) })
            items << new QStandardItem(text);
        while (items.size() < model->columnCount())
            items << new QStandardItem();
        model->appendRow(items);
    }
}

QImage paintRow(const CDeviceDelegat &delegate, const QModelIndex &index, QStyle::State state,
                const QSize &size = QSize(200, 30))
{
    return testkit::paintRow(delegate, index, state, size);
}

} // namespace

namespace {

SDeviceType typeOf(const QString &appEui, const QString &devType, const QColor &color)
{
    SDeviceType type;
    type.appEui = appEui;
    type.devType = devType;
    type.color = color;
    return type;
}

} // namespace

class tst_DeviceDelegat : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cardColourPerRowState_data();
    void cardColourPerRowState();
    void typeLookups();
    void unitIdOnTheCard();
    void searchFilter_data();
    void searchFilter();

private:
    QStringList m_lookups;
    std::unique_ptr<CDeviceDelegat> m_delegate;
};

void tst_DeviceDelegat::init()
{
    m_lookups.clear();
    m_delegate = std::make_unique<CDeviceDelegat>([this](const QString &appEui) {
        m_lookups << appEui;
        if (appEui == kThEui)
            return typeOf(appEui, QStringLiteral("TH-Sense 20"), QColor(0x3f, 0x92, 0xd2));
        if (appEui == kPulseEui)
            return typeOf(appEui, QStringLiteral("Pulse Meter 3"), QColor(0xfb, 0x9f, 0x48));
        return SDeviceType {};
    });
}

void tst_DeviceDelegat::cardColourPerRowState_data()
{
    QTest::addColumn<int>("columns");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("state");
    QTest::addColumn<QColor>("expected"); // invalid: nothing painted
    QTest::addColumn<bool>("darker"); // than expected, hue kept, opaque
    const QColor th(0x3f, 0x92, 0xd2);
    QTest::newRow("even plain") << 6 << 0 << int(QStyle::State_None) << th << false;
    QTest::newRow("odd translucent") << 6 << 1 << int(QStyle::State_None) << QColor(0x3f, 0x92, 0xd2, 200)
                                     << false;
    QTest::newRow("even hovered") << 6 << 0 << int(QStyle::State_MouseOver) << th << true;
    QTest::newRow("odd selected") << 6 << 1 << int(QStyle::State_Selected) << th << true;
    QTest::newRow("other type") << 6 << 3 << int(QStyle::State_None) << QColor(0xfb, 0x9f, 0x48, 200)
                                << false;
    // A type without a template still gets a card, in a neutral grey.
    QTest::newRow("no template") << 6 << 4 << int(QStyle::State_None) << QC_GLOB_BLACK6C_25 << false;
    QTest::newRow("no template selected")
        << 6 << 4 << int(QStyle::State_Selected) << QC_GLOB_BLACK6C_25 << true;
    QTest::newRow("5 columns") << 5 << 0 << int(QStyle::State_None) << QColor() << false;
    // the device listing adds the unit id after the stored columns
    QTest::newRow("7 columns, with the unit id") << 7 << 0 << int(QStyle::State_None) << th << false;
    QTest::newRow("8 columns") << 8 << 0 << int(QStyle::State_None) << QColor() << false;
}

void tst_DeviceDelegat::cardColourPerRowState()
{
    QFETCH(int, columns);
    QFETCH(int, row);
    QFETCH(int, state);
    QFETCH(QColor, expected);
    QFETCH(bool, darker);
    QStandardItemModel model(0, columns);
    fillDevices(&model);
    if (!expected.isValid())
        QTest::ignoreMessage(QtDebugMsg, "[CDeviceDelegat::paintAllRow] ERROR: invalid input data size!");
    const QImage image = paintRow(*m_delegate, model.index(row, 0), QStyle::State(state));
    if (!expected.isValid()) {
        QImage blank(image.size(), image.format());
        blank.fill(Qt::transparent);
        QCOMPARE(image, blank);
        QVERIFY(m_lookups.isEmpty());
        return;
    }
    // The card's top edge and its right end, away from text.
    for (const QPoint &p : { QPoint(100, 0), QPoint(198, 15) }) {
        const QColor got = image.pixelColor(p);
        if (darker) {
            QVERIFY(got.lightness() < expected.lightness() - 10);
            QVERIFY(qAbs(got.hslHue() - expected.hslHue()) <= 8 && got.alpha() == 255);
            continue;
        }
        QVERIFY2(
            qAbs(got.red() - expected.red()) <= 1 && qAbs(got.green() - expected.green()) <= 1
                && qAbs(got.blue() - expected.blue()) <= 1 && got.alpha() == expected.alpha(),
            qPrintable(got.name(QColor::HexArgb) + QLatin1String(" vs ") + expected.name(QColor::HexArgb)));
    }
    // Rounded corners: the very corner stays clear.
    QVERIFY(image.pixelColor(0, 0).alpha() < expected.alpha());
}

void tst_DeviceDelegat::typeLookups()
{
    QStandardItemModel model(0, 6);
    fillDevices(&model);
    // Every row painted twice: one lookup per AppEUI, the unknown one included.
    for (int pass = 0; pass < 2; ++pass)
        for (int row = 0; row < model.rowCount(); ++row)
            paintRow(*m_delegate, model.index(row, 0), pass ? QStyle::State_MouseOver : QStyle::State_None);
    QCOMPARE(m_lookups, QStringList({ kThEui, kPulseEui, kUnknownEui }));
    QCOMPARE(m_delegate->typeCacheSize(), 3);

    // The type name goes right-aligned on the second line in the lilac pen;
    // without a template that end stays empty but the name is still drawn.
    auto count = [](const QImage &image, const QRect &area, auto match) {
        int n = 0;
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x)
                n += match(image.pixelColor(x, y));
        return n;
    };
    auto lilac = [](const QColor &c) { return c.red() < 0x70 && c.green() < 0x40 && c.blue() > 0x50; };
    const QImage known = paintRow(*m_delegate, model.index(3, 0), QStyle::State_None, QSize(300, 30));
    const QImage unknown = paintRow(*m_delegate, model.index(4, 0), QStyle::State_None, QSize(300, 30));
    QVERIFY(count(known, QRect(150, 14, 150, 16), lilac) > 10);
    QCOMPARE(count(unknown, QRect(150, 14, 150, 16), lilac), 0);
    QVERIFY(count(unknown, QRect(0, 0, 60, 14), [](const QColor &c) { return c.lightness() < 60; }) > 10);
}

void tst_DeviceDelegat::searchFilter_data()
{
    QTest::addColumn<QString>("search");
    QTest::addColumn<QStringList>("names");
    QTest::newRow("empty keeps all") << QString()
                                     << QStringList { "Boiler room", "Cold store", "Water meter", "Gas meter",
                                                      "Stray sensor" };
    QTest::newRow("case ignored") << "METER" << QStringList { "Water meter", "Gas meter" };
    QTest::newRow("only the name column") << "70B3" << QStringList {};
}

void tst_DeviceDelegat::searchFilter()
{
    QFETCH(QString, search);
    QFETCH(QStringList, names);
    QStandardItemModel model(0, 6);
    fillDevices(&model);
    CDeviceSearchModel proxy;
    proxy.setSourceModel(&model);
    // A new value filters again.
    proxy.setSearchValue(QStringLiteral("zzz"));
    QCOMPARE(proxy.rowCount(), 0);
    proxy.setSearchValue(search);
    QStringList shown;
    for (int row = 0; row < proxy.rowCount(); ++row)
        shown << proxy.index(row, 1).data().toString();
    QCOMPARE(shown, names);
}

// The listing's seventh column, the unit id, is written on the card beside
// the DevEUI; without one (NULL) the card is as before.
void tst_DeviceDelegat::unitIdOnTheCard()
{
    QStandardItemModel listing(0, 7);
    fillDevices(&listing);
    QStandardItemModel stored(0, 6);
    fillDevices(&stored);
    const QImage plain = paintRow(*m_delegate, stored.index(0, 0), QStyle::State_None);
    QCOMPARE(paintRow(*m_delegate, listing.index(0, 0), QStyle::State_None), plain);
    listing.setData(listing.index(0, 6), 5);
    QVERIFY(paintRow(*m_delegate, listing.index(0, 0), QStyle::State_None) != plain);
}

QTEST_MAIN(tst_DeviceDelegat)
#include "tst_devicedelegat.moc"
