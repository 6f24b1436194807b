#include "app/constants.h"
#include "app/logfile.h"
#include "gui/palette.h"
#include "gui/registerdelegat.h"
#include "gui/simpleregisterdelegat.h"
#include "gui/simpleregistereditwidget.h"

#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>
#include <ctime>
#include <memory>

namespace {

enum EColumn {
    COL_REG_ADDR = 2,
    COL_START_VALUE = 3,
    COL_GRATING = 4,
    COL_BIT_SIZE = 5,
    COL_DATA_TYPE = 6,
    COL_FULL_VALUE = 8,
    COL_TIME = 9,
    COL_NAME = 10,
    COL_UNIT = 11,
    COL_SOURCE = 13,
};

struct SRow
{
    int regAddr = 40;
    int bitSize = 16;
    QString dataType = QStringLiteral("integer");
    QVariant fullValue;
    QVariant time;
    QString name = QStringLiteral("Temperature");
    QString unit;
    qint64 startValue = 0;
    qint64 grating = 1;
    int source = 1;
};

// A model laid out as the dev_data table; unset cells stay NULL.
void appendRow(QStandardItemModel *model, const SRow &r)
{
    QList<QStandardItem *> items;
    for (int c = 0; c < model->columnCount(); ++c)
        items << new QStandardItem();
    auto set = [&](int column, const QVariant &v) {
        if (column < items.size() && !v.isNull())
            items[column]->setData(v, Qt::EditRole);
    };
    set(COL_REG_ADDR, r.regAddr);
    set(COL_START_VALUE, r.startValue);
    set(COL_GRATING, r.grating);
    set(COL_BIT_SIZE, r.bitSize);
    set(COL_DATA_TYPE, r.dataType);
    set(COL_FULL_VALUE, r.fullValue);
    set(COL_TIME, r.time);
    set(COL_NAME, r.name);
    set(COL_UNIT, r.unit);
    set(COL_SOURCE, r.source);
    model->appendRow(items);
}

QImage paintRow(const QAbstractItemDelegate &delegate, const QModelIndex &index, QStyle::State state,
                QSize size)
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

bool isBlank(const QImage &image)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixelColor(x, y).alpha() != 0)
                return false;
    return true;
}

// Pixels close to a pen colour inside a rectangle: where a text landed.
int inkIn(const QImage &image, const QRect &area, const QColor &pen)
{
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (qAbs(c.red() - pen.red()) < 20 && qAbs(c.green() - pen.green()) < 20
                && qAbs(c.blue() - pen.blue()) < 20)
                ++count;
        }
    return count;
}

} // namespace

class tst_RegisterViews : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void addressForms_data();
    void addressForms();
    void timeForms();
    void valueDecoding_data();
    void valueDecoding();
    void unsupportedTypesAreLogged();

    void backgroundPerRowState_data();
    void backgroundPerRowState();
    void valueRightAlignedNameLeft();
    void wrongColumnCountPaintsNothing_data();
    void wrongColumnCountPaintsNothing();

    void simpleDelegatePaintsBadgeAndSeparator();
    void simpleDelegateColumnCheck();
    void editorOnlyForNumbers_data();
    void editorOnlyForNumbers();
    void editorRoundTrip_data();
    void editorRoundTrip();
    void editorWidgetLayout();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QByteArray m_savedTz;
};

void tst_RegisterViews::initTestCase()
{
    // Dates are checked in a fixed zone; the log goes to a scratch folder.
    m_savedTz = qgetenv("TZ");
    qputenv("TZ", "UTC");
    tzset();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir::setCurrent(m_dir->path()));
    CLogFile::getInstance(QStringLiteral("history.log"));
}

void tst_RegisterViews::cleanupTestCase()
{
    if (m_savedTz.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", m_savedTz);
    tzset();
    QLocale::setDefault(QLocale::c());
}

void tst_RegisterViews::addressForms_data()
{
    QTest::addColumn<int>("regAddr");
    QTest::addColumn<int>("bitSize");
    QTest::addColumn<QString>("expected");
    QTest::newRow("1 bit") << 40 << 1 << "ModBUS register[40]";
    QTest::newRow("16 bits") << 40 << 16 << "ModBUS register[40]";
    QTest::newRow("17 bits") << 40 << 17 << "ModBUS register[40..41]";
    QTest::newRow("32 bits") << 40 << 32 << "ModBUS register[40..41]";
    QTest::newRow("33 bits") << 40 << 33 << "ModBUS register[40..42]";
    QTest::newRow("64 bits") << 40 << 64 << "ModBUS register[40..43]";
    QTest::newRow("address 0") << 0 << 48 << "ModBUS register[0..2]";
}

void tst_RegisterViews::addressForms()
{
    QFETCH(int, regAddr);
    QFETCH(int, bitSize);
    QFETCH(QString, expected);
    QCOMPARE(CRegisterDelegat::addressText(regAddr, bitSize), expected);
}

void tst_RegisterViews::timeForms()
{
    QCOMPARE(CRegisterDelegat::timeText(QVariant()), QStringLiteral("NEVER RECEIVING"));
    QCOMPARE(CRegisterDelegat::timeText(QVariant(QVariant::LongLong)), QStringLiteral("NEVER RECEIVING"));
    QCOMPARE(CRegisterDelegat::timeText(0), QStringLiteral("NEVER RECEIVING"));
    // 2023-11-14 22:13:20 UTC.
    QCOMPARE(CRegisterDelegat::timeText(Q_INT64_C(1700000000000)), QStringLiteral("14-Nov-23 22:13:20"));

    // English month names whatever the default locale, as in the log file.
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    // 2024-03-05 07:08:09 UTC.
    QCOMPARE(CRegisterDelegat::timeText(Q_INT64_C(1709622489000)), QStringLiteral("05-Mar-24 07:08:09"));
    QLocale::setDefault(QLocale::c());
}

void tst_RegisterViews::valueDecoding_data()
{
    QTest::addColumn<QString>("dataType");
    QTest::addColumn<QVariant>("fullValue");
    QTest::addColumn<int>("bitSize");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("expected");

    const QString never = QStringLiteral("NEVER RECEIVING");
    QTest::newRow("int16 negative") << "integer" << QVariant("fffe") << 16 << ""
                                    << "-2";
    QTest::newRow("uint16 same text") << "uinteger" << QVariant("fffe") << 16 << ""
                                      << "65534";
    QTest::newRow("int16 min") << "integer" << QVariant("8000") << 16 << ""
                               << "-32768";
    QTest::newRow("int8 field read as 2 bytes") << "integer" << QVariant("00ff") << 8 << ""
                                                << "255";
    QTest::newRow("int32 with unit") << "integer" << QVariant("00000102") << 32 << "V"
                                     << "258 [V]";
    QTest::newRow("int32 min") << "integer" << QVariant("80000000") << 32 << ""
                               << "-2147483648";
    QTest::newRow("int24 read as 8 bytes") << "integer" << QVariant("00000000000000ff") << 24 << ""
                                           << "255";
    QTest::newRow("int64 minus one") << "integer" << QVariant("ffffffffffffffff") << 64 << ""
                                     << "-1";
    QTest::newRow("uint64 max") << "uinteger" << QVariant("ffffffffffffffff") << 64 << ""
                                << "18446744073709551615";
    QTest::newRow("upper-case hex") << "uinteger" << QVariant("00FF") << 16 << "%"
                                    << "255 [%]";
    QTest::newRow("short negative sign-extends") << "integer" << QVariant("fe") << 16 << ""
                                                 << "-2";
    QTest::newRow("text up to zero") << "text"
                                     << QVariant(QStringLiteral("70B3") + QChar(0) + QStringLiteral("xx"))
                                     << 64 << ""
                                     << "70B3";
    QTest::newRow("text never gets unit") << "text" << QVariant("LOBBY") << 64 << "m"
                                          << "LOBBY";
    QTest::newRow("integer NULL") << "integer" << QVariant() << 16 << "V" << never;
    QTest::newRow("uinteger NULL") << "uinteger" << QVariant() << 16 << "V" << never;
    QTest::newRow("text NULL") << "text" << QVariant() << 16 << "" << never;
    QTest::newRow("boolean") << "boolean" << QVariant("0001") << 16 << "" << never;
    QTest::newRow("unknown type") << "float" << QVariant("0001") << 16 << "" << never;
    QTest::newRow("garbage hex") << "uinteger" << QVariant("zz") << 16 << "V" << never;
}

void tst_RegisterViews::valueDecoding()
{
    QFETCH(QString, dataType);
    QFETCH(QVariant, fullValue);
    QFETCH(int, bitSize);
    QFETCH(QString, unit);
    QFETCH(QString, expected);
    QCOMPARE(CRegisterDelegat::valueText(dataType, fullValue, bitSize, unit), expected);
}

void tst_RegisterViews::unsupportedTypesAreLogged()
{
    QString message;
    CRegisterDelegat::valueText(QS_TYPE_BOOLEAN, QVariant("0001"), 16, QString(), &message);
    QCOMPARE(message, QStringLiteral("[CRegisterDelegat::paint] Unsupporting dataType: BOOLEAN"));
    CRegisterDelegat::valueText(QStringLiteral("float"), QVariant("0001"), 16, QString(), &message);
    QCOMPARE(message, QStringLiteral("[CRegisterDelegat::paint] Unknown data type!"));
    CRegisterDelegat::valueText(QS_TYPE_INTEGER, QVariant("0001"), 16, QString(), &message);
    QVERIFY(message.isEmpty());

    // Painting such a row writes the message to the application log each time.
    QStandardItemModel model(0, 14);
    SRow row;
    row.dataType = QS_TYPE_BOOLEAN;
    appendRow(&model, row);
    CRegisterDelegat delegate;
    QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
    paintRow(delegate, model.index(0, 0), QStyle::State_None, QSize(300, 40));
    paintRow(delegate, model.index(0, 0), QStyle::State_None, QSize(300, 40));
    QCOMPARE(log.count(), 2);
    QVERIFY(log.at(0).at(0).toString().endsWith(QLatin1String("Unsupporting dataType: BOOLEAN")));
}

void tst_RegisterViews::backgroundPerRowState_data()
{
    QTest::addColumn<bool>("simple");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("state");
    QTest::addColumn<QColor>("expected");
    for (bool simple : { false, true }) {
        const QByteArray tag = simple ? "simple " : "live ";
        QTest::newRow(QByteArray(tag + "even").constData())
            << simple << 0 << int(QStyle::State_None) << QC_GLOB_BLACK6C_10;
        QTest::newRow(QByteArray(tag + "odd").constData())
            << simple << 1 << int(QStyle::State_None) << QC_GLOB_BLACK6C_25;
        QTest::newRow(QByteArray(tag + "even hovered").constData())
            << simple << 2 << int(QStyle::State_MouseOver) << QC_GLOB_BLACK6C_45;
        QTest::newRow(QByteArray(tag + "odd selected").constData())
            << simple << 1 << int(QStyle::State_Selected) << QC_GLOB_BLACK6C_45;
    }
}

void tst_RegisterViews::backgroundPerRowState()
{
    QFETCH(bool, simple);
    QFETCH(int, row);
    QFETCH(int, state);
    QFETCH(QColor, expected);
    QStandardItemModel model(0, 14);
    for (int i = 0; i < 3; ++i)
        appendRow(&model, SRow());
    CRegisterDelegat live;
    CSimpleRegisterDelegat mapDelegate;
    const QAbstractItemDelegate &delegate = simple ? static_cast<QAbstractItemDelegate &>(mapDelegate) : live;
    const QSize size = simple ? QSize(300, 65) : QSize(300, 40);
    const QImage image = paintRow(delegate, model.index(row, 0), QStyle::State(state), size);
    QCOMPARE(image.pixelColor(150, 0), expected);
    QCOMPARE(image.pixelColor(150, size.height() - 1), expected);
    QVERIFY(image.pixelColor(0, 0).alpha() < 255);
}

void tst_RegisterViews::valueRightAlignedNameLeft()
{
    QStandardItemModel model(0, 14);
    SRow row;
    row.fullValue = QStringLiteral("00000102");
    row.bitSize = 32;
    row.unit = QStringLiteral("V");
    row.time = Q_INT64_C(1700000000000);
    appendRow(&model, row);
    CRegisterDelegat delegate;
    const QImage image = paintRow(delegate, model.index(0, 0), QStyle::State_None, QSize(400, 40));

    // Value (dark green) right of the middle on the lower line only; the
    // name and the time on the left.
    const QRect lowerRight(250, 16, 150, 24);
    const QRect lowerLeft(0, 16, 150, 24);
    QVERIFY(inkIn(image, lowerRight, QC_GLOB_GREEN2_D1) > 10);
    QCOMPARE(inkIn(image, lowerLeft, QC_GLOB_GREEN2_D1), 0);
    QVERIFY(inkIn(image, QRect(0, 0, 120, 16), QCT_GLOB_BLUE1_D2) > 10);
    QVERIFY(inkIn(image, lowerLeft, QC_GLOB_LILAC1_D2) > 10);
    // The address sits right on the upper line.
    QVERIFY(inkIn(image, QRect(250, 0, 150, 16), QCT_GLOB_BLUE1_D2) > 10);
}

void tst_RegisterViews::wrongColumnCountPaintsNothing_data()
{
    QTest::addColumn<int>("columns");
    QTest::newRow("13") << 13;
    QTest::newRow("15") << 15;
}

void tst_RegisterViews::wrongColumnCountPaintsNothing()
{
    QFETCH(int, columns);
    QStandardItemModel model(0, columns);
    appendRow(&model, SRow());
    CRegisterDelegat delegate;
    QTest::ignoreMessage(QtDebugMsg, "[CRegisterDelegat::paint] ERROR: invalid input data size!");
    QVERIFY(isBlank(paintRow(delegate, model.index(0, 0), QStyle::State_None, QSize(300, 40))));
}

void tst_RegisterViews::simpleDelegatePaintsBadgeAndSeparator()
{
    QStandardItemModel model(0, 14);
    appendRow(&model, SRow());
    const QSize size(400, 65);
    CSimpleRegisterDelegat delegate;
    const QImage image = paintRow(delegate, model.index(0, 0), QStyle::State_None, size);
    // Badge at the top right, separator line across at y 19.
    QCOMPARE(image.pixelColor(size.width() - 49, 8), QC_GLOB_GREEN1_D2);
    QVERIFY(inkIn(image, QRect(size.width() - 48, 4, 46, 9), QC_GLOB_WHITE1) > 5);
    QCOMPARE(image.pixelColor(200, 19), QC_GLOB_GREEN2_D1);
    QCOMPARE(image.pixelColor(10, 19), QC_GLOB_BLACK6C_10);
    // Parameter values in the left half, the formula text in the right half.
    QVERIFY(inkIn(image, QRect(60, 23, 100, 40), QCT_GLOB_BLUE1_D2) > 10);
    QVERIFY(inkIn(image, QRect(220, 23, 160, 40), QCT_GLOB_BLUE1_D2) > 10);
}

void tst_RegisterViews::simpleDelegateColumnCheck()
{
    CSimpleRegisterDelegat delegate;
    QStandardItemModel narrow(0, 13);
    appendRow(&narrow, SRow());
    QTest::ignoreMessage(QtDebugMsg, "[CSimpleRegisterDelegat::paint] ERROR: invalid input data size!");
    QVERIFY(isBlank(paintRow(delegate, narrow.index(0, 0), QStyle::State_None, QSize(300, 65))));

    // Wider models are fine: the dialogs may carry extra columns.
    QStandardItemModel wide(0, 15);
    appendRow(&wide, SRow());
    QVERIFY(!isBlank(paintRow(delegate, wide.index(0, 0), QStyle::State_None, QSize(300, 65))));
}

void tst_RegisterViews::editorOnlyForNumbers_data()
{
    QTest::addColumn<QString>("dataType");
    QTest::addColumn<bool>("editable");
    QTest::newRow("integer") << "integer" << true;
    QTest::newRow("uinteger") << "uinteger" << true;
    QTest::newRow("text") << "text" << false;
    QTest::newRow("boolean") << "boolean" << false;
    QTest::newRow("unknown") << "float" << false;
}

void tst_RegisterViews::editorOnlyForNumbers()
{
    QFETCH(QString, dataType);
    QFETCH(bool, editable);
    QStandardItemModel model(0, 14);
    SRow row;
    row.dataType = dataType;
    appendRow(&model, row);
    CSimpleRegisterDelegat delegate;
    QWidget parent;
    QWidget *editor = delegate.createEditor(&parent, QStyleOptionViewItem(), model.index(0, 0));
    QCOMPARE(editor != nullptr, editable);
    if (editor) {
        QVERIFY(qobject_cast<CSimpleRegisterEditWidget *>(editor));
        QCOMPARE(editor->parentWidget(), &parent);
        QStyleOptionViewItem option;
        option.rect = QRect(3, 70, 280, 65);
        delegate.updateEditorGeometry(editor, option, model.index(0, 0));
        QCOMPARE(editor->geometry(), option.rect);
    }
}

void tst_RegisterViews::editorRoundTrip_data()
{
    QTest::addColumn<qint64>("startValue");
    QTest::addColumn<qint64>("grating");
    QTest::addColumn<QString>("shownExtra");
    QTest::addColumn<QString>("typedExtra");
    QTest::addColumn<QString>("typedMultiplier");
    QTest::addColumn<QString>("typedUnits");
    QTest::addColumn<uint>("storedExtra");
    QTest::addColumn<uint>("storedMultiplier");

    QTest::newRow("plain") << qint64(5) << qint64(10) << "5"
                           << "7"
                           << "3"
                           << "kPa" << 7u << 3u;
    QTest::newRow("multiplier 0 stored as 1") << qint64(0) << qint64(2) << "0"
                                              << "0"
                                              << "0"
                                              << "" << 0u << 1u;
    QTest::newRow("empty multiplier stored as 1") << qint64(0) << qint64(2) << "0"
                                                  << "12"
                                                  << ""
                                                  << "V" << 12u << 1u;
    QTest::newRow("extra not a number") << qint64(0) << qint64(1) << "0"
                                        << "abc"
                                        << "4"
                                        << "V" << 0u << 4u;
    QTest::newRow("negative shown unsigned") << qint64(-40) << qint64(1) << "4294967256"
                                             << "4294967256"
                                             << "1"
                                             << "C" << 4294967256u << 1u;
    QTest::newRow("negative typed kept") << qint64(0) << qint64(1) << "0"
                                         << "-40"
                                         << "1"
                                         << "C" << 4294967256u << 1u;
}

void tst_RegisterViews::editorRoundTrip()
{
    QFETCH(qint64, startValue);
    QFETCH(qint64, grating);
    QFETCH(QString, shownExtra);
    QFETCH(QString, typedExtra);
    QFETCH(QString, typedMultiplier);
    QFETCH(QString, typedUnits);
    QFETCH(uint, storedExtra);
    QFETCH(uint, storedMultiplier);

    QStandardItemModel model(0, 14);
    SRow row;
    row.name = QStringLiteral("Pressure");
    row.unit = QStringLiteral("hPa");
    row.startValue = startValue;
    row.grating = grating;
    appendRow(&model, row);
    const QModelIndex index = model.index(0, 0);

    CSimpleRegisterDelegat delegate;
    QWidget parent;
    auto *editor = qobject_cast<CSimpleRegisterEditWidget *>(
        delegate.createEditor(&parent, QStyleOptionViewItem(), index));
    QVERIFY(editor);
    delegate.setEditorData(editor, index);
    QCOMPARE(editor->nameLabel()->text(), QStringLiteral("Pressure"));
    QCOMPARE(editor->extraValueEdit()->text(), shownExtra);
    QCOMPARE(editor->multiplierEdit()->text(), QString::number(grating));
    QCOMPARE(editor->getUnits(), QStringLiteral("hPa"));

    // Typed through the keyboard, so the validators have their say.
    for (auto [edit, text] : { qMakePair(editor->extraValueEdit(), typedExtra),
                               qMakePair(editor->multiplierEdit(), typedMultiplier),
                               qMakePair(editor->unitsEdit(), typedUnits) }) {
        edit->clear();
        QTest::keyClicks(edit, text);
    }
    delegate.setModelData(editor, &model, index);
    QCOMPARE(model.index(0, COL_START_VALUE).data().toUInt(), storedExtra);
    QCOMPARE(model.index(0, COL_GRATING).data().toUInt(), storedMultiplier);
    QCOMPARE(model.index(0, COL_UNIT).data().toString(), typedUnits);
    // Name and address are not the editor's business.
    QCOMPARE(model.index(0, COL_NAME).data().toString(), QStringLiteral("Pressure"));
    QCOMPARE(model.index(0, COL_REG_ADDR).data().toInt(), 40);
}

void tst_RegisterViews::editorWidgetLayout()
{
    // The white background comes from the widget's own style sheet, painted
    // through the style.
    CSimpleRegisterEditWidget editor;
    editor.setData(QStringLiteral("Humidity"), 3, 0, QStringLiteral("%"));
    QCOMPARE(editor.getMultiplier(), 0u);
    editor.resize(300, 65);
    const QImage image = editor.grab().toImage();
    QCOMPARE(image.pixelColor(0, 0), QColor(Qt::white));
}

QTEST_MAIN(tst_RegisterViews)
#include "tst_registerviews.moc"
