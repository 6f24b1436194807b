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

#include <memory>

namespace {

QImage render(QWidget *widget)
{
    widget->ensurePolished();
    if (widget->layout())
        widget->layout()->activate();
    return widget->grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

CAbstractPanelButton *panelButton(const QString &icon = QString())
{
    return new CAbstractPanelButton(QStringLiteral("Server authorization"),
                                    icon.isEmpty() ? QIcon() : QIcon(icon), nullptr, false);
}

} // namespace

class tst_WidgetKit : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void backgroundsFromStyleSheet();
    void searchRequests();
    void panelButtonToggles();
    void panelButtonPicAlign();
    void panelButtonFlash();
    void leftPanelStretches();
    void logo();
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

void tst_WidgetKit::backgroundsFromStyleSheet()
{
    // The kit's widgets paint through the style, so their class rules show:
    // the search box's between its frame and buttons, the line edit's inside.
    CSearchEditWidget search;
    search.resize(300, 30);
    const QImage image = render(&search);
    QCOMPARE(image.pixelColor(2, 15), QC_GLOB_BLUE1_L1);
    QCOMPARE(image.pixelColor(150, 15), QC_GLOB_BLUE1_L2);

    std::unique_ptr<CAbstractPanelButton> button(panelButton());
    button->resize(200, 40);
    QCOMPARE(render(button.get()).pixelColor(30, 20), QC_GLOB_BLACK1);
    button->setChecked(true);
    QCOMPARE(render(button.get()).pixelColor(30, 3), QC_GLOB_BLACK1_E2G);

    CLeftPanel panel;
    panel.resize(200, 100);
    QCOMPARE(render(&panel).pixelColor(100, 50), QC_GLOB_BLACK1);
}

void tst_WidgetKit::searchRequests()
{
    // Inside a dialog with a default button, as the device dialogs have it.
    QDialog dialog;
    auto *layout = new QVBoxLayout(&dialog);
    auto *search = new CSearchEditWidget(&dialog);
    auto *box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    box->button(QDialogButtonBox::Ok)->setDefault(true);
    connect(box, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    layout->addWidget(search);
    layout->addWidget(box);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QSignalSpy immediate(search, &CSearchEditWidget::textImmediatelyChanged);
    QSignalSpy request(search, &CSearchEditWidget::textChangedSignal);

    // Typing and setting the text only report it.
    QTest::keyClicks(search->lineEdit(), QStringLiteral("abc"));
    QCOMPARE(immediate.count(), 3);
    QCOMPARE(immediate.last().at(0).toString(), QStringLiteral("abc"));
    search->setText(QStringLiteral("meter"));
    QCOMPARE(request.count(), 0);

    // Return, Enter and the search button request a search, once each, and
    // never press the dialog's default button.
    QTest::keyClick(search->lineEdit(), Qt::Key_Return);
    QTest::keyClick(search->lineEdit(), Qt::Key_Enter);
    QTest::mouseClick(search->searchButton(), Qt::LeftButton);
    QCOMPARE(request.count(), 3);
    for (const QList<QVariant> &args : qAsConst(request))
        QCOMPARE(args.at(0).toString(), QStringLiteral("meter"));
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.result(), 0);

    // Clearing empties the box and requests the unfiltered list.
    QTest::mouseClick(search->clearButton(), Qt::LeftButton);
    QCOMPARE(request.count(), 4);
    QCOMPARE(request.last().at(0).toString(), QString());
    QVERIFY(search->text().isEmpty());
}

void tst_WidgetKit::panelButtonToggles()
{
    std::unique_ptr<CAbstractPanelButton> button(panelButton(QStringLiteral(":/connectionFailIco.png")));
    auto *label = new QLabel(QStringLiteral("Login:"));
    button->addWidget(label);
    button->resize(200, 150);
    button->show();
    QVERIFY(QTest::qWaitForWindowExposed(button.get()));
    QVERIFY(!button->body()->isVisible());
    // The connection icon is swapped in place.
    QCOMPARE(button->iconLabel()->pixmap(Qt::ReturnByValue).size(), QSize(40, 40));
    button->setIcon(QIcon(QStringLiteral(":/connectionGoodIco.png")));
    QCOMPARE(button->iconLabel()->pixmap(Qt::ReturnByValue).size(), QSize(45, 45));

    // A click on the head opens the section and lights the red marker strip.
    QTest::mouseClick(button.get(), Qt::LeftButton, Qt::NoModifier, QPoint(100, 10));
    QVERIFY(button->isChecked());
    QVERIFY(button->body()->isVisible());
    QCOMPARE(render(button.get()).pixelColor(2, 10), QC_GLOB_RED1);

    // Labels and free body space pass clicks up but keep it open.
    QTest::mouseClick(label, Qt::LeftButton);
    QTest::mouseClick(button.get(), Qt::LeftButton, Qt::NoModifier,
                      button->body()->geometry().bottomRight() - QPoint(5, 5));
    QVERIFY(button->body()->isVisible());

    QTest::mouseClick(button.get(), Qt::LeftButton, Qt::NoModifier, QPoint(100, 10));
    QVERIFY(!button->isChecked());
    QVERIFY(!button->body()->isVisible());
    QCOMPARE(render(button.get()).pixelColor(2, 10), QC_GLOB_BLACK1);
}

void tst_WidgetKit::panelButtonPicAlign()
{
    std::unique_ptr<CAbstractPanelButton> button(panelButton(QStringLiteral(":/addIco.png")));
    QHBoxLayout *head = button->headLayout();
    QCOMPARE(head->indexOf(button->iconLabel()), 1);

    button->setProperty("sPicAlign", 2);
    QCOMPARE(button->picAlign(), 2);
    QCOMPARE(head->indexOf(button->markerStrip()), 0);
    QCOMPARE(head->indexOf(button->iconLabel()), head->count() - 1);

    // Unsupported values fall back to the left, from either side.
    for (int align : { 3, 0 }) {
        QTest::ignoreMessage(QtDebugMsg,
                             "[CAbstractPanelButton::setPicAlign] Current alingn for ICO is not "
                             "supported. Auto-apply with Qt::AlignLeft");
        button->setPicAlign(align);
        QCOMPARE(button->picAlign(), 1);
        QCOMPARE(head->indexOf(button->iconLabel()), 1);
        QCOMPARE(head->indexOf(button->titleLabel()), 2);
    }
}

void tst_WidgetKit::panelButtonFlash()
{
    std::unique_ptr<CAbstractPanelButton> button(panelButton());
    button->setBackColor(QColor(1, 2, 3));
    QCOMPARE(render(button.get()).pixelColor(30, 20), QColor(1, 2, 3));
    QTest::ignoreMessage(QtDebugMsg, "\"#010203\"");
    button->animationEvent(false);
    QPropertyAnimation *animation = button->colorAnimation();
    QCOMPARE(animation->startValue().value<QColor>(), QC_GLOB_RED1_L2);
    QCOMPARE(animation->endValue().value<QColor>(), QC_GLOB_WHITE1_L1);

    animation->setCurrentTime(animation->duration() / 2);
    QVERIFY(button->backColor() != QC_GLOB_RED1_L2);
    animation->setCurrentTime(animation->duration());
    QCOMPARE(button->backColor(), QC_GLOB_WHITE1_L1);
    // The style sheet's own rules take over again after the flash.
    QVERIFY(button->styleSheet().isEmpty());

    QTest::ignoreMessage(QtDebugMsg, "\"#f3f6f9\"");
    button->animationEvent();
    QCOMPARE(animation->startValue().value<QColor>(), QC_GLOB_GREEN2_L2);
}

void tst_WidgetKit::leftPanelStretches()
{
    CLeftPanel panel;
    auto *first = new QPushButton(QStringLiteral("a"));
    auto *second = new QPushButton(QStringLiteral("b"));
    panel.addWidget(first);
    panel.addWidget(second, 2);
    // Null items are ignored.
    panel.addWidget(nullptr);
    panel.addLayout(nullptr);
    panel.addStretch();
    auto *box = qobject_cast<QBoxLayout *>(panel.layout());
    QCOMPARE(box->count(), 3);

    panel.expandWidget(first);
    QVERIFY(box->stretch(0) > 2);
    // Without an argument the sender is expanded.
    connect(second, &QPushButton::clicked, &panel, [&panel] { panel.expandWidget(); });
    second->click();
    QCOMPARE(box->stretch(1), box->stretch(0));
    // A widget outside the panel changes nothing.
    QPushButton stranger;
    panel.expandWidget(&stranger);
    QCOMPARE(box->stretch(2), 0);

    panel.unexpandAll();
    for (int i = 0; i < box->count(); ++i)
        QCOMPARE(box->stretch(i), 0);
}

void tst_WidgetKit::logo()
{
    CLogoWidget logo;
    logo.resize(200, 45);
    QImage image = render(&logo);
    // The mark left of the middle, the two brand words right of it in the
    // text colour, one row band each.
    int mark = 0;
    int upper = 0;
    int lower = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            mark += x < 80 && c != QC_GLOB_BLACK1_L0;
            if (c == QC_GLOB_WHITE1 && x > 80)
                ++(y < image.height() / 2 ? upper : lower);
        }
    QVERIFY(mark > 200);
    QVERIFY(upper > 20);
    QVERIFY(lower > 20);

    // Without an icon only the background is painted.
    QI_GLOB_LOGO = QIcon();
    QTest::ignoreMessage(QtDebugMsg, "[CLogoWidget::paintEvent] ERROR! Invalid ICO - nothing to be printed");
    image = render(&logo);
    QI_GLOB_LOGO = QIcon(QStringLiteral(":/orla_logo5_gradient.png"));
    QImage background(image.size(), image.format());
    background.fill(QC_GLOB_BLACK1_L0);
    QCOMPARE(image, background);
}

QTEST_MAIN(tst_WidgetKit)
#include "tst_widgetkit.moc"
