// Gallery of the operator interface's painted parts:
//   gallery <out.png>
// Runs on any Qt platform; scripts/gallery uses the offscreen one.

#include "app/constants.h"
#include "app/logfile.h"
#include "gui/abstractpanelbutton.h"
#include "gui/devicedelegat.h"
#include "gui/leftpanel.h"
#include "gui/logowidget.h"
#include "gui/palette.h"
#include "gui/registerdelegat.h"
#include "gui/searcheditwidget.h"
#include "gui/simpleregisterdelegat.h"
#include "resources/resources.h"

#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPainter>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTextStream>
#include <QVBoxLayout>

namespace {

QString loadStyleSheet()
{
    QFile file(QStringLiteral("://style/style.qss"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QString sheet = QString::fromUtf8(file.readAll());
    applyColorPalette(sheet);
    return sheet;
}

SDeviceType galleryType(const QString &appEui)
{
    static const QMap<QString, QPair<QString, QColor>> types = {
        { QStringLiteral("A1B2C3D400000001"), { QStringLiteral("TH-Sense 20"), QColor(0x3f, 0x92, 0xd2) } },
        { QStringLiteral("A1B2C3D400000002"), { QStringLiteral("Pulse Meter 3"), QColor(0xfb, 0x9f, 0x48) } },
        { QStringLiteral("A1B2C3D400000003"), { QStringLiteral("Label Beacon"), QColor(0xb2, 0x6c, 0xd6) } },
    };
    SDeviceType type;
    type.appEui = appEui;
    type.devType = types.value(appEui).first;
    type.color = types.value(appEui).second;
    return type;
}

QList<QStandardItem *> rowItems(const QVariantList &values)
{
    QList<QStandardItem *> items;
    for (const QVariant &v : values) {
        auto *item = new QStandardItem();
        if (!v.isNull())
            item->setData(v, Qt::EditRole);
        items << item;
    }
    return items;
}

QStandardItemModel *deviceModel(QObject *parent)
{
    auto *model = new QStandardItemModel(0, 6, parent);
    const QList<QVariantList> rows = {
        { 1, QStringLiteral("Boiler room"), QStringLiteral("A1B2C3D400000001"),
          QStringLiteral("70B3D57ED0001A01"), 1502, 0 },
        { 2, QStringLiteral("Cold store 2"), QStringLiteral("A1B2C3D400000001"),
          QStringLiteral("70B3D57ED0001A02"), 1502, 20 },
        { 3, QStringLiteral("Water meter hall"), QStringLiteral("A1B2C3D400000002"),
          QStringLiteral("70B3D57ED0002B11"), 1503, 0 },
        { 4, QStringLiteral("Gas meter yard"), QStringLiteral("A1B2C3D400000002"),
          QStringLiteral("70B3D57ED0002B12"), 1503, 40 },
        { 5, QStringLiteral("Dock beacon"), QStringLiteral("A1B2C3D400000003"),
          QStringLiteral("70B3D57ED0003C21"), 1504, 0 },
        { 6, QStringLiteral("Unknown sensor"), QStringLiteral("FFFF000000000000"),
          QStringLiteral("70B3D57ED0009999"), 1505, 0 },
    };
    for (const QVariantList &r : rows)
        model->appendRow(rowItems(r));
    return model;
}

// device, port, reg_addr, start_value, grating_period, bit_size, data_type,
// value, full_value, time, name, unit, parent, source
QStandardItemModel *registerModel(QObject *parent)
{
    auto *model = new QStandardItemModel(0, 14, parent);
    const qint64 t = QDateTime(QDate(2026, 12, 6), QTime(10, 42, 17)).toMSecsSinceEpoch();
    const QList<QVariantList> rows = {
        { 1, 1502, 40, 0, 1, 16, QS_TYPE_INTEGER, QStringLiteral("fffe"), QStringLiteral("fffe"), t,
          QStringLiteral("Temperature"), QStringLiteral("0.1 C"), QVariant(), 1 },
        { 1, 1502, 41, 0, 1, 16, QS_TYPE_UINTEGER, QStringLiteral("0037"), QStringLiteral("0037"), t,
          QStringLiteral("Humidity"), QStringLiteral("%"), QVariant(), 1 },
        { 1, 1502, 42, 0, 1, 32, QS_TYPE_INTEGER, QStringLiteral("0000"), QStringLiteral("00000102"), t,
          QStringLiteral("Battery"), QStringLiteral("mV"), QVariant(), 1 },
        { 1, 1502, 44, 0, 1, 64, QS_TYPE_UINTEGER, QStringLiteral("0000"), QStringLiteral("0000019a3c1d2e00"),
          t, QStringLiteral("Time stamp"), QString(), QVariant(), 0 },
        { 1, 1502, 48, 0, 1, 64, QS_TYPE_TEXT, QStringLiteral("70B3"), QStringLiteral("70B3D57E"), t,
          QStringLiteral("Gateway"), QString(), QVariant(), 0 },
        { 1, 1502, 52, 0, 1, 16, QS_TYPE_BOOLEAN, QVariant(), QVariant(), QVariant(),
          QStringLiteral("Door open"), QString(), QVariant(), 1 },
        { 1, 1502, 53, 0, 1, 16, QS_TYPE_INTEGER, QVariant(), QVariant(), QVariant(),
          QStringLiteral("Pressure"), QStringLiteral("hPa"), QVariant(), 1 },
    };
    for (const QVariantList &r : rows)
        model->appendRow(rowItems(r));
    return model;
}

QStandardItemModel *registerMapModel(QObject *parent)
{
    auto *model = new QStandardItemModel(0, 14, parent);
    const QList<QVariantList> rows = {
        { QVariant(), QVariant(), 0, -40, 10, 16, QS_TYPE_INTEGER, QVariant(), QVariant(), QVariant(),
          QStringLiteral("Temperature"), QStringLiteral("C"), QVariant(), 1 },
        { QVariant(), QVariant(), 1, 0, 1, 16, QS_TYPE_UINTEGER, QVariant(), QVariant(), QVariant(),
          QStringLiteral("Humidity"), QStringLiteral("%"), QVariant(), 1 },
        { QVariant(), QVariant(), 4, 0, 1, 64, QS_TYPE_TEXT, QVariant(), QVariant(), QVariant(),
          QStringLiteral("Gateway"), QString(), QVariant(), 0 },
    };
    for (const QVariantList &r : rows)
        model->appendRow(rowItems(r));
    return model;
}

// One delegate row painted in each interaction state, side by side.
QLabel *stateStrip(QAbstractItemDelegate *delegate, QAbstractItemModel *model, int row, int width, int height,
                   QWidget *parent)
{
    const QList<QPair<QString, QStyle::State>> states = {
        { QStringLiteral("normal"), QStyle::State_Enabled },
        { QStringLiteral("hover"), QStyle::State_Enabled | QStyle::State_MouseOver },
        { QStringLiteral("selected"), QStyle::State_Enabled | QStyle::State_Selected },
    };
    QPixmap pixmap(states.size() * (width + 8), height + 14);
    pixmap.fill(Qt::white);
    QPainter painter(&pixmap);
    QFont captionFont = parent->font();
    captionFont.setPixelSize(11);
    for (int i = 0; i < states.size(); ++i) {
        QStyleOptionViewItem option;
        option.rect = QRect(i * (width + 8), 14, width, height);
        option.state = states.at(i).second;
        option.font = parent->font();
        painter.setPen(QC_GLOB_BLACK6C_65);
        painter.setFont(captionFont);
        painter.drawText(QRect(i * (width + 8), 0, width, 14), Qt::AlignLeft | Qt::AlignVCenter,
                         states.at(i).first);
        painter.setFont(option.font);
        delegate->paint(&painter, option, model->index(row, 0));
    }
    auto *label = new QLabel(parent);
    label->setPixmap(pixmap);
    return label;
}

QLabel *caption(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QStringLiteral("title1Lab"));
    return label;
}

QPushButton *iconButton(const QString &icon, const QString &objectName, int side, QWidget *parent)
{
    auto *button = new QPushButton(QIcon(icon), QString(), parent);
    button->setObjectName(objectName);
    button->setFixedSize(side, side);
    button->setIconSize(QSize(side * 3 / 5, side * 3 / 5));
    return button;
}

QWidget *buildLeftColumn(QWidget *parent)
{
    auto *column = new QWidget(parent);
    auto *layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto *logo = new CLogoWidget(column);
    logo->setFixedSize(200, 45);
    layout->addWidget(logo);

    auto *panel = new CLeftPanel(column);
    panel->setFixedWidth(200);

    auto *server = new CAbstractPanelButton(QStringLiteral("Server authorization"),
                                            QIcon(QStringLiteral(":/connectionGoodIco.png")), panel, false);
    server->setPicAlign(2);
    auto *body = new QVBoxLayout();
    body->setContentsMargins(0, 0, 0, 0);
    body->setSpacing(5);
    auto *addressRow = new QHBoxLayout();
    addressRow->setSpacing(0);
    auto *scheme = new QComboBox(server);
    scheme->addItems({ QStringLiteral("ws"), QStringLiteral("wss") });
    auto *address = new QLineEdit(QStringLiteral("192.168.1.20"), server);
    address->setFixedWidth(90);
    auto *port = new QLineEdit(QStringLiteral("8002"), server);
    port->setFixedWidth(35);
    addressRow->addWidget(scheme);
    addressRow->addWidget(new QLabel(QStringLiteral("://"), server));
    addressRow->addWidget(address);
    addressRow->addWidget(new QLabel(QStringLiteral(":"), server));
    addressRow->addWidget(port);
    body->addLayout(addressRow);
    for (const auto &pair : { qMakePair(QStringLiteral("Login:"), QStringLiteral("operator")),
                              qMakePair(QStringLiteral("Password:"), QStringLiteral("secret")) }) {
        auto *row = new QHBoxLayout();
        row->setSpacing(0);
        row->addWidget(new QLabel(pair.first, server));
        auto *edit = new QLineEdit(pair.second, server);
        if (pair.first.startsWith(QLatin1String("Pass")))
            edit->setEchoMode(QLineEdit::Password);
        row->addWidget(edit);
        body->addLayout(row);
    }
    body->addWidget(new QLabel(QStringLiteral("SUCCESS"), server));
    auto *connectBtn = new QPushButton(QStringLiteral("Connect"), server);
    connectBtn->setObjectName(QStringLiteral("blueBtn"));
    connectBtn->setFixedSize(75, 25);
    body->addWidget(connectBtn, 0, Qt::AlignCenter);
    server->addLayout(body);
    server->setChecked(true);
    panel->addWidget(server);

    auto *closed = new CAbstractPanelButton(QStringLiteral("Link lost"),
                                            QIcon(QStringLiteral(":/connectionFailIco.png")), panel, false);
    closed->setPicAlign(2);
    panel->addWidget(closed);
    auto *plain = new CAbstractPanelButton(QStringLiteral("Left icon"),
                                           QIcon(QStringLiteral(":/tidewell.png")), panel, false);
    panel->addWidget(plain);
    panel->addStretch();
    layout->addWidget(panel, 1);
    return column;
}

QWidget *buildMiddleColumn(QWidget *parent)
{
    auto *column = new QWidget(parent);
    auto *layout = new QVBoxLayout(column);
    layout->setContentsMargins(5, 5, 5, 5);
    layout->setSpacing(5);

    auto *search = new CSearchEditWidget(column);
    search->setText(QStringLiteral("meter"));
    layout->addWidget(search);

    auto *devices = deviceModel(column);
    auto *list = new QListView(column);
    auto *delegate = new CDeviceDelegat(galleryType, list);
    list->setItemDelegate(delegate);
    list->setModel(devices);
    list->setSpacing(1);
    list->setCurrentIndex(devices->index(2, 0));
    list->setFixedHeight(6 * 32 + 6);
    layout->addWidget(list);

    layout->addWidget(stateStrip(delegate, devices, 0, 190, 30, column));
    layout->addWidget(stateStrip(delegate, devices, 5, 190, 30, column));

    auto *buttons = new QHBoxLayout();
    buttons->setSpacing(5);
    buttons->addWidget(iconButton(QStringLiteral(":/addIco.png"), QStringLiteral("greenBtn"), 40, column));
    buttons->addWidget(iconButton(QStringLiteral(":/editIco.png"), QStringLiteral("greenBtn"), 40, column));
    buttons->addWidget(iconButton(QStringLiteral(":/delete2Ico.png"), QStringLiteral("redBtn"), 40, column));
    buttons->addWidget(
        iconButton(QStringLiteral(":/refresh2Ico.png"), QStringLiteral("blueBtn"), 30, column));
    auto *ok = new QPushButton(QStringLiteral("OK"), column);
    ok->setObjectName(QStringLiteral("greenBtn"));
    ok->setFixedSize(60, 30);
    auto *cancel = new QPushButton(QStringLiteral("Cancel"), column);
    cancel->setObjectName(QStringLiteral("orangeBtn"));
    cancel->setFixedSize(60, 30);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    buttons->addStretch(10);
    layout->addLayout(buttons);
    layout->addStretch(1);
    return column;
}

QWidget *buildRightColumn(QWidget *parent)
{
    auto *column = new QWidget(parent);
    auto *layout = new QVBoxLayout(column);
    layout->setContentsMargins(5, 5, 5, 5);
    layout->setSpacing(4);

    auto *title = caption(QStringLiteral("Device:70B3D57ED0001A01 [TH-Sense 20]"), column);
    layout->addWidget(title, 0, Qt::AlignHCenter);

    auto *registers = registerModel(column);
    auto *list = new QListView(column);
    list->setItemDelegate(new CRegisterDelegat(list));
    list->setModel(registers);
    list->setSpacing(1);
    list->setCurrentIndex(registers->index(1, 0));
    list->setFixedHeight(registers->rowCount() * 42 + 4);
    layout->addWidget(list);

    auto *group = new QGroupBox(QStringLiteral("Device's registers"), column);
    auto *groupLayout = new QVBoxLayout(group);
    auto *map = registerMapModel(group);
    auto *mapList = new QListView(group);
    auto *mapDelegate = new CSimpleRegisterDelegat(mapList);
    mapList->setItemDelegate(mapDelegate);
    mapList->setModel(map);
    mapList->setSpacing(1);
    mapList->setFixedHeight(map->rowCount() * 67 + 8);
    mapList->openPersistentEditor(map->index(1, 0));
    groupLayout->addWidget(mapList);
    layout->addWidget(group);
    layout->addStretch(1);
    return column;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc < 2) {
        QTextStream(stderr) << "usage: gallery <out.png>\n";
        return 2;
    }
    const QString out = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
    // Register rows of unsupported types write to the application log; keep
    // that log out of the caller's folder.
    QTemporaryDir logDir;
    if (logDir.isValid() && QDir::setCurrent(logDir.path()))
        CLogFile::getInstance(QStringLiteral("history.log"));

    tidewellInitResources();
    app.setStyleSheet(loadStyleSheet());

    QWidget window;
    window.setObjectName(QStringLiteral("MainWidget"));
    window.setAttribute(Qt::WA_StyledBackground, true);
    window.setStyleSheet(QStringLiteral("QWidget#MainWidget { background-color: #FFF; }"));
    auto *layout = new QHBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(buildLeftColumn(&window), 0);
    layout->addWidget(buildMiddleColumn(&window), 2);
    layout->addWidget(buildRightColumn(&window), 3);
    window.show();
    window.adjustSize();
    app.processEvents();

    if (!window.grab().save(out)) {
        QTextStream(stderr) << "cannot write " << out << '\n';
        return 1;
    }
    QTextStream(stdout) << out << '\n';
    return 0;
}
