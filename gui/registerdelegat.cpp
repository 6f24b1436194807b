#include "gui/registerdelegat.h"

#include "app/constants.h"
#include "app/logfile.h"
#include "app/schema.h"
#include "devices/registervalue.h"
#include "gui/kitpainting.h"
#include "gui/palette.h"

#include <QDateTime>
#include <QDebug>
#include <QLocale>
#include <QPainter>

namespace {

constexpr int kRegisterColumns = DB::REG_COL_COUNT;
constexpr int kRegAddrColumn = DB::REG_COL_ADDR;
constexpr int kBitSizeColumn = DB::REG_COL_BIT_SIZE;
constexpr int kDataTypeColumn = DB::REG_COL_DATA_TYPE;
constexpr int kFullValueColumn = DB::REG_COL_FULL_VALUE;
constexpr int kTimeColumn = DB::REG_COL_TIME;
constexpr int kNameColumn = DB::REG_COL_NAME;
constexpr int kUnitColumn = DB::REG_COL_UNIT;
constexpr qreal kCornerRadius = 4;

} // namespace

const QString CRegisterDelegat::neverReceiving = RegisterValue::neverReceived();

CRegisterDelegat::CRegisterDelegat(QObject *parent)
    : QStyledItemDelegate(parent)
{
}

QString CRegisterDelegat::addressText(qint64 regAddr, qint64 bitSize)
{
    if (bitSize < 17)
        return QStringLiteral("ModBUS register[%1]").arg(regAddr);
    const qint64 count = (bitSize + 15) / 16;
    return QStringLiteral("ModBUS register[%1..%2]").arg(regAddr).arg(regAddr + count - 1);
}

QString CRegisterDelegat::timeText(const QVariant &msecsSinceEpoch)
{
    const qint64 msecs = msecsSinceEpoch.isNull() ? 0 : msecsSinceEpoch.toLongLong();
    if (msecs == 0)
        return neverReceiving;
    return QLocale::c().toString(QDateTime::fromMSecsSinceEpoch(msecs), QS_GLOB_DATETIME_FORMAT);
}

QString CRegisterDelegat::valueText(const QString &dataType, const QVariant &fullValue, int bitSize,
                                    const QString &unit, QString *logMessage)
{
    return RegisterValue::shownText(dataType, fullValue, bitSize, unit, logMessage);
}

QColor CRegisterDelegat::backgroundColor(int row, bool active)
{
    if (active)
        return QC_GLOB_BLACK6C_45;
    return row % 2 == 0 ? QC_GLOB_BLACK6C_10 : QC_GLOB_BLACK6C_25;
}

void CRegisterDelegat::paintBackground(QPainter *painter, const QStyleOptionViewItem &option, int row)
{
    painter->setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    painter->setPen(Qt::NoPen);
    const bool active = option.state & (QStyle::State_Selected | QStyle::State_MouseOver);
    painter->setBrush(backgroundColor(row, active));
    painter->drawRoundedRect(option.rect, kCornerRadius, kCornerRadius, Qt::AbsoluteSize);
}

void CRegisterDelegat::paint(QPainter *painter, const QStyleOptionViewItem &option,
                             const QModelIndex &index) const
{
    const QAbstractItemModel *model = index.model();
    if (!model || model->columnCount(index.parent()) != kRegisterColumns) {
        qDebug() << "[CRegisterDelegat::paint] ERROR: invalid input data size!";
        return;
    }
    const int row = index.row();
    auto cell = [&](int column) { return model->index(row, column, index.parent()).data(); };

    painter->save();
    paintBackground(painter, option, row);

    const QRect &r = option.rect;
    QFont font = painter->font();
    font.setWeight(QFont::Bold);

    font.setPixelSize(12);
    painter->setFont(font);
    painter->setPen(delegateTextPen(QCT_GLOB_BLUE1_D2));
    const QString name = cell(kNameColumn).toString();
    const int nameHeight = painter->fontMetrics().boundingRect(name).height();
    const QRect nameBox(QPoint(r.x() + 2, r.y() + 2), QPoint(r.right() - 2, r.y() + 2 + nameHeight - 1));
    painter->drawText(nameBox, Qt::AlignLeft, name);
    const int bitSize = cell(kBitSizeColumn).toInt();
    painter->drawText(nameBox, Qt::AlignRight, addressText(cell(kRegAddrColumn).toLongLong(), bitSize));

    const int lineTop = r.y() + nameHeight + 2;
    font.setPixelSize(9);
    painter->setFont(font);
    painter->setPen(delegateTextPen(QC_GLOB_LILAC1_D2));
    painter->drawText(QRect(QPoint(r.x() + 2, lineTop), QPoint(r.right() - 2, lineTop + 9 - 1)),
                      Qt::AlignLeft, timeText(cell(kTimeColumn)));

    QString logMessage;
    const QString value = valueText(cell(kDataTypeColumn).toString(), cell(kFullValueColumn), bitSize,
                                    cell(kUnitColumn).toString(), &logMessage);
    if (!logMessage.isEmpty())
        addLog(logMessage);
    font.setPixelSize(12);
    painter->setFont(font);
    painter->setPen(delegateTextPen(QC_GLOB_GREEN2_D1));
    painter->drawText(QRect(QPoint(r.x() + 2, lineTop), QPoint(r.right() - 2, lineTop + 16 - 1)),
                      Qt::AlignRight, value);

    painter->restore();
}

QSize CRegisterDelegat::sizeHint(const QStyleOptionViewItem &, const QModelIndex &) const
{
    return QSize(100, 40);
}
