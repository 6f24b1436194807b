#include "gui/devicedelegat.h"

#include "app/schema.h"
#include "gui/palette.h"

#include <QAbstractItemModel>
#include <QDebug>
#include <QMap>
#include <QPainter>

namespace {

constexpr int kDeviceColumns = DB::DEV_COL_COUNT;
// The device listing's column after the stored ones: the Modbus unit id.
constexpr int kUnitIdColumn = DB::DEV_LIST_COL_UNIT_ID;
constexpr int kNameColumn = DB::DEV_COL_NAME;
constexpr int kAppEuiColumn = DB::DEV_COL_APP_EUI;
constexpr int kDevEuiColumn = DB::DEV_COL_DEV_EUI;
constexpr qreal kCornerRadius = 4;
constexpr qreal kDarkerBy = 1.3;
constexpr int kOddRowAlpha = 200;

QPen textPen(const QColor &color)
{
    return QPen(QBrush(color), 0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);
}

} // namespace

CDeviceDelegat::CDeviceDelegat(TypeLookup lookup, QObject *parent)
    : QStyledItemDelegate(parent)
    , m_lookup(std::move(lookup))
{
}

QColor CDeviceDelegat::cardColor(const QColor &typeColor, int row, bool active)
{
    const QColor base = typeColor.isValid() ? typeColor : QC_GLOB_BLACK6C_25;
    if (active) {
        return QColor(static_cast<int>(base.red() / kDarkerBy), static_cast<int>(base.green() / kDarkerBy),
                      static_cast<int>(base.blue() / kDarkerBy), 255);
    }
    if (row % 2 != 0)
        return QColor(base.red(), base.green(), base.blue(), kOddRowAlpha);
    return base;
}

SDeviceType CDeviceDelegat::typeInfo(const QString &appEui) const
{
    auto it = m_cache.find(appEui);
    if (it == m_cache.end())
        it = m_cache.insert(appEui, m_lookup ? m_lookup(appEui) : SDeviceType());
    return it.value();
}

void CDeviceDelegat::paint(QPainter *painter, const QStyleOptionViewItem &option,
                           const QModelIndex &index) const
{
    const QAbstractItemModel *model = index.model();
    const int columns = model ? model->columnCount(index.parent()) : 0;
    if (columns != kDeviceColumns && columns != kUnitIdColumn + 1) {
        qDebug() << "[CDeviceDelegat::paintAllRow] ERROR: invalid input data size!";
        return;
    }

    painter->save();
    painter->setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    painter->setPen(Qt::NoPen);

    const int row = index.row();
    const SDeviceType info = typeInfo(model->index(row, kAppEuiColumn, index.parent()).data().toString());

    const bool active = option.state & (QStyle::State_Selected | QStyle::State_MouseOver);
    painter->setBrush(QBrush(cardColor(info.color, row, active), Qt::SolidPattern));
    painter->drawRoundedRect(option.rect, kCornerRadius, kCornerRadius, Qt::AbsoluteSize);

    const QRect &r = option.rect;

    QFont font = painter->font();
    font.setPixelSize(12);
    font.setWeight(QFont::Bold);
    painter->setFont(font);
    painter->setPen(textPen(QCT_GLOB_BLUE1_D2));
    const QString name = model->index(row, kNameColumn, index.parent()).data().toString();
    const int nameHeight = painter->fontMetrics().boundingRect(name).height();
    painter->drawText(QRect(r.x() + 2, r.y() + 2, r.width() - 4, nameHeight), Qt::AlignLeft, name);

    font.setPixelSize(9);
    painter->setFont(font);
    painter->setPen(textPen(QC_GLOB_LILAC1_D2));
    const int top = r.y() + nameHeight + 2;
    const QString devEui = model->index(row, kDevEuiColumn, index.parent()).data().toString();
    const QVariant unit
        = columns > kUnitIdColumn ? model->index(row, kUnitIdColumn, index.parent()).data() : QVariant();
    const QString place
        = unit.isNull() || unit.toInt() == 0 ? devEui : tr("%1  unit %2").arg(devEui).arg(unit.toInt());
    const QFontMetrics small = painter->fontMetrics();
    painter->drawText(QRect(r.x() + 2, top, r.width() - 4, small.boundingRect(place).height()), Qt::AlignLeft,
                      place);
    painter->drawText(QRect(r.x() + 2, top, r.width() - 4, small.boundingRect(info.devType).height()),
                      Qt::AlignRight, info.devType);
    const QString state
        = m_state ? m_state(model->index(row, 0, index.parent()).data().toUInt(), devEui) : QString();
    if (!state.isEmpty()) {
        painter->setPen(textPen(QC_GLOB_RED1_D2));
        painter->drawText(QRect(r.x() + 2, r.y() + 2, r.width() - 4, small.boundingRect(state).height()),
                          Qt::AlignRight, state);
    }

    painter->restore();
}

QSize CDeviceDelegat::sizeHint(const QStyleOptionViewItem &, const QModelIndex &) const
{
    return QSize(100, 30);
}
