#include "app/globaldata.h"
#include "gui/abstractpanelbutton.h"
#include "gui/leftpanel.h"
#include "gui/logowidget.h"
#include "gui/palette.h"
#include "gui/searcheditwidget.h"
#include "resources/resources.h"

#include <QApplication>
#include <QBoxLayout>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

class tst_WidgetKit : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void searchTypingOnlyReportsText();
    void searchReturnAndEnterRequestOnce_data();
    void searchReturnAndEnterRequestOnce();
    void searchButtonsRequest();
    void searchReturnDoesNotAcceptDialog();
    void searchBackgroundFromStyleSheet();

    void panelButtonTogglesBodyAndStrip();
    void panelButtonBodyClicksKeepItOpen();
    void panelButtonPicAlign();
    void panelButtonBackgroundPerState();
    void panelButtonFlashEndsOnStyleSheet();
    void panelButtonIconAndTitle();

    void leftPanelStretches();
    void leftPanelBackground();

    void logoWithoutIconPaintsBackgroundOnly();
    void logoDrawsIconAndWords();

private:
    static QImage render(QWidget *widget);
};

void tst_WidgetKit::initTestCase()
{
    tidewellInitResources();
    QFile file(QStringLiteral("://style/style.qss"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QString sheet = QString::fromUtf8(file.readAll());
    applyColorPalette(sheet);
    qApp->setStyleSheet(sheet);
    QI_GLOB_LOGO = QIcon(QStringLiteral(":/orla_logo5_gradient.png"));
}

void tst_WidgetKit::cleanupTestCase()
{
    QI_GLOB_LOGO = QIcon();
}

QImage tst_WidgetKit::render(QWidget *widget)
{
    widget->ensurePolished();
    if (widget->layout())
        widget->layout()->activate();
    return widget->grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

// ---- Search box ----------------------------------------------------------

void tst_WidgetKit::searchTypingOnlyReportsText()
{
    CSearchEditWidget search;
    QSignalSpy immediate(&search, &CSearchEditWidget::textImmediatelyChanged);
    QSignalSpy request(&search, &CSearchEditWidget::textChangedSignal);
    QTest::keyClicks(search.lineEdit(), QStringLiteral("abc"));
    QCOMPARE(immediate.count(), 3);
    QCOMPARE(immediate.last().at(0).toString(), QStringLiteral("abc"));
    QCOMPARE(request.count(), 0);

    search.setText(QStringLiteral("xyz"));
    QCOMPARE(request.count(), 0);
    QCOMPARE(search.text(), QStringLiteral("xyz"));
}

void tst_WidgetKit::searchReturnAndEnterRequestOnce_data()
{
    QTest::addColumn<int>("key");
    QTest::newRow("return") << int(Qt::Key_Return);
    QTest::newRow("enter") << int(Qt::Key_Enter);
}

void tst_WidgetKit::searchReturnAndEnterRequestOnce()
{
    QFETCH(int, key);
    CSearchEditWidget search;
    QSignalSpy request(&search, &CSearchEditWidget::textChangedSignal);
    QTest::keyClicks(search.lineEdit(), QStringLiteral("Boiler"));
    QTest::keyClick(search.lineEdit(), Qt::Key(key));
    QCOMPARE(request.count(), 1);
    QCOMPARE(request.at(0).at(0).toString(), QStringLiteral("Boiler"));
}

void tst_WidgetKit::searchButtonsRequest()
{
    CSearchEditWidget search;
    QSignalSpy request(&search, &CSearchEditWidget::textChangedSignal);
    search.setText(QStringLiteral("meter"));

    QTest::mouseClick(search.searchButton(), Qt::LeftButton);
    QCOMPARE(request.count(), 1);
    QCOMPARE(request.at(0).at(0).toString(), QStringLiteral("meter"));

    QTest::mouseClick(search.clearButton(), Qt::LeftButton);
    QCOMPARE(request.count(), 2);
    QCOMPARE(request.at(1).at(0).toString(), QString());
    QVERIFY(search.text().isEmpty());
}

void tst_WidgetKit::searchReturnDoesNotAcceptDialog()
{
    // In a dialog, Return in the search box searches; it must not press the
    // dialog's default button.
    QDialog dialog;
    auto *layout = new QVBoxLayout(&dialog);
    auto *search = new CSearchEditWidget(&dialog);
    auto *box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    box->button(QDialogButtonBox::Ok)->setDefault(true);
    connect(box, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    layout->addWidget(search);
    layout->addWidget(box);
    QSignalSpy accepted(&dialog, &QDialog::accepted);
    QSignalSpy request(search, &CSearchEditWidget::textChangedSignal);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    search->lineEdit()->setFocus();
    QTest::keyClick(search->lineEdit(), Qt::Key_Return);
    QCOMPARE(request.count(), 1);
    QCOMPARE(accepted.count(), 0);
    QVERIFY(dialog.isVisible());
}

void tst_WidgetKit::searchBackgroundFromStyleSheet()
{
    CSearchEditWidget search;
    search.resize(300, 60);
    const QImage image = render(&search);
    // The class rule fixes the height whatever the layout offers.
    QVERIFY(image.height() <= 32);
    // Between the frame and the buttons the class rule's background shows.
    QCOMPARE(image.pixelColor(2, 15), QC_GLOB_BLUE1_L1);
    QCOMPARE(image.pixelColor(150, 15), QC_GLOB_BLUE1_L2);
}

// ---- Panel button -------------------------------------------------------

void tst_WidgetKit::panelButtonTogglesBodyAndStrip()
{
    CAbstractPanelButton button(QStringLiteral("Server authorization"),
                                QIcon(QStringLiteral(":/connectionFailIco.png")), nullptr, false);
    button.addWidget(new QLineEdit());
    button.resize(200, 150);
    button.show();
    QVERIFY(QTest::qWaitForWindowExposed(&button));
    QVERIFY(!button.isChecked());
    QVERIFY(!button.body()->isVisible());

    const QPoint head(100, 10);
    QTest::mouseClick(&button, Qt::LeftButton, Qt::NoModifier, head);
    QVERIFY(button.isChecked());
    QVERIFY(button.body()->isVisible());
    QVERIFY(button.markerStrip()->styleSheet().contains(QLatin1String("#f5494d")));
    QImage image = render(&button);
    QCOMPARE(image.pixelColor(2, 10), QColor(0xf5, 0x49, 0x4d));

    QTest::mouseClick(&button, Qt::LeftButton, Qt::NoModifier, head);
    QVERIFY(!button.isChecked());
    QVERIFY(!button.body()->isVisible());
    image = render(&button);
    QCOMPARE(image.pixelColor(2, 10), QC_GLOB_BLACK1);
}

void tst_WidgetKit::panelButtonBodyClicksKeepItOpen()
{
    CAbstractPanelButton button(QStringLiteral("Section"), QIcon(), nullptr, false);
    auto *label = new QLabel(QStringLiteral("Login:"));
    button.addWidget(label);
    button.resize(200, 120);
    button.show();
    QVERIFY(QTest::qWaitForWindowExposed(&button));
    QTest::mouseClick(&button, Qt::LeftButton, Qt::NoModifier, QPoint(100, 5));
    QVERIFY(button.body()->isVisible());

    // Labels and free body space pass clicks up to the button.
    QTest::mouseClick(label, Qt::LeftButton);
    const QRect body = button.body()->geometry();
    QTest::mouseClick(&button, Qt::LeftButton, Qt::NoModifier, body.bottomRight() - QPoint(5, 5));
    QVERIFY(button.isChecked());
    QVERIFY(button.body()->isVisible());
}

void tst_WidgetKit::panelButtonPicAlign()
{
    CAbstractPanelButton button(QStringLiteral("Title"), QIcon(QStringLiteral(":/addIco.png")), nullptr,
                                false);
    QHBoxLayout *head = button.headLayout();
    QCOMPARE(button.picAlign(), 1);
    QCOMPARE(button.property("sPicAlign").toInt(), 1);
    QCOMPARE(head->indexOf(button.iconLabel()), 1);

    button.setPicAlign(2);
    QCOMPARE(button.picAlign(), 2);
    QCOMPARE(head->indexOf(button.iconLabel()), head->count() - 1);
    QCOMPARE(head->indexOf(button.markerStrip()), 0);

    QTest::ignoreMessage(QtDebugMsg,
                         "[CAbstractPanelButton::setPicAlign] Current alingn for ICO is not supported. "
                         "Auto-apply with Qt::AlignLeft");
    button.setProperty("sPicAlign", 3);
    QCOMPARE(button.picAlign(), 1);
    QCOMPARE(head->indexOf(button.iconLabel()), 1);
    QCOMPARE(head->indexOf(button.titleLabel()), 2);

    // From the left already, an unsupported value still logs and stays left.
    QTest::ignoreMessage(QtDebugMsg,
                         "[CAbstractPanelButton::setPicAlign] Current alingn for ICO is not supported. "
                         "Auto-apply with Qt::AlignLeft");
    button.setPicAlign(0);
    QCOMPARE(button.picAlign(), 1);
    QCOMPARE(head->indexOf(button.iconLabel()), 1);
}

void tst_WidgetKit::panelButtonBackgroundPerState()
{
    CAbstractPanelButton button(QStringLiteral("Title"), QIcon(), nullptr, false);
    button.resize(200, 40);
    QImage image = render(&button);
    QCOMPARE(image.pixelColor(30, 20), QC_GLOB_BLACK1);
    button.setChecked(true);
    image = render(&button);
    QCOMPARE(image.pixelColor(30, 3), QC_GLOB_BLACK1_E2G);
}

void tst_WidgetKit::panelButtonFlashEndsOnStyleSheet()
{
    CAbstractPanelButton button(QStringLiteral("Title"), QIcon(), nullptr, false);
    button.setBackColor(QColor(1, 2, 3, 4));
    QCOMPARE(button.styleSheet(),
             QStringLiteral("CAbstractPanelButton { background-color: rgba(1, 2, 3, 4);}"));
    QCOMPARE(button.backColor(), QColor(1, 2, 3, 4));

    QTest::ignoreMessage(QtDebugMsg, "\"#010203\"");
    button.animationEvent(false);
    QPropertyAnimation *animation = button.colorAnimation();
    QCOMPARE(animation->state(), QAbstractAnimation::Running);
    QCOMPARE(animation->duration(), 1000);
    QCOMPARE(animation->startValue().value<QColor>(), QC_GLOB_RED1_L2);
    QCOMPARE(animation->endValue().value<QColor>(), QC_GLOB_WHITE1_L1);

    animation->setCurrentTime(500);
    QVERIFY(button.styleSheet().startsWith(QLatin1String("CAbstractPanelButton { background-color: rgba(")));
    QVERIFY(button.backColor() != QC_GLOB_RED1_L2);

    QSignalSpy finished(animation, &QAbstractAnimation::finished);
    animation->setCurrentTime(1000);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(button.backColor(), QC_GLOB_WHITE1_L1);
    // The style sheet's own rules take over again after the flash.
    QVERIFY(button.styleSheet().isEmpty());

    QTest::ignoreMessage(QtDebugMsg, "\"#f3f6f9\"");
    button.animationEvent();
    QCOMPARE(animation->startValue().value<QColor>(), QC_GLOB_GREEN2_L2);
}

void tst_WidgetKit::panelButtonIconAndTitle()
{
    CAbstractPanelButton withIcon(QStringLiteral("Server authorization"),
                                  QIcon(QStringLiteral(":/connectionFailIco.png")), nullptr, false);
    QCOMPARE(withIcon.iconLabel()->pixmap(Qt::ReturnByValue).size(), QSize(40, 40));

    withIcon.setIcon(QIcon(QStringLiteral(":/connectionGoodIco.png")));
    QCOMPARE(withIcon.iconLabel()->pixmap(Qt::ReturnByValue).size(), QSize(45, 45));

    withIcon.show();
    QVERIFY(withIcon.titleLabel()->isVisible());
    withIcon.setFullView(false);
    QVERIFY(!withIcon.titleLabel()->isVisible());
    withIcon.setFullView(true);
    QVERIFY(withIcon.titleLabel()->isVisible());

    CAbstractPanelButton noIcon(QStringLiteral("Plain"), QIcon(), nullptr, false);
    QVERIFY(noIcon.iconLabel()->pixmap(Qt::ReturnByValue).isNull());
}

// ---- Left panel and logo -------------------------------------------------

void tst_WidgetKit::leftPanelStretches()
{
    CLeftPanel panel;
    auto *first = new QPushButton(QStringLiteral("a"));
    auto *second = new QPushButton(QStringLiteral("b"));
    panel.addWidget(first);
    panel.addWidget(second, 2);
    panel.addWidget(nullptr);
    panel.addLayout(nullptr);
    panel.addStretch();
    auto *box = qobject_cast<QBoxLayout *>(panel.layout());
    QVERIFY(box);
    QCOMPARE(box->count(), 3);
    QCOMPARE(box->contentsMargins(), QMargins(0, 0, 0, 0));

    panel.expandWidget(first);
    QCOMPARE(box->stretch(0), 50);

    // Without an argument the sender is expanded.
    connect(second, &QPushButton::clicked, &panel, [&panel] { panel.expandWidget(); });
    second->click();
    QCOMPARE(box->stretch(1), 50);

    // A widget outside the panel changes nothing.
    QPushButton stranger;
    panel.expandWidget(&stranger);
    QCOMPARE(box->stretch(2), 0);

    panel.unexpandAll();
    for (int i = 0; i < box->count(); ++i)
        QCOMPARE(box->stretch(i), 0);
    QCOMPARE(panel.objectName(), QStringLiteral("CLeftPanel"));
}

void tst_WidgetKit::leftPanelBackground()
{
    CLeftPanel panel;
    panel.resize(200, 100);
    const QImage image = render(&panel);
    QCOMPARE(image.pixelColor(100, 50), QC_GLOB_BLACK1);
}

void tst_WidgetKit::logoWithoutIconPaintsBackgroundOnly()
{
    const QIcon saved = QI_GLOB_LOGO;
    QI_GLOB_LOGO = QIcon();
    CLogoWidget logo;
    logo.resize(200, 45);
    QTest::ignoreMessage(QtDebugMsg, "[CLogoWidget::paintEvent] ERROR! Invalid ICO - nothing to be printed");
    const QImage image = render(&logo);
    QI_GLOB_LOGO = saved;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            QCOMPARE(image.pixelColor(x, y), QC_GLOB_BLACK1_L0);
}

void tst_WidgetKit::logoDrawsIconAndWords()
{
    CLogoWidget logo;
    QCOMPARE(logo.sizeHint(), QSize(120, 42));
    QCOMPARE(logo.sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(logo.sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    logo.resize(200, 45);
    const QImage image = render(&logo);

    // The mark sits left of the middle, the words right of it in the text
    // colour: one row band for each word.
    int markPixels = 0;
    int upperText = 0;
    int lowerText = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c == QC_GLOB_BLACK1_L0)
                continue;
            if (x < 80)
                ++markPixels;
            if (c == QC_GLOB_WHITE1 && x > 80)
                (y < image.height() / 2 ? upperText : lowerText) += 1;
        }
    }
    QVERIFY(markPixels > 200);
    QVERIFY(upperText > 20);
    QVERIFY(lowerText > 20);
}

QTEST_MAIN(tst_WidgetKit)
#include "tst_widgetkit.moc"
