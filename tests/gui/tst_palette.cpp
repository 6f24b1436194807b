#include "gui/palette.h"
#include "resources/resources.h"

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QtTest>

class tst_Palette : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { tidewellInitResources(); }
    void substitution_data();
    void substitution();
    void everyNameIsReplaced();
    void styleSheetResourceParses();
    void iconResourcesAreImages_data();
    void iconResourcesAreImages();
};

void tst_Palette::substitution_data()
{
    QTest::addColumn<QString>("sheet");
    QTest::addColumn<QString>("expected");
    auto row = [](const char *tag, const char *sheet, const char *expected) {
        QTest::newRow(tag) << sheet << expected;
    };
    // Longer suffixed names go before the bare family name, every occurrence is replaced.
    const QString blue = QC_GLOB_BLUE1.name(), blueL1 = QC_GLOB_BLUE1_L1.name();
    row("suffixed before bare", "a{color: QC_GLOB_BLUE1_L1;} QC_GLOB_BLUE1 QC_GLOB_BLUE1",
        qPrintable("a{color: " + blueL1 + ";} " + blue + ' ' + blue));
    row("case-sensitive", "qc_glob_blue1", "qc_glob_blue1");
    row("unknown names stay", "QLabel{color: QC_GLOB_PURPLE9; background: QC_GLOB_TEAL1_L1;}",
        "QLabel{color: QC_GLOB_PURPLE9; background: QC_GLOB_TEAL1_L1;}");
}

void tst_Palette::substitution()
{
    QFETCH(QString, sheet);
    QFETCH(QString, expected);
    applyColorPalette(sheet);
    QCOMPARE(sheet, expected);
}

void tst_Palette::everyNameIsReplaced()
{
    // Each name alone turns into exactly its colour, lower-case hex, and a
    // sheet holding all of them keeps no placeholder.
    QString all;
    for (const SPaletteEntry &entry : paletteEntries()) {
        QString one = QString::fromLatin1(entry.name);
        applyColorPalette(one);
        QVERIFY2(QRegularExpression(QStringLiteral("^#[0-9a-f]{6}$")).match(one).hasMatch(), entry.name);
        QCOMPARE(QColor(one), *entry.color);
        all += QLatin1String(entry.name) + QLatin1Char(';');
    }
    applyColorPalette(all);
    QVERIFY2(!all.contains(QLatin1String("QC")), qPrintable(all));
    QCOMPARE(all.count(QLatin1Char('#')), paletteEntries().size());
}

void tst_Palette::styleSheetResourceParses()
{
    QFile file(QStringLiteral("://style/style.qss"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QString sheet = QString::fromUtf8(file.readAll());
    QVERIFY(sheet.contains(QLatin1String("CAbstractPanelButton")));
    applyColorPalette(sheet);
    QVERIFY2(!QRegularExpression(QStringLiteral("\\bQCT?_[A-Z]")).match(sheet).hasMatch(),
             "a colour placeholder has no palette entry");

    // Qt parses a sheet only when a widget is polished; a broken sheet shows up
    // as a warning then.
    static QStringList warnings;
    const QtMessageHandler previous
        = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
              if (type == QtWarningMsg)
                  warnings << msg;
          });
    qApp->setStyleSheet(sheet);
    QLineEdit().ensurePolished();
    QLabel().ensurePolished();
    qApp->setStyleSheet(QString());
    qInstallMessageHandler(previous);
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
}

void tst_Palette::iconResourcesAreImages_data()
{
    QTest::addColumn<QString>("path");
    for (const char *name : { "tidewell.png", "orla_logo5_gradient.png", "connectionFailIco.png",
                              "connectionGoodIco.png", "addIco.png", "editIco.png", "delete2Ico.png",
                              "searchIco.png", "deleteIco.png", "refresh2Ico.png" })
        QTest::newRow(name) << QStringLiteral(":/") + QLatin1String(name);
}

void tst_Palette::iconResourcesAreImages()
{
    QFETCH(QString, path);
    const QImage image = QImage(path).convertToFormat(QImage::Format_ARGB32);
    QVERIFY(!image.isNull());
    QVERIFY(image.width() >= 64);
    QCOMPARE(image.width(), image.height());
    // Something is drawn, and not over the whole square.
    int opaque = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            opaque += qAlpha(image.pixel(x, y)) > 128;
    const int total = image.width() * image.height();
    QVERIFY2(opaque > total / 10, "icon is nearly empty");
    QVERIFY2(opaque < total, "icon has no transparent margin");
}

QTEST_MAIN(tst_Palette)
#include "tst_palette.moc"
