#include "gui/devicedelegat.h"
#include "gui/devicesearchmodel.h"
#include "gui/palette.h"

#include <QImage>
#include <QPainter>
#include <QStandardItemModel>
#include <QtTest>

namespace {

const QString kThEui = QStringLiteral("A1B2C3D400000001");
const QString kPulseEui = QStringLiteral("A1B2C3D400000002");
const QString kUnknownEui = QStringLiteral("FFFF000000000000");
const QColor kThColor(0x3f, 0x92, 0xd2);
const QColor kPulseColor(0xfb, 0x9f, 0x48);

QStandardItemModel *deviceModel(QObject *parent, int columns = 6)
{
    auto *model = new QStandardItemModel(0, columns, parent);
    const QList<QStringList> rows = {
        { QStringLiteral("1"), QStringLiteral("Boiler room"), kThEui, QStringLiteral("70B3D57ED0001A01") },
        { QStringLiteral("2"), QStringLiteral("Cold store"), kThEui, QStringLiteral("70B3D57ED0001A02") },
        { QStringLiteral("3"), QStringLiteral("Water meter"), kThEui, QStringLiteral("70B3D57ED0001A03") },
        { QStringLiteral("4"), QStringLiteral("Gas meter"), kPulseEui, QStringLiteral("70B3D57ED0002B11") },
        { QStringLiteral("5"), QStringLiteral("Stray sensor"), kUnknownEui,
          QStringLiteral("70B3D57ED0009999") },
    };
    for (const QStringList &r : rows) {
        QList<QStandardItem *> items;
        for (int c = 0; c < columns; ++c)
            items << new QStandardItem(c < r.size() ? r.at(c) : QString());
        model->appendRow(items);
    }
    return model;
}

} // namespace

class tst_DeviceDelegat : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanupTestCase();

    void cardColourPerRowState_data();
    void cardColourPerRowState();
    void typeWithoutTemplateIsGrey();
    void typeCacheSharedAndFilledOnce();
    void typeNameDrawnOnlyWhenKnown();
    void wrongColumnCountPaintsNothing_data();
    void wrongColumnCountPaintsNothing();

    void searchFilter_data();
    void searchFilter();

private:
    QImage paintRow(const CDeviceDelegat &delegate, const QModelIndex &index, QStyle::State state,
                    const QSize &size = QSize(200, 30));

    QStringList m_lookups;
};

void tst_DeviceDelegat::init()
{
    m_lookups.clear();
    CDeviceDelegat::setTypeLookup([this](const QString &appEui) {
        m_lookups << appEui;
        if (appEui == kThEui)
            return SDeviceTypeInfo { appEui, QStringLiteral("TH-Sense 20"), kThColor };
        if (appEui == kPulseEui)
            return SDeviceTypeInfo { appEui, QStringLiteral("Pulse Meter 3"), kPulseColor };
        return SDeviceTypeInfo {};
    });
}

void tst_DeviceDelegat::cleanupTestCase()
{
    CDeviceDelegat::setTypeLookup({});
}

QImage tst_DeviceDelegat::paintRow(const CDeviceDelegat &delegate, const QModelIndex &index,
                                   QStyle::State state, const QSize &size)
{
    QImage image(size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    QStyleOptionViewItem option;
    option.rect = QRect(QPoint(0, 0), size);
    option.state = QStyle::State_Enabled | state;
    delegate.paint(&painter, option, index);
    painter.end();
    return image;
}

void tst_DeviceDelegat::cardColourPerRowState_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("state");
    QTest::addColumn<QColor>("expected");

    const QColor darker(int(0x3f / 1.3), int(0x92 / 1.3), int(0xd2 / 1.3));
    QTest::newRow("row 0 plain") << 0 << int(QStyle::State_None) << kThColor;
    QTest::newRow("row 1 translucent") << 1 << int(QStyle::State_None) << QColor(0x3f, 0x92, 0xd2, 200);
    QTest::newRow("row 2 plain") << 2 << int(QStyle::State_None) << kThColor;
    QTest::newRow("row 0 hovered") << 0 << int(QStyle::State_MouseOver) << darker;
    QTest::newRow("row 1 selected") << 1 << int(QStyle::State_Selected) << darker;
    QTest::newRow("other type") << 3 << int(QStyle::State_None) << QColor(0xfb, 0x9f, 0x48, 200);
    QTest::newRow("other type selected")
        << 3 << int(QStyle::State_Selected) << QColor(int(0xfb / 1.3), int(0x9f / 1.3), int(0x48 / 1.3));
}

void tst_DeviceDelegat::cardColourPerRowState()
{
    QFETCH(int, row);
    QFETCH(int, state);
    QFETCH(QColor, expected);
    QStandardItemModel *model = deviceModel(this);
    CDeviceDelegat delegate;
    const QImage image = paintRow(delegate, model->index(row, 0), QStyle::State(state));

    // Sample the card's top edge and a point on its right end, away from text.
    for (const QPoint &p : { QPoint(100, 0), QPoint(198, 15) }) {
        const QColor got = image.pixelColor(p);
        QVERIFY2(
            qAbs(got.red() - expected.red()) <= 1 && qAbs(got.green() - expected.green()) <= 1
                && qAbs(got.blue() - expected.blue()) <= 1 && got.alpha() == expected.alpha(),
            qPrintable(got.name(QColor::HexArgb) + QLatin1String(" vs ") + expected.name(QColor::HexArgb)));
    }
    // Rounded corners: the very corner stays clear.
    QVERIFY(image.pixelColor(0, 0).alpha() < expected.alpha());
    delete model;
}

void tst_DeviceDelegat::typeWithoutTemplateIsGrey()
{
    QStandardItemModel *model = deviceModel(this);
    CDeviceDelegat delegate;
    QImage image = paintRow(delegate, model->index(4, 0), QStyle::State_None);
    QCOMPARE(image.pixelColor(100, 0), QC_GLOB_BLACK6C_25);
    image = paintRow(delegate, model->index(4, 0), QStyle::State_Selected);
    QCOMPARE(image.pixelColor(100, 0), QColor(int(0xc4 / 1.3), int(0xc6 / 1.3), int(0xc9 / 1.3)));
    delete model;
}

void tst_DeviceDelegat::typeCacheSharedAndFilledOnce()
{
    QStandardItemModel *model = deviceModel(this);
    CDeviceDelegat first;
    CDeviceDelegat second;
    for (int row = 0; row < model->rowCount(); ++row) {
        paintRow(first, model->index(row, 0), QStyle::State_None);
        paintRow(second, model->index(row, 0), QStyle::State_MouseOver);
    }
    // One lookup per AppEUI, the unknown one included, across both delegates.
    QCOMPARE(m_lookups, QStringList({ kThEui, kPulseEui, kUnknownEui }));
    QCOMPARE(CDeviceDelegat::typeCacheSize(), 3);
    delete model;
}

void tst_DeviceDelegat::typeNameDrawnOnlyWhenKnown()
{
    // The type name is right-aligned on the second line in the lilac pen; an
    // AppEUI without a template leaves that end of the line empty.
    auto lilacPixelsRightOfMiddle = [](const QImage &image) {
        int count = 0;
        for (int y = 14; y < image.height(); ++y)
            for (int x = image.width() / 2; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                if (c.red() < 0x70 && c.green() < 0x40 && c.blue() > 0x50)
                    ++count;
            }
        return count;
    };
    auto namePixelsTopLeft = [](const QImage &image) {
        int count = 0;
        for (int y = 0; y < 14; ++y)
            for (int x = 0; x < 60; ++x)
                count += image.pixelColor(x, y).lightness() < 60 ? 1 : 0;
        return count;
    };
    QStandardItemModel *model = deviceModel(this);
    CDeviceDelegat delegate;
    const QImage known = paintRow(delegate, model->index(3, 0), QStyle::State_None, QSize(300, 30));
    const QImage unknown = paintRow(delegate, model->index(4, 0), QStyle::State_None, QSize(300, 30));
    QVERIFY(lilacPixelsRightOfMiddle(known) > 10);
    QCOMPARE(lilacPixelsRightOfMiddle(unknown), 0);
    QVERIFY(namePixelsTopLeft(known) > 10);
    QVERIFY(namePixelsTopLeft(unknown) > 10);
    delete model;
}

void tst_DeviceDelegat::wrongColumnCountPaintsNothing_data()
{
    QTest::addColumn<int>("columns");
    QTest::newRow("five") << 5;
    QTest::newRow("seven") << 7;
}

void tst_DeviceDelegat::wrongColumnCountPaintsNothing()
{
    QFETCH(int, columns);
    QStandardItemModel *model = deviceModel(this, columns);
    CDeviceDelegat delegate;
    for (int row = 0; row < 3; ++row) {
        QTest::ignoreMessage(QtDebugMsg, "[CDeviceDelegat::paintAllRow] ERROR: invalid input data size!");
        const QImage image = paintRow(delegate, model->index(row, 0), QStyle::State_None);
        QCOMPARE(image, [&] {
            QImage blank(image.size(), image.format());
            blank.fill(Qt::transparent);
            return blank;
        }());
    }
    QVERIFY(m_lookups.isEmpty());
    delete model;
}

void tst_DeviceDelegat::searchFilter_data()
{
    QTest::addColumn<QString>("search");
    QTest::addColumn<QStringList>("names");

    QTest::newRow("empty keeps all") << QString()
                                     << QStringList { "Boiler room", "Cold store", "Water meter", "Gas meter",
                                                      "Stray sensor" };
    QTest::newRow("lower matches upper inside") << "METER" << QStringList { "Water meter", "Gas meter" };
    QTest::newRow("upper in name") << "boiler" << QStringList { "Boiler room" };
    QTest::newRow("only the name column") << "70B3" << QStringList {};
    QTest::newRow("app eui not searched") << "A1B2" << QStringList {};
    QTest::newRow("no match") << "pump" << QStringList {};
}

void tst_DeviceDelegat::searchFilter()
{
    QFETCH(QString, search);
    QFETCH(QStringList, names);
    QStandardItemModel *model = deviceModel(this);
    CDeviceSearchModel proxy;
    proxy.setSourceModel(model);
    proxy.setSearchValue(QStringLiteral("zzz"));
    QCOMPARE(proxy.rowCount(), 0);
    proxy.setSearchValue(search);
    QStringList shown;
    for (int row = 0; row < proxy.rowCount(); ++row)
        shown << proxy.index(row, 1).data().toString();
    QCOMPARE(shown, names);
    delete model;
}

QTEST_MAIN(tst_DeviceDelegat)
#include "tst_devicedelegat.moc"
