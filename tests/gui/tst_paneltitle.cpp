#include "gui/abstractpanelbutton.h"
#include "gui/leftpanel.h"
#include "gui/palette.h"
#include "resources/resources.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLayout>
#include <QScreen>
#include <QtTest>

// The side panel's section titles must fit the fixed-width panel whatever the
// display's DPI: run at 120 DPI, where a title sized in points outgrows its room.
class tst_PanelTitle : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void titleFits();
};

void tst_PanelTitle::initTestCase()
{
    QCOMPARE(qRound(QGuiApplication::primaryScreen()->logicalDotsPerInch()), 120);
    tidewellInitResources();
    QFile file(QStringLiteral("://style/style.qss"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QString sheet = QString::fromUtf8(file.readAll());
    applyColorPalette(sheet);
    qApp->setStyleSheet(sheet);
}

void tst_PanelTitle::titleFits()
{
    // As the main window builds its server section, open.
    CLeftPanel panel;
    panel.setFixedWidth(200);
    auto *button = new CAbstractPanelButton(QStringLiteral("Server authorization"),
                                            QIcon(QStringLiteral(":/connectionFailIco.png")), &panel, false);
    button->setPicAlign(CAbstractPanelButton::PIC_ALIGN_RIGHT);
    button->setIconSize(QSize(36, 36));
    panel.addWidget(button);
    panel.resize(200, 400);
    panel.show();
    QVERIFY(QTest::qWaitForWindowExposed(&panel));
    button->setChecked(true);
    panel.layout()->activate();

    const QLabel *title = button->titleLabel();
    const int textWidth = title->fontMetrics().horizontalAdvance(title->text());
    QVERIFY2(textWidth <= title->contentsRect().width(),
             qPrintable(QStringLiteral("text %1 px, room %2 px, font %3 px")
                            .arg(textWidth)
                            .arg(title->contentsRect().width())
                            .arg(QFontInfo(title->font()).pixelSize())));
    QVERIFY(title->geometry().right() <= button->rect().right());
}

int main(int argc, char *argv[])
{
    // Read when the application starts; the offscreen platform honours it as X does.
    qputenv("QT_FONT_DPI", "120");
    QApplication app(argc, argv);
    tst_PanelTitle test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_paneltitle.moc"
