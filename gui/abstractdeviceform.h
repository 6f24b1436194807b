#pragma once

#include "app/schema.h"

#include <QDialog>
#include <QItemSelection>
#include <QString>

class CGateway;
class CDeviceSearchModel;
class CSearchEditWidget;
class QDialogButtonBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QListView;
class QPushButton;
class QStackedLayout;
class QStandardItemModel;

// Common frame of the add and edit device dialogs: connection parameters, the
// device list, the register map with in-place scaling editors and the grid of
// known device types.
class CAbstractDeviceForm : public QDialog
{
    Q_OBJECT

public:
    explicit CAbstractDeviceForm(CGateway &gateway, QWidget *parent = nullptr);

    // Column positions of the device and register models: the stored
    // tables' (app/schema.h), so that the views paint both alike.
    enum EDeviceColumn {
        DEV_ID = DB::DEV_COL_ID,
        DEV_NAME = DB::DEV_COL_NAME,
        DEV_APP_EUI = DB::DEV_COL_APP_EUI,
        DEV_DEV_EUI = DB::DEV_COL_DEV_EUI,
        DEV_PORT = DB::DEV_COL_PORT,
        DEV_START_ADDR = DB::DEV_COL_START_ADDR,
        DEV_COLUMNS = DB::DEV_COL_COUNT
    };
    enum ERegColumn {
        REG_DEVICE = DB::REG_COL_DEVICE,
        REG_PORT = DB::REG_COL_PORT,
        REG_ADDR = DB::REG_COL_ADDR,
        REG_START_VALUE = DB::REG_COL_START_VALUE,
        REG_GRATING_PERIOD = DB::REG_COL_GRATING_PERIOD,
        REG_BIT_SIZE = DB::REG_COL_BIT_SIZE,
        REG_DATA_TYPE = DB::REG_COL_DATA_TYPE,
        REG_NAME = DB::REG_COL_NAME,
        REG_UNIT = DB::REG_COL_UNIT,
        REG_SOURCE = DB::REG_COL_SOURCE,
        REG_COLUMNS = DB::REG_COL_COUNT
    };

    // Accessors for tests and the main window.
    QLabel *statusLabel() const { return statusLab; }
    int currentPage() const;
    QStandardItemModel *deviceModel() const { return devModel; }
    QStandardItemModel *registerModel() const { return regModel; }
    QListView *deviceView() const { return devView; }
    QListView *registerView() const { return regView; }
    QLineEdit *portEdit() const { return portLine; }
    QLineEdit *startAddressEdit() const { return startLine; }
    QPushButton *portIndicator() const { return portInd; }
    QPushButton *startIndicator() const { return startInd; }
    QLineEdit *unitIdEdit() const { return unitLine; }
    QPushButton *unitIdIndicator() const { return unitInd; }
    QGridLayout *typeGrid() const { return typeLay; }
    CSearchEditWidget *searchWidget() const { return searchEdit; }
    QDialogButtonBox *buttonBox() const { return btnBox; }

signals:
    void refreshDeviceList(QString _search = QString());

public slots:
    int showForm(QString _title);

protected slots:
    virtual void deviceSearchNameSlot(QString str) = 0;
    virtual void refresh() = 0;
    virtual void deviceListSelectSlot(QItemSelection item1, QItemSelection item2) = 0;
    virtual void addDeviceSlot() = 0;

protected:
    // The unit id field: true with 0 when empty, true with 1..247, false
    // otherwise (the indicator then says why).
    bool readUnitId(int *unitId);
    // Rebuilds the type grid, five labels a row; returns the AppEUIs in order.
    QStringList rebuildTypeGrid();
    void showStatus(const QString &text);
    void showDeviceList();
    QString deviceCell(int row, int column) const;
    QVariant registerCell(int row, int column) const;

    // What the dialog shows and does goes through the gateway's face.
    CGateway &gateway;

    QLabel *titleLab = nullptr;
    QStackedLayout *stackLay = nullptr;
    QLabel *statusLab = nullptr;
    CSearchEditWidget *searchEdit = nullptr;
    QListView *devView = nullptr;
    QStandardItemModel *devModel = nullptr;
    CDeviceSearchModel *devProxy = nullptr;
    QListView *regView = nullptr;
    QStandardItemModel *regModel = nullptr;
    QString selectedType;
    QLineEdit *portLine = nullptr;
    QLineEdit *startLine = nullptr;
    QPushButton *portInd = nullptr;
    QPushButton *startInd = nullptr;
    QLineEdit *unitLine = nullptr;
    QPushButton *unitInd = nullptr;
    QGridLayout *typeLay = nullptr;
    QPushButton *refreshBtn = nullptr;
    QDialogButtonBox *btnBox = nullptr;
};
