#include "gui/mainwindow.h"

#include "app/constants.h"
#include "app/logfile.h"
#include "app/settings.h"
#include "core/gateway.h"
#include "core/registermapexport.h"
#include "gui/abstractpanelbutton.h"
#include "gui/addnewdeviceform.h"
#include "gui/devicedelegat.h"
#include "gui/editdeviceform.h"
#include "gui/leftpanel.h"
#include "gui/logowidget.h"
#include "gui/registerdelegat.h"
#include "gui/searcheditwidget.h"
#include "gui/serveraddress.h"

#include <QComboBox>
#include <QDebug>
#include <QFileDialog>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QSaveFile>
#include <QSqlQueryModel>
#include <QVBoxLayout>

#include <utility>

namespace {

using namespace DB;

QHBoxLayout *makeRow(int spacing)
{
    auto *row = new QHBoxLayout();
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(spacing);
    return row;
}

QPushButton *makeListButton(const QString &icon, const QString &objectName, const QString &toolTip)
{
    auto *btn = new QPushButton();
    btn->setIcon(QIcon(icon));
    btn->setIconSize(QSize(28, 28));
    btn->setObjectName(objectName);
    btn->setToolTip(toolTip);
    btn->setFixedSize(40, 40);
    return btn;
}

} // namespace

MainWindow::MainWindow(CGateway &_gateway, CSettings &_settings, QWidget *parent)
    : QMainWindow(parent)
    , gateway(_gateway)
    , settings(_settings)
    , addDialog(new CAddNewDeviceForm(_gateway, this))
    , editDialog(new CEditDeviceForm(_gateway, this))
{
    m_confirmDelete = [this](const QString &question) {
        return QMessageBox::question(this, tr("Delete device"), question, QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::No)
            == QMessageBox::Yes;
    };
    setWindowFlags(windowFlags() | Qt::WindowMaximizeButtonHint);
    setAttribute(Qt::WA_NoSystemBackground);
    setObjectName(QStringLiteral("MainWindow"));
    setWindowIcon(QIcon(QStringLiteral(":/tidewell.png")));
    setWindowTitle(tr("%1").arg(QS_GLOB_PRODUCT));
    setGeometry(10, 30, 1000, 640);
    setAnimated(true);

    buildWidgets();
    makeConnections();

    readSettings();
    tryToConnectToServerSlot();
    refreshDevicesSlot(QString());
}

void MainWindow::buildWidgets()
{
    auto *central = new QWidget(this);
    central->setObjectName(QStringLiteral("MainWidget"));
    setCentralWidget(central);
    auto *mainLay = new QHBoxLayout(central);
    mainLay->setContentsMargins(0, 0, 0, 0);
    mainLay->setSpacing(0);

    // Left column: logo and the server connection panel.
    auto *leftLay = new QVBoxLayout();
    leftLay->setContentsMargins(0, 0, 0, 0);
    leftLay->setSpacing(0);
    auto *logo = new CLogoWidget(central);
    logo->setFixedSize(200, 45);
    auto *panel = new CLeftPanel(central);
    panel->setFixedWidth(200);
    leftLay->addWidget(logo);
    leftLay->addWidget(panel);

    serverBtn = new CAbstractPanelButton(tr("Server authorization"),
                                         QIcon(QStringLiteral(":/connectionFailIco.png")), panel, false);
    serverBtn->setPicAlign(2);
    serverBtn->setIconSize(QSize(36, 36));

    schemeCombo = new QComboBox();
    schemeCombo->addItems({ QStringLiteral("ws"), QStringLiteral("wss") });
    schemeCombo->setCurrentIndex(0);
    ipLine = new QLineEdit();
    ipLine->setFixedWidth(90);
    ipLine->setValidator(new CHostValidator(ipLine));
    portLine = new QLineEdit();
    // Wide enough for five digits (35 px cuts the last one off).
    portLine->setFixedWidth(42);
    portLine->setValidator(new CPortValidator(portLine));
    for (QLineEdit *edit : { ipLine, portLine }) {
        QFont font = edit->font();
        font.setPixelSize(11);
        edit->setFont(font);
        edit->setTextMargins(0, 0, 0, 0);
    }
    loginLine = new QLineEdit();
    passwordLine = new QLineEdit();
    passwordLine->setEchoMode(QLineEdit::Password);
    passwordLine->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhNoAutoUppercase | Qt::ImhNoPredictiveText);
    stateLab = new QLabel(tr("Connection state..."));
    connectBtn = new QPushButton(tr("Connect"));
    connectBtn->setObjectName(QStringLiteral("blueBtn"));
    connectBtn->setFixedSize(75, 25);

    auto *bodyLay = new QVBoxLayout();
    bodyLay->setContentsMargins(0, 0, 0, 0);
    bodyLay->setSpacing(5);
    QHBoxLayout *urlRow = makeRow(0);
    urlRow->addWidget(schemeCombo);
    urlRow->addWidget(new QLabel(QStringLiteral("://")));
    urlRow->addWidget(ipLine);
    urlRow->addWidget(new QLabel(QStringLiteral(":")));
    urlRow->addWidget(portLine);
    QHBoxLayout *loginRow = makeRow(0);
    loginRow->addWidget(new QLabel(tr("Login:")));
    loginRow->addWidget(loginLine);
    QHBoxLayout *passwordRow = makeRow(0);
    passwordRow->addWidget(new QLabel(tr("Password:")));
    passwordRow->addWidget(passwordLine);
    bodyLay->addLayout(urlRow);
    bodyLay->addLayout(loginRow);
    bodyLay->addLayout(passwordRow);
    bodyLay->addWidget(stateLab);
    bodyLay->addWidget(connectBtn, 0, Qt::AlignHCenter | Qt::AlignVCenter);
    serverBtn->addLayout(bodyLay);

    panel->addWidget(serverBtn, 0, Qt::Alignment());
    panel->addStretch();
    // Open at start: the connection fields are the first thing an operator needs.
    serverBtn->setChecked(true);

    // Middle column: search, device list, add / edit / delete.
    auto *midLay = new QVBoxLayout();
    midLay->setContentsMargins(5, 5, 5, 5);
    midLay->setSpacing(5);
    searchEdit = new CSearchEditWidget(central);
    devView = new QListView(central);
    auto *deviceDelegate
        = new CDeviceDelegat([this](const QString &appEui) { return gateway.deviceType(appEui); }, devView);
    deviceDelegate->setStateLookup([this](uint32_t deviceId, const QString &devEui) {
        const QString reason = gateway.notServedReason(deviceId);
        return reason.isEmpty() ? silenceText(devEui) : tr("not served: %1").arg(reason);
    });
    devView->setItemDelegate(deviceDelegate);
    devView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    devView->setMouseTracking(true);
    devView->setSpacing(1);
    devModel = new QSqlQueryModel(this);
    devView->setModel(devModel);
    addBtn = makeListButton(QStringLiteral(":/addIco.png"), QStringLiteral("greenBtn"),
                            tr("Add new device from server"));
    editBtn = makeListButton(QStringLiteral(":/editIco.png"), QStringLiteral("greenBtn"),
                             tr("Edit device parametrs"));
    deleteBtn
        = makeListButton(QStringLiteral(":/delete2Ico.png"), QStringLiteral("redBtn"), tr("Delete device"));
    QHBoxLayout *btnRow = makeRow(5);
    btnRow->addWidget(addBtn);
    btnRow->addWidget(editBtn);
    btnRow->addWidget(deleteBtn);
    btnRow->addStretch(10);
    // The register map as SCADA engineers import it as tags: the same export
    // as the HTTP API's.
    exportBtn = new QPushButton(tr("Export map"));
    exportBtn->setObjectName(QStringLiteral("greenBtn"));
    exportBtn->setToolTip(tr("Export the register map of every port as CSV"));
    exportBtn->setFixedHeight(40);
    btnRow->addWidget(exportBtn);
    midLay->addWidget(searchEdit);
    midLay->addWidget(devView, 50);
    midLay->addLayout(btnRow);

    // Right column: the selected device.
    auto *rightLay = new QVBoxLayout();
    rightLay->setContentsMargins(5, 5, 5, 5);
    rightLay->setSpacing(0);
    titleLab = new QLabel(tr("Device [UNKNOWN] "), central);
    titleLab->setObjectName(QStringLiteral("title1Lab"));
    modbusGroup = new QGroupBox(tr("ModBus-TCP parameters"), central);
    auto *modbusLay = new QVBoxLayout(modbusGroup);
    modbusLay->setContentsMargins(3, 3, 3, 3);
    modbusLay->setSpacing(2);
    auto addParamRow = [this, modbusLay](const QString &name, QLabel *value) {
        QHBoxLayout *row = makeRow(5);
        auto *nameLab = new QLabel(name, modbusGroup);
        nameLab->setObjectName(QStringLiteral("modbusName"));
        value->setObjectName(QStringLiteral("modbusValue"));
        row->addWidget(nameLab);
        row->addWidget(value);
        row->addStretch(20);
        modbusLay->addLayout(row);
    };
    modbusPortLab = new QLabel(modbusGroup);
    modbusStartLab = new QLabel(modbusGroup);
    modbusUnitLab = new QLabel(tr("ANY VALID VALUE"), modbusGroup);
    addParamRow(tr("Device ID:"), modbusUnitLab);
    addParamRow(tr("TCP port:"), modbusPortLab);
    addParamRow(tr("Begin register:"), modbusStartLab);
    modbusGroup->hide();
    regView = new QListView(central);
    regView->setItemDelegate(new CRegisterDelegat(regView));
    regView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    regView->setMouseTracking(true);
    regView->setSpacing(1);
    regModel = new QSqlQueryModel(this);
    regView->setModel(regModel);
    rightLay->addWidget(titleLab, 0, Qt::AlignHCenter);
    rightLay->addWidget(modbusGroup);
    rightLay->addWidget(regView, 50);

    mainLay->addLayout(leftLay, 0);
    mainLay->addLayout(midLay, 2);
    mainLay->addLayout(rightLay, 3);
}

void MainWindow::makeConnections()
{
    connect(this, &MainWindow::setConnectStatusIco, serverBtn, &CAbstractPanelButton::setIcon);
    connect(connectBtn, &QPushButton::clicked, this, &MainWindow::tryToConnectToServerSlot);
    connect(searchEdit, &CSearchEditWidget::textChangedSignal, this,
            QOverload<QString>::of(&MainWindow::refreshDevicesSlot));
    connect(devView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MainWindow::deviceSelectSlot);
    connect(addBtn, &QPushButton::clicked, this, &MainWindow::addNewItemSlot);
    connect(editBtn, &QPushButton::clicked, this, &MainWindow::editItemSlot);
    connect(deleteBtn, &QPushButton::clicked, this, &MainWindow::deleteItemSlot);
    connect(exportBtn, &QPushButton::clicked, this, &MainWindow::exportRegisterMapSlot);

    connect(CLogFile::getInstance(QString()), &CLogFile::addLogSignal, this, &MainWindow::debugSlot);
    // The gateway's notifications are already queued behind it.
    connect(&gateway, &CGateway::serverStatusChanged, this, &MainWindow::changeServerStatusSlot);
    connect(&gateway, &CGateway::newDataForDevice, this, &MainWindow::newDataForDeviceSlot);
    connect(&gateway, &CGateway::silenceChanged, this, [this](const QString &devEui) {
        devView->viewport()->update();
        if (devView->currentIndex().isValid() && devEui == currentDeviceCell(DEV_COL_DEV_EUI).toString())
            deviceSelectSlot({}, {});
    });
    connect(addDialog, &CAddNewDeviceForm::deviceAdded, this,
            [this](const QString &devEui) { m_selectEui = devEui; });
    for (CAbstractDeviceForm *form :
         { static_cast<CAbstractDeviceForm *>(addDialog), static_cast<CAbstractDeviceForm *>(editDialog) })
        connect(form, &CAbstractDeviceForm::refreshDeviceList, this,
                QOverload<QString>::of(&MainWindow::refreshDevicesSlot), Qt::QueuedConnection);
}

void MainWindow::debugSlot(QString str)
{
    qDebug().noquote() << str;
}

void MainWindow::readSettings()
{
    const SServerSettings server = settings.serverSettings();
    const int scheme = schemeCombo->findText(server.scheme);
    if (scheme >= 0)
        schemeCombo->setCurrentIndex(scheme);
    ipLine->setText(server.host);
    portLine->setText(server.port);
    loginLine->setText(server.login);
    passwordLine->setText(server.password);
}

SServerSettings MainWindow::fieldSettings() const
{
    SServerSettings server = settings.serverSettings();
    server.scheme = schemeCombo->currentText();
    server.host = ipLine->text();
    server.port = portLine->text();
    server.login = loginLine->text();
    server.password = passwordLine->text();
    return server;
}

void MainWindow::saveSettings()
{
    settings.writeServerSettings(fieldSettings());
}

QVariant MainWindow::currentDeviceCell(int column) const
{
    const QModelIndex current = devView->currentIndex();
    if (!current.isValid())
        return QVariant();
    return devModel->index(current.row(), column).data();
}

void MainWindow::showNoDevice()
{
    titleLab->setText(tr("Device [UNKNOWN]"));
    modbusGroup->hide();
    regModel->clear();
}

void MainWindow::deviceSelectSlot(QItemSelection, QItemSelection)
{
    if (devModel->rowCount() == 0 || !devView->currentIndex().isValid()) {
        showNoDevice();
        return;
    }
    const QString appEui = currentDeviceCell(DEV_COL_APP_EUI).toString();
    const QString devType = gateway.deviceType(appEui).devType;
    const QString devEui = currentDeviceCell(DEV_COL_DEV_EUI).toString();
    const QString reason = gateway.notServedReason(currentDeviceCell(DEV_COL_ID).toUInt());
    const QString silence = reason.isEmpty() ? silenceText(devEui) : tr("not served: %1").arg(reason);
    titleLab->setText(tr("Device:%1 [%2]").arg(devEui, devType)
                      + (silence.isEmpty() ? QString() : QStringLiteral(" ") + silence));
    modbusGroup->show();
    modbusPortLab->setText(QString::number(currentDeviceCell(DEV_COL_PORT).toUInt()));
    modbusStartLab->setText(QString::number(currentDeviceCell(DEV_COL_START_ADDR).toUInt()));
    // A device with a unit id answers to that one alone; the others to any
    // unit id no device of the port has.
    const QVariant unit = currentDeviceCell(DEV_LIST_COL_UNIT_ID);
    modbusUnitLab->setText(unit.isNull() ? tr("ANY VALID VALUE") : QString::number(unit.toUInt()));
    refreshRegisterSlot();
}

QString MainWindow::silenceText(const QString &devEui) const
{
    const qint64 quietMs = gateway.silentForMs(devEui);
    if (quietMs < 0)
        return QString();
    const qint64 minutes = quietMs / 60000;
    if (minutes < 60)
        return tr("SILENT %1 min").arg(minutes);
    if (minutes < 48 * 60)
        return tr("SILENT %1 h %2 min").arg(minutes / 60).arg(minutes % 60);
    return tr("SILENT %1 days").arg(minutes / (24 * 60));
}

void MainWindow::refreshRegisterSlot()
{
    if (gateway.failed())
        return;
    const uint32_t id = currentDeviceCell(DEV_COL_ID).toUInt();
    gateway.showRegisters(*regModel, id);
    if (regModel->rowCount() > 0)
        regView->setCurrentIndex(regModel->index(0, 0));
}

void MainWindow::addNewItemSlot()
{
    addDialog->showForm(tr("Add new device interface"));
}

void MainWindow::editItemSlot()
{
    if (!devView->currentIndex().isValid())
        return;
    editDialog->setOriginal(
        currentDeviceCell(DEV_COL_ID).toUInt(), currentDeviceCell(DEV_COL_DEV_EUI).toString(),
        currentDeviceCell(DEV_COL_NAME).toString(), currentDeviceCell(DEV_COL_APP_EUI).toString(),
        static_cast<uint16_t>(currentDeviceCell(DEV_COL_PORT).toUInt()),
        currentDeviceCell(DEV_COL_START_ADDR).toUInt(), currentDeviceCell(DEV_LIST_COL_UNIT_ID).toInt());
    editDialog->showForm(tr("Edit device parameters"));
}

void MainWindow::deleteItemSlot()
{
    if (!devView->currentIndex().isValid())
        return;
    const auto port = static_cast<uint16_t>(currentDeviceCell(DEV_COL_PORT).toUInt());
    // One click would otherwise stop what a SCADA reads, with no way back.
    const QString question
        = tr("Delete device \"%1\" (DevEUI %2), served on Modbus TCP port %3?\n"
             "Its registers are no longer served and its stored values are deleted.")
              .arg(currentDeviceCell(DEV_COL_NAME).toString(), currentDeviceCell(DEV_COL_DEV_EUI).toString())
              .arg(port);
    if (!m_confirmDelete(question))
        return;
    gateway.removeDevice(currentDeviceCell(DEV_COL_ID).toUInt(),
                         currentDeviceCell(DEV_COL_DEV_EUI).toString(), port);
    refreshDevicesSlot(QString());
}

void MainWindow::tryToConnectToServerSlot()
{
    if (ipLine->text().isEmpty()) {
        addLog(QStringLiteral("[main] IP is empty"));
        return;
    }
    if (portLine->text().isEmpty()) {
        addLog(QStringLiteral("[main] PORT is empty"));
        return;
    }
    if (loginLine->text().isEmpty()) {
        addLog(QStringLiteral("[main] LOGIN is empty"));
        return;
    }
    if (passwordLine->text().isEmpty()) {
        addLog(QStringLiteral("[main] PASSWORD is empty"));
        return;
    }
    gateway.connectToServer(fieldSettings());
}

void MainWindow::changeServerStatusSlot(COMM::EServerStatus _status)
{
    const QString text = QLatin1String(COMM::statusText(_status));
    if (text.isEmpty())
        return;
    const QString icon = _status == COMM::SUCCESS ? QStringLiteral(":/connectionGoodIco.png")
                                                  : QStringLiteral(":/connectionFailIco.png");
    stateLab->setText(text);
    emit setConnectStatusIco(QIcon(icon));
    if (_status == COMM::SUCCESS)
        saveSettings();
}

void MainWindow::refreshDevicesSlot(QString _search)
{
    if (gateway.failed())
        return;
    // The selection stays on its device (an edited one), or moves to a device
    // just added; the first row otherwise.
    QString keep = std::exchange(m_selectEui, QString());
    if (keep.isEmpty() && devView->currentIndex().isValid())
        keep = currentDeviceCell(DEV_COL_DEV_EUI).toString();
    gateway.showDevices(*devModel, _search);
    if (devModel->rowCount() > 0) {
        int row = 0;
        for (int r = 0; r < devModel->rowCount(); ++r) {
            if (devModel->index(r, DEV_COL_DEV_EUI).data().toString() == keep) {
                row = r;
                break;
            }
        }
        devView->setCurrentIndex(devModel->index(row, 0));
        return;
    }
    showNoDevice();
}

void MainWindow::refreshDevicesSlot()
{
    refreshDevicesSlot(QString());
}

void MainWindow::newDataForDeviceSlot(QString _devEui)
{
    if (devView->currentIndex().isValid() && _devEui == currentDeviceCell(DEV_COL_DEV_EUI).toString())
        refreshRegisterSlot();
}

void MainWindow::exportRegisterMapSlot()
{
    const QString fileName = QFileDialog::getSaveFileName(
        this, tr("Export register map"), QStringLiteral("register-map.csv"), tr("CSV files (*.csv)"));
    if (!fileName.isEmpty())
        exportRegisterMap(fileName);
}

bool MainWindow::exportRegisterMap(const QString &fileName)
{
    QSaveFile file(fileName);
    if (file.open(QIODevice::WriteOnly) && RegisterMapExport::writeCsv(gateway, -1, file) && file.commit())
        return true;
    file.cancelWriting();
    addLog(QStringLiteral("ERROR: [MainWindow] The register map could not be written to [%1]: %2")
               .arg(fileName, file.errorString()));
    const QString platform = QGuiApplication::platformName();
    if (platform != QStringLiteral("offscreen") && platform != QStringLiteral("minimal"))
        QMessageBox::warning(this, tr("Export register map"),
                             tr("The register map could not be written to \"%1\".").arg(fileName));
    return false;
}
