#include "app/constants.h"
#include "app/logfile.h"
#include "gui/palette.h"
#include "gui/registerdelegat.h"
#include "gui/simpleregisterdelegat.h"
#include "gui/simpleregistereditwidget.h"
#include "tests/testkit/painting.h"

#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QtTest>

#include <ctime>
#include <memory>

namespace {

// dev_data columns the delegates read.
constexpr int COL_REG_ADDR = 2, COL_START_VALUE = 3, COL_GRATING = 4, COL_BIT_SIZE = 5, COL_FULL_VALUE = 8,
              COL_TIME = 9, COL_NAME = 10, COL_UNIT = 11;

// One register row laid out as the dev_data table; cells not given stay NULL.
void appendRow(QStandardItemModel *model, const QString &dataType = QS_TYPE_INTEGER,
               const QMap<int, QVariant> &cells = {})
{
    // Address 40, extra value 0, multiplier 1, 16 bits, name, unit, from the device.
    const QString name = QStringLiteral("Pressure"), unit = QStringLiteral("hPa");
    QVariantList values { {}, {}, 40, 0, 1, 16, dataType, {}, {}, {}, name, unit, {}, 1 };
    for (auto it = cells.begin(); it != cells.end(); ++it)
        values[it.key()] = it.value();
    QList<QStandardItem *> items;
    for (int c = 0; c < model->columnCount(); ++c) {
        items << new QStandardItem();
        if (!values.value(c).isNull())
            items.last()->setData(values.value(c), Qt::EditRole);
    }
    model->appendRow(items);
}

using testkit::paintRow;

// Pixels close to a pen colour inside a rectangle: where a text landed.
int inkIn(const QImage &image, const QRect &area, const QColor &pen)
{
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            count += qAbs(c.red() - pen.red()) < 20 && qAbs(c.green() - pen.green()) < 20
                && qAbs(c.blue() - pen.blue()) < 20;
        }
    return count;
}

struct SValueCase
{
    QString type;
    QVariant value;
    int bits;
    QString unit, expected, logged;
};

struct SEditCase
{
    QString type;
    qint64 startValue = 0;
    QString shownExtra, typedExtra, typedMultiplier; // shownExtra empty: no editor
    int storedExtra = 0;
    uint storedMultiplier = 0;
};

} // namespace

Q_DECLARE_METATYPE(SValueCase)
Q_DECLARE_METATYPE(SEditCase)

class tst_RegisterViews : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void addressForms_data();
    void addressForms();
    void timeForms();
    void valueDecoding_data();
    void valueDecoding();
    void background_data();
    void background();
    void rowLayout();
    void editorRoundTrip_data();
    void editorRoundTrip();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_RegisterViews::initTestCase()
{
    // Dates are checked in a fixed zone; the log goes to a scratch folder.
    qputenv("TZ", "UTC");
    tzset();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir::setCurrent(m_dir->path()));
    CLogFile::getInstance(QStringLiteral("history.log"));
}

void tst_RegisterViews::addressForms_data()
{
    QTest::addColumn<int>("regAddr");
    QTest::addColumn<int>("bitSize");
    QTest::addColumn<QString>("expected");
    QTest::newRow("16 bits") << 40 << 16 << "ModBUS register[40]";
    QTest::newRow("17 bits") << 40 << 17 << "ModBUS register[40..41]";
    QTest::newRow("33 bits") << 40 << 33 << "ModBUS register[40..42]";
    QTest::newRow("64 bits at 0") << 0 << 64 << "ModBUS register[0..3]";
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
    const QString never = QStringLiteral("NEVER RECEIVING");
    QCOMPARE(CRegisterDelegat::timeText(QVariant(QVariant::LongLong)), never);
    QCOMPARE(CRegisterDelegat::timeText(0), never);
    // English month names whatever the default locale, as in the log file.
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    // 2024-03-05 07:08:09 UTC.
    QCOMPARE(CRegisterDelegat::timeText(Q_INT64_C(1709622489000)), QStringLiteral("05-Mar-24 07:08:09"));
    QLocale::setDefault(QLocale::c());
}

void tst_RegisterViews::valueDecoding_data()
{
    QTest::addColumn<SValueCase>("c");
    const QString never = QStringLiteral("NEVER RECEIVING");
    auto row = [](const char *tag, SValueCase c) { QTest::newRow(tag) << c; };
    row("int16 negative", { "integer", "fffe", 16, "", "-2", "" });
    row("uint16 same text", { "uinteger", "fffe", 16, "", "65534", "" });
    row("int32 min with unit", { "integer", "80000000", 32, "V", "-2147483648 [V]", "" });
    row("int24 read as 8 bytes", { "integer", "00000000000000ff", 24, "", "255", "" });
    row("int64 minus one", { "integer", "ffffffffffffffff", 64, "", "-1", "" });
    row("uint64 max", { "uinteger", "ffffffffffffffff", 64, "", "18446744073709551615", "" });
    row("upper-case hex", { "uinteger", "00FF", 16, "%", "255 [%]", "" });
    // Fewer bytes than the width must not be read past.
    row("short negative sign-extends", { "integer", "fe", 16, "", "-2", "" });
    row("text up to zero, no unit",
        { "text", QString(QStringLiteral("70B3") + QChar(0) + "xx"), 64, "m", "70B3", "" });
    row("integer NULL", { "integer", {}, 16, "V", never, "" });
    row("uinteger NULL", { "uinteger", {}, 16, "V", never, "" });
    row("text NULL", { "text", {}, 16, "", never, "" });
    row("garbage hex", { "uinteger", "zz", 16, "V", never, "" });
    row("boolean",
        { "boolean", "0001", 16, "", never, "[CRegisterDelegat::paint] Unsupporting dataType: BOOLEAN" });
    // IEEE 754 singles, shortest text that reads back the same
    row("float with unit", { "float", "c0200000", 32, "C", "-2.5 [C]", "" });
    row("float tenth", { "float", "3dcccccd", 32, "", "0.1", "" });
    row("float NaN", { "float", "7fc00000", 32, "", "nan", "" });
    row("unknown type", { "double", "0001", 16, "", never, "[CRegisterDelegat::paint] Unknown data type!" });
}

void tst_RegisterViews::valueDecoding()
{
    QFETCH(SValueCase, c);
    QString message = QStringLiteral("stale");
    QCOMPARE(CRegisterDelegat::valueText(c.type, c.value, c.bits, c.unit, &message), c.expected);
    QCOMPARE(message, c.logged);

    // Painting the row writes that message to the application log, each time.
    QStandardItemModel model(0, 14);
    appendRow(&model, c.type, { { COL_BIT_SIZE, c.bits }, { COL_FULL_VALUE, c.value } });
    QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
    for (int i = 0; i < 2; ++i)
        paintRow(CRegisterDelegat(), model.index(0, 0), QStyle::State_None, QSize(300, 40));
    QCOMPARE(log.count(), c.logged.isEmpty() ? 0 : 2);
    if (!c.logged.isEmpty())
        QVERIFY(log.at(1).at(0).toString().endsWith(c.logged.section(QLatin1String("] "), 1)));
}

void tst_RegisterViews::background_data()
{
    QTest::addColumn<bool>("simple");
    QTest::addColumn<int>("columns");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("state");
    QTest::addColumn<QColor>("expected"); // invalid: nothing painted
    for (bool simple : { false, true }) {
        auto row
            = [simple](const char *tag, int columns, int index, QStyle::State state, const QColor &color) {
                  QTest::addRow("%s %s", simple ? "map" : "live", tag)
                      << simple << columns << index << int(state) << color;
              };
        row("even", 14, 0, QStyle::State_None, QC_GLOB_BLACK6C_10);
        row("odd", 14, 1, QStyle::State_None, QC_GLOB_BLACK6C_25);
        row("even hovered", 14, 2, QStyle::State_MouseOver, QC_GLOB_BLACK6C_45);
        row("odd selected", 14, 1, QStyle::State_Selected, QC_GLOB_BLACK6C_45);
        row("13 columns", 13, 0, QStyle::State_None, QColor());
        // The dialogs' models may carry extra columns.
        row("15 columns", 15, 0, QStyle::State_None, simple ? QC_GLOB_BLACK6C_10 : QColor());
    }
}

void tst_RegisterViews::background()
{
    QFETCH(bool, simple);
    QFETCH(int, columns);
    QFETCH(int, row);
    QFETCH(int, state);
    QFETCH(QColor, expected);
    QStandardItemModel model(0, columns);
    for (int i = 0; i < 3; ++i)
        appendRow(&model);
    if (!expected.isValid())
        QTest::ignoreMessage(QtDebugMsg,
                             simple ? "[CSimpleRegisterDelegat::paint] ERROR: invalid input data size!"
                                    : "[CRegisterDelegat::paint] ERROR: invalid input data size!");
    const QModelIndex index = model.index(row, 0);
    const QSize size = simple ? QSize(300, 65) : QSize(300, 40);
    const QImage image = simple ? paintRow(CSimpleRegisterDelegat(), index, QStyle::State(state), size)
                                : paintRow(CRegisterDelegat(), index, QStyle::State(state), size);
    if (!expected.isValid()) {
        QImage blank(image.size(), image.format());
        blank.fill(Qt::transparent);
        QCOMPARE(image, blank);
        return;
    }
    QCOMPARE(image.pixelColor(150, 0), expected);
    QCOMPARE(image.pixelColor(150, size.height() - 1), expected);
    // Rounded corners leave the very corner clear.
    QVERIFY(image.pixelColor(0, 0).alpha() < 255);
}

void tst_RegisterViews::rowLayout()
{
    QStandardItemModel model(0, 14);
    appendRow(&model, QS_TYPE_INTEGER,
              { { COL_BIT_SIZE, 32 }, { COL_FULL_VALUE, QStringLiteral("00000102") }, { COL_TIME, 1 } });
    QImage image = paintRow(CRegisterDelegat(), model.index(0, 0), QStyle::State_None, QSize(400, 40));
    // Live row: name top left and address top right in blue; time lower left
    // in lilac, value lower right in green.
    QVERIFY(inkIn(image, QRect(0, 0, 120, 16), QCT_GLOB_BLUE1_D2) > 10);
    QVERIFY(inkIn(image, QRect(250, 0, 150, 16), QCT_GLOB_BLUE1_D2) > 10);
    QVERIFY(inkIn(image, QRect(0, 16, 150, 24), QC_GLOB_LILAC1_D2) > 10);
    QCOMPARE(inkIn(image, QRect(0, 16, 150, 24), QC_GLOB_GREEN2_D1), 0);
    QVERIFY(inkIn(image, QRect(250, 16, 150, 24), QC_GLOB_GREEN2_D1) > 10);

    // Map row: origin badge top right with white text, separator line across
    // at y 19, parameters in the left half, the formula in the right half.
    image = paintRow(CSimpleRegisterDelegat(), model.index(0, 0), QStyle::State_None, QSize(400, 65));
    QCOMPARE(image.pixelColor(351, 8), QC_GLOB_GREEN1_D2);
    QVERIFY(inkIn(image, QRect(352, 4, 46, 9), QC_GLOB_WHITE1) > 5);
    QCOMPARE(image.pixelColor(200, 19), QC_GLOB_GREEN2_D1);
    QCOMPARE(image.pixelColor(10, 19), QC_GLOB_BLACK6C_10);
    QVERIFY(inkIn(image, QRect(60, 23, 100, 40), QCT_GLOB_BLUE1_D2) > 10);
    QVERIFY(inkIn(image, QRect(220, 23, 160, 40), QCT_GLOB_BLUE1_D2) > 10);
}

void tst_RegisterViews::editorRoundTrip_data()
{
    QTest::addColumn<SEditCase>("c");
    auto row = [](const char *tag, SEditCase c) { QTest::newRow(tag) << c; };
    row("plain", { "integer", 5, "5", "7", "3", 7, 3 });
    row("uinteger", { "uinteger", 5, "5", "8", "2", 8, 2 });
    row("multiplier 0 stored as 1", { "integer", 0, "0", "0", "0", 0, 1 });
    row("empty multiplier stored as 1", { "integer", 0, "0", "12", "", 12, 1 });
    row("extra not a number", { "integer", 0, "0", "abc", "4", 0, 4 });
    row("negative shown signed", { "integer", -40, "-40", "-41", "1", -41, 1 });
    row("negative typed kept", { "integer", 0, "0", "-40", "1", -40, 1 });
    // A store holding the unsigned form still shows the signed number.
    row("unsigned form shown signed", { "integer", 4294967256, "-40", "-40", "1", -40, 1 });
    row("lowest", { "integer", 5, "5", "-2147483648", "1", -2147483647 - 1, 1 });
    // Only numbers are edited in place.
    row("text", { "text", 0, "", "", "" });
    row("boolean", { "boolean", 0, "", "", "" });
}

void tst_RegisterViews::editorRoundTrip()
{
    QFETCH(SEditCase, c);
    QStandardItemModel model(0, 14);
    appendRow(&model, c.type, { { COL_START_VALUE, c.startValue }, { COL_GRATING, 10 } });
    const QModelIndex index = model.index(0, 0);
    CSimpleRegisterDelegat delegate;
    QWidget parent;
    QWidget *created = delegate.createEditor(&parent, QStyleOptionViewItem(), index);
    if (c.shownExtra.isEmpty()) {
        QCOMPARE(created, nullptr);
        return;
    }
    auto *editor = qobject_cast<CSimpleRegisterEditWidget *>(created);
    QVERIFY(editor);
    delegate.setEditorData(editor, index);
    QCOMPARE(editor->nameLabel()->text(), QStringLiteral("Pressure"));
    QCOMPARE(editor->extraValueEdit()->text(), c.shownExtra);
    QCOMPARE(editor->multiplierEdit()->text(), QStringLiteral("10"));
    QCOMPARE(editor->getUnits(), QStringLiteral("hPa"));
    // The white background comes from the widget's own style sheet.
    editor->resize(300, 65);
    QCOMPARE(editor->grab().toImage().pixelColor(0, 0), QColor(Qt::white));

    // Typed through the keyboard, so the validators have their say.
    for (auto [edit, text] : { qMakePair(editor->extraValueEdit(), c.typedExtra),
                               qMakePair(editor->multiplierEdit(), c.typedMultiplier),
                               qMakePair(editor->unitsEdit(), QStringLiteral("kPa")) }) {
        edit->clear();
        QTest::keyClicks(edit, text);
    }
    delegate.setModelData(editor, &model, index);
    QCOMPARE(model.index(0, COL_START_VALUE).data().toInt(), c.storedExtra);
    QCOMPARE(model.index(0, COL_GRATING).data().toUInt(), c.storedMultiplier);
    QCOMPARE(model.index(0, COL_UNIT).data().toString(), QStringLiteral("kPa"));
    // Name and address are not the editor's business.
    QCOMPARE(model.index(0, COL_NAME).data().toString(), QStringLiteral("Pressure"));
    QCOMPARE(model.index(0, COL_REG_ADDR).data().toInt(), 40);
}

QTEST_MAIN(tst_RegisterViews)
#include "tst_registerviews.moc"
