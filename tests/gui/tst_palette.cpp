#include "gui/palette.h"
#include "resources/resources.h"

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

class tst_Palette : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void substitutesLongestNames_data();
    void substitutesLongestNames();
    void everyNameIsReplaced();
    void unknownNamesStay();
    void namesAreUniqueAndOrdered();
    void styleSheetResourceParses();
    void iconResourcesAreImages_data();
    void iconResourcesAreImages();

private:
    static QString styleSheet();
};

void tst_Palette::initTestCase()
{
    tidewellInitResources();
}

QString tst_Palette::styleSheet()
{
    QFile file(QStringLiteral("://style/style.qss"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

void tst_Palette::substitutesLongestNames_data()
{
    QTest::addColumn<QString>("sheet");
    QTest::addColumn<QString>("expected");

    QTest::newRow("suffixed before bare") << "a{color: QC_GLOB_BLUE1_L1;}"
                                          << "a{color: #71a6d9;}";
    QTest::newRow("bare family") << "QC_GLOB_BLUE1"
                                 << "#417bb3";
    QTest::newRow("upper-case value lowered") << "QC_GLOB_WHITE1"
                                              << "#ebeff2";
    QTest::newRow("graph back variants") << "QC_GRAPH_BACK_GR2 QC_GRAPH_BACK"
                                         << "#3a434b #414951";
    QTest::newRow("text blue like") << "QCT_GLOB_BLUE1_LIKE_L1 QCT_GLOB_BLUE1_L1 QCT_GLOB_BLUE1"
                                    << "#3f92d2 #5c9ab2 #245365";
    QTest::newRow("grey steps") << "QC_GLOB_BLACK6C_10/QC_GLOB_BLACK6C_13"
                                << "#e7e8ea/#e0e1e3";
    QTest::newRow("repeated") << "QC_GLOB_RED1 QC_GLOB_RED1_L2 QC_GLOB_RED1"
                              << "#f5494d #fa999c #f5494d";
    QTest::newRow("case-sensitive") << "qc_glob_blue1"
                                    << "qc_glob_blue1";
}

void tst_Palette::substitutesLongestNames()
{
    QFETCH(QString, sheet);
    QFETCH(QString, expected);
    applyColorPalette(sheet);
    QCOMPARE(sheet, expected);
}

void tst_Palette::everyNameIsReplaced()
{
    // Each name alone turns into exactly its colour, and a sheet holding all
    // of them keeps no placeholder.
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

void tst_Palette::unknownNamesStay()
{
    QString sheet = QStringLiteral("QLabel{color: QC_GLOB_PURPLE9; background: QC_GLOB_TEAL1_L1;}");
    const QString before = sheet;
    applyColorPalette(sheet);
    QCOMPARE(sheet, before);
}

void tst_Palette::namesAreUniqueAndOrdered()
{
    QSet<QString> seen;
    const QList<SPaletteEntry> &entries = paletteEntries();
    QCOMPARE(entries.size(), 90);
    for (int i = 0; i < entries.size(); ++i) {
        const QString name = QString::fromLatin1(entries.at(i).name);
        QVERIFY2(!seen.contains(name), qPrintable(name));
        seen.insert(name);
        // A name replaced earlier must never be a piece of one replaced later.
        for (int j = i + 1; j < entries.size(); ++j)
            QVERIFY2(!QString::fromLatin1(entries.at(j).name).contains(name), qPrintable(name));
    }
}

void tst_Palette::styleSheetResourceParses()
{
    QString sheet = styleSheet();
    QVERIFY(!sheet.isEmpty());
    applyColorPalette(sheet);
    QVERIFY2(!QRegularExpression(QStringLiteral("\\bQCT?_[A-Z]")).match(sheet).hasMatch(),
             "a colour placeholder has no palette entry");
    for (const char *selector :
         { "CLeftPanel", "CLogoWidget", "CAbstractPanelButton QLabel#titleLable",
           "CSearchEditWidget QLineEdit", "QPushButton#greenBtn", "QPushButton#searchBtn",
           "MainWindow QLabel#modbusValue", "QDialog QPushButton" })
        QVERIFY2(sheet.contains(QLatin1String(selector)), selector);

    // Qt parses a sheet only when a widget is polished; a broken sheet shows up
    // as a warning then.
    static QStringList warnings;
    warnings.clear();
    const QtMessageHandler previous
        = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
              if (type == QtWarningMsg)
                  warnings << msg;
          });
    qApp->setStyleSheet(sheet);
    QLineEdit edit;
    QLabel label;
    edit.ensurePolished();
    label.ensurePolished();
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
    QVERIFY(QFile::exists(path));
    const QImage image(path);
    QVERIFY(!image.isNull());
    QVERIFY(image.width() >= 64 && image.width() <= 512);
    QCOMPARE(image.width(), image.height());
    QVERIFY(image.hasAlphaChannel());

    // Something is drawn, and not over the whole square.
    int opaque = 0;
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < argb.height(); ++y)
        for (int x = 0; x < argb.width(); ++x)
            opaque += qAlpha(argb.pixel(x, y)) > 128 ? 1 : 0;
    const int total = argb.width() * argb.height();
    QVERIFY2(opaque > total / 10, "icon is nearly empty");
    QVERIFY2(opaque < total, "icon has no transparent margin");
}

QTEST_MAIN(tst_Palette)
#include "tst_palette.moc"
