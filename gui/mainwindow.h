#pragma once

#include <functional>

#include "app/settings.h"
#include "serverlink/serverstatus.h"

#include <QIcon>
#include <QItemSelection>
#include <QMainWindow>
#include <QString>

#include <cstdint>

class CAbstractPanelButton;
class CAddNewDeviceForm;
class CEditDeviceForm;
class CGateway;
class CSearchEditWidget;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListView;
class QPushButton;
class QSqlQueryModel;

// The gateway's only window: server connection, device list, the selected
// device's Modbus parameters and live registers.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // Shows the gateway and asks it to act; builds its add and edit dialogs.
    // Connects at once when settings.conf holds a complete server login.
    // The settings are read at start and written after each successful login.
    MainWindow(CGateway &gateway, CSettings &settings, QWidget *parent = nullptr);

    // Widgets reached by tests and the screenshot tool.
    QComboBox *schemeBox() const { return schemeCombo; }
    QLineEdit *addressEdit() const { return ipLine; }
    QLineEdit *serverPortEdit() const { return portLine; }
    QLineEdit *loginEdit() const { return loginLine; }
    QLineEdit *passwordEdit() const { return passwordLine; }
    QLabel *connectionStateLabel() const { return stateLab; }
    QPushButton *connectButton() const { return connectBtn; }
    CAbstractPanelButton *serverPanelButton() const { return serverBtn; }
    CSearchEditWidget *searchWidget() const { return searchEdit; }
    QListView *deviceView() const { return devView; }
    QSqlQueryModel *deviceModel() const { return devModel; }
    QLabel *titleLabel() const { return titleLab; }
    QGroupBox *modbusBox() const { return modbusGroup; }
    QLabel *modbusPortLabel() const { return modbusPortLab; }
    QLabel *modbusStartLabel() const { return modbusStartLab; }
    QLabel *modbusUnitLabel() const { return modbusUnitLab; }
    QListView *registerView() const { return regView; }
    QSqlQueryModel *registerModel() const { return regModel; }
    QPushButton *addButton() const { return addBtn; }
    QPushButton *editButton() const { return editBtn; }
    QPushButton *deleteButton() const { return deleteBtn; }
    QPushButton *exportButton() const { return exportBtn; }
    // Writes the register map (every port) as CSV; false, with a message
    // box, when the file cannot be written.
    bool exportRegisterMap(const QString &fileName);
    CAddNewDeviceForm *addForm() const { return addDialog; }
    CEditDeviceForm *editForm() const { return editDialog; }

    // How Delete asks before it deletes: true to go ahead. Tests answer it.
    void setDeleteConfirmation(std::function<bool(const QString &question)> ask)
    {
        m_confirmDelete = std::move(ask);
    }

signals:
    void setConnectStatusIco(QIcon ico);

private slots:
    void debugSlot(QString str);
    void readSettings();
    void saveSettings();
    void deviceSelectSlot(QItemSelection item1, QItemSelection item2);
    void refreshRegisterSlot();
    void addNewItemSlot();
    void editItemSlot();
    void deleteItemSlot();
    void exportRegisterMapSlot();
    void tryToConnectToServerSlot();
    void changeServerStatusSlot(COMM::EServerStatus _status);

public slots:
    void refreshDevicesSlot(QString _search);
    void refreshDevicesSlot();
    void newDataForDeviceSlot(QString _devEui);

private:
    void buildWidgets();
    void makeConnections();
    void showNoDevice();
    // "SILENT 2 h 5 min" for a silent device, empty otherwise.
    QString silenceText(const QString &devEui) const;
    // The connection the fields describe, with the stored keys the window does
    // not show.
    SServerSettings fieldSettings() const;
    // Cell of the device list's current row; invalid without one.
    QVariant currentDeviceCell(int column) const;

    CGateway &gateway;
    CSettings &settings;
    CAddNewDeviceForm *addDialog = nullptr;
    CEditDeviceForm *editDialog = nullptr;

    QComboBox *schemeCombo = nullptr;
    QLineEdit *ipLine = nullptr;
    QLineEdit *portLine = nullptr;
    QLineEdit *loginLine = nullptr;
    QLineEdit *passwordLine = nullptr;
    QLabel *stateLab = nullptr;
    QPushButton *connectBtn = nullptr;
    CAbstractPanelButton *serverBtn = nullptr;
    CSearchEditWidget *searchEdit = nullptr;
    QListView *devView = nullptr;
    QSqlQueryModel *devModel = nullptr;
    QPushButton *addBtn = nullptr;
    QPushButton *editBtn = nullptr;
    QPushButton *deleteBtn = nullptr;
    QPushButton *exportBtn = nullptr;
    QLabel *titleLab = nullptr;
    QGroupBox *modbusGroup = nullptr;
    QLabel *modbusPortLab = nullptr;
    QLabel *modbusStartLab = nullptr;
    QLabel *modbusUnitLab = nullptr;
    QListView *regView = nullptr;
    QSqlQueryModel *regModel = nullptr;
    std::function<bool(const QString &)> m_confirmDelete;
    QString m_selectEui; // the device the next refresh selects (a new one)
};
