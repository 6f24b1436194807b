#include "gui/abstractdeviceform.h"

#include "core/gateway.h"
#include "gui/devicedelegat.h"
#include "gui/devicesearchmodel.h"
#include "gui/searcheditwidget.h"
#include "gui/simpleregisterdelegat.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLayoutItem>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QStackedLayout>
#include <QStandardItemModel>
#include <QVBoxLayout>

namespace {

const int TYPES_PER_ROW = 5;

QPushButton *makeIndicator(const QString &toolTip, QWidget *parent)
{
    auto *btn = new QPushButton(QStringLiteral("!"), parent);
    btn->setObjectName(QStringLiteral("redBtn"));
    btn->setFixedSize(25, 25);
    btn->setToolTip(toolTip);
    btn->setFocusPolicy(Qt::NoFocus);
    btn->hide();
    return btn;
}

QPushButton *makeBoxButton(const QString &text, const QString &objectName)
{
    auto *btn = new QPushButton(text);
    btn->setObjectName(objectName);
    btn->setFixedSize(100, 35);
    // The application sheet's minimum height for dialog buttons would
    // otherwise undercut the fixed size.
    btn->setStyleSheet(
        QStringLiteral("QPushButton { min-height: 35px; max-height: 35px; font-size: 14px; }"));
    return btn;
}

} // namespace

CAbstractDeviceForm::CAbstractDeviceForm(CGateway &_gateway, QWidget *parent)
    : QDialog(parent)
    , gateway(_gateway)
{
    setGeometry(30, 30, 800, 600);
    setWindowIcon(QIcon(QStringLiteral(":/tidewell.png")));

    auto *mainLay = new QVBoxLayout(this);
    mainLay->setContentsMargins(5, 5, 5, 5);
    mainLay->setSpacing(5);

    titleLab = new QLabel(tr("Add new device interface"), this);
    titleLab->setObjectName(QStringLiteral("title1Lab"));
    mainLay->addWidget(titleLab, 0, Qt::AlignHCenter);

    // Connection parameters
    auto *connBox = new QGroupBox(tr("Connection parameters"), this);
    auto *connLay = new QHBoxLayout(connBox);
    connLay->setContentsMargins(5, 5, 5, 5);
    connLay->setSpacing(5);
    portLine = new QLineEdit(connBox);
    portLine->setValidator(new QIntValidator(portLine));
    // Wide enough for five digits in the dialog's font.
    portLine->setFixedSize(64, 25);
    startLine = new QLineEdit(connBox);
    startLine->setValidator(new QIntValidator(startLine));
    startLine->setFixedWidth(64);
    portInd = makeIndicator(tr("Invalid TCP port (is used or unsupported)"), connBox);
    startInd = makeIndicator(tr("Empty start address"), connBox);
    // An indicator judges the values it was shown for: an edit makes it stale.
    // Where the registers lie depends on the port as well as the start.
    connect(portLine, &QLineEdit::textChanged, this, [this]() {
        portInd->hide();
        startInd->hide();
    });
    connect(startLine, &QLineEdit::textChanged, startInd, &QWidget::hide);
    connLay->addStretch();
    connLay->addWidget(new QLabel(tr("TCP port for device:"), connBox));
    connLay->addWidget(portLine);
    connLay->addWidget(portInd);
    connLay->addStretch();
    connLay->addWidget(new QLabel(tr("Start address for registers:"), connBox));
    connLay->addWidget(startLine);
    connLay->addWidget(startInd);
    connLay->addStretch();
    // Optional: empty, the device answers to any unit id no device of the port has.
    unitLine = new QLineEdit(connBox);
    unitLine->setValidator(new QIntValidator(0, 999, unitLine));
    unitLine->setFixedWidth(40);
    unitLine->setPlaceholderText(tr("none"));
    unitLine->setToolTip(tr("Modbus unit id 1..247; empty: none"));
    unitInd
        = makeIndicator(tr("Unit id must be 1 to 247 and not used by another device on the port"), connBox);
    connLay->addWidget(new QLabel(tr("Unit id:"), connBox));
    connLay->addWidget(unitLine);
    connLay->addWidget(unitInd);
    connLay->addStretch();
    mainLay->addWidget(connBox);

    // Devices and their registers
    auto *listsLay = new QHBoxLayout();
    listsLay->setContentsMargins(0, 0, 0, 0);
    listsLay->setSpacing(5);

    auto *devBox = new QGroupBox(tr("Accessible devices"), this);
    stackLay = new QStackedLayout(devBox);
    statusLab = new QLabel(devBox);
    statusLab->setObjectName(QStringLiteral("title1Lab"));
    statusLab->setAlignment(Qt::AlignCenter);
    stackLay->addWidget(statusLab);

    auto *devPage = new QWidget(devBox);
    auto *devPageLay = new QVBoxLayout(devPage);
    devPageLay->setContentsMargins(0, 0, 0, 0);
    devPageLay->setSpacing(5);
    searchEdit = new CSearchEditWidget(devPage);
    devView = new QListView(devPage);
    devView->setItemDelegate(
        new CDeviceDelegat([this](const QString &appEui) { return gateway.deviceType(appEui); }, devView));
    devView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    devView->setSelectionMode(QAbstractItemView::SingleSelection);
    devView->setMouseTracking(true);
    devPageLay->addWidget(searchEdit);
    devPageLay->addWidget(devView);
    stackLay->addWidget(devPage);

    devModel = new QStandardItemModel(0, DEV_COLUMNS, this);
    devProxy = new CDeviceSearchModel(this);
    devProxy->setSourceModel(devModel);
    devView->setModel(devProxy);

    auto *regBox = new QGroupBox(tr("Device's registers"), this);
    auto *regBoxLay = new QVBoxLayout(regBox);
    regBoxLay->setContentsMargins(5, 5, 5, 5);
    regView = new QListView(regBox);
    regView->setItemDelegate(new CSimpleRegisterDelegat(regView));
    regView->setEditTriggers(QAbstractItemView::DoubleClicked);
    regView->setMouseTracking(true);
    regView->setSpacing(1);
    regModel = new QStandardItemModel(0, REG_COLUMNS, this);
    regView->setModel(regModel);
    regBoxLay->addWidget(regView);

    listsLay->addWidget(devBox, 2);
    listsLay->addWidget(regBox, 3);
    mainLay->addLayout(listsLay, 1);

    // Known device types
    auto *typeBox = new QGroupBox(tr("Registered device type"), this);
    auto *typeBoxLay = new QHBoxLayout(typeBox);
    typeBoxLay->setContentsMargins(5, 5, 5, 5);
    typeLay = new QGridLayout();
    typeLay->setContentsMargins(0, 0, 0, 0);
    typeLay->setSpacing(5);
    refreshBtn = new QPushButton(typeBox);
    refreshBtn->setObjectName(QStringLiteral("blueBtn"));
    refreshBtn->setIcon(QIcon(QStringLiteral(":/refresh2Ico.png")));
    refreshBtn->setFixedSize(30, 30);
    refreshBtn->setIconSize(QSize(24, 24));
    typeBoxLay->addLayout(typeLay, 1);
    typeBoxLay->addWidget(refreshBtn, 0, Qt::AlignRight | Qt::AlignVCenter);
    mainLay->addWidget(typeBox);

    // OK / Cancel
    btnBox = new QDialogButtonBox(this);
    btnBox->setCenterButtons(true);
    QPushButton *okBtn = makeBoxButton(tr("OK"), QStringLiteral("greenBtn"));
    QPushButton *cancelBtn = makeBoxButton(tr("Cancel"), QStringLiteral("orangeBtn"));
    btnBox->addButton(okBtn, QDialogButtonBox::AcceptRole);
    btnBox->addButton(cancelBtn, QDialogButtonBox::RejectRole);
    okBtn->setDefault(true);
    mainLay->addWidget(btnBox, 0, Qt::AlignHCenter);

    connect(searchEdit, &CSearchEditWidget::textChangedSignal, this,
            &CAbstractDeviceForm::deviceSearchNameSlot);
    connect(devView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &CAbstractDeviceForm::deviceListSelectSlot);
    connect(refreshBtn, &QPushButton::clicked, this, &CAbstractDeviceForm::refresh);
    connect(btnBox, &QDialogButtonBox::accepted, this, &CAbstractDeviceForm::addDeviceSlot);
    connect(btnBox, &QDialogButtonBox::rejected, this, &CAbstractDeviceForm::reject);
}

int CAbstractDeviceForm::currentPage() const
{
    return stackLay->currentIndex();
}

int CAbstractDeviceForm::showForm(QString _title)
{
    setWindowTitle(_title);
    refresh();
    return exec();
}

bool CAbstractDeviceForm::readUnitId(int *unitId)
{
    const QString text = unitLine->text().trimmed();
    *unitId = 0;
    if (text.isEmpty()) {
        unitInd->hide();
        return true;
    }
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < 1 || value > 247) {
        unitInd->setToolTip(tr("Unit id must be 1 to 247"));
        unitInd->show();
        return false;
    }
    unitInd->hide();
    *unitId = value;
    return true;
}

QStringList CAbstractDeviceForm::rebuildTypeGrid()
{
    while (QLayoutItem *item = typeLay->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    QStringList appEuis;
    const QList<SDeviceType> types = gateway.deviceTypes();
    int pos = 0;
    for (const SDeviceType &type : types) {
        auto *lab = new QLabel(type.devType);
        lab->setStyleSheet(
            QStringLiteral("QLabel {padding: 5px; background-color: %1;}").arg(type.color.name()));
        lab->setToolTip(type.appEui);
        typeLay->addWidget(lab, pos / TYPES_PER_ROW, pos % TYPES_PER_ROW);
        appEuis << type.appEui;
        ++pos;
    }
    return appEuis;
}

void CAbstractDeviceForm::showStatus(const QString &text)
{
    statusLab->setText(text);
    stackLay->setCurrentIndex(0);
}

void CAbstractDeviceForm::showDeviceList()
{
    stackLay->setCurrentIndex(1);
}

QString CAbstractDeviceForm::deviceCell(int row, int column) const
{
    return devModel->index(row, column).data().toString();
}

QVariant CAbstractDeviceForm::registerCell(int row, int column) const
{
    return regModel->index(row, column).data();
}
