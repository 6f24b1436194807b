#include "gui/simpleregisterdelegat.h"

#include "app/constants.h"
#include "app/schema.h"
#include "gui/kitpainting.h"
#include "gui/palette.h"
#include "gui/registerdelegat.h"
#include "gui/simpleregistereditwidget.h"

#include <QAbstractItemView>
#include <QDebug>
#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

namespace {

constexpr int kRegisterColumns = DB::REG_COL_COUNT;
constexpr int kRegAddrColumn = DB::REG_COL_ADDR;
constexpr int kStartValueColumn = DB::REG_COL_START_VALUE;
constexpr int kGratingColumn = DB::REG_COL_GRATING_PERIOD;
constexpr int kDataTypeColumn = DB::REG_COL_DATA_TYPE;
constexpr int kNameColumn = DB::REG_COL_NAME;
constexpr int kUnitColumn = DB::REG_COL_UNIT;
constexpr int kSourceColumn = DB::REG_COL_SOURCE;
constexpr qreal kCornerRadius = 4;

quint32 asUnsigned32(const QVariant &value)
{
    return static_cast<quint32>(value.toLongLong());
}

// The extra value is a signed 32-bit number; a store that holds it in its
// unsigned form (4294967256) still shows it as typed (-40).
qint32 asSigned32(const QVariant &value)
{
    return static_cast<qint32>(static_cast<quint32>(value.toLongLong()));
}

} // namespace

CSimpleRegisterDelegat::CSimpleRegisterDelegat(QObject *parent)
    : QStyledItemDelegate(parent)
{
}

QString CSimpleRegisterDelegat::originText(qint64 source)
{
    return source != 0 ? QStringLiteral("DEVICE") : QStringLiteral("SERVER");
}

QString CSimpleRegisterDelegat::rowToolTip(const QString &dataType)
{
    return isEditableType(dataType)
        ? QStringLiteral("Double-click to edit the scaling: ExtraValue, Multiplier and Units")
        : QStringLiteral("Served as received: values of this type have no scaling");
}

bool CSimpleRegisterDelegat::helpEvent(QHelpEvent *event, QAbstractItemView *view,
                                       const QStyleOptionViewItem &option, const QModelIndex &index)
{
    if (!event || event->type() != QEvent::ToolTip || !index.isValid())
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    QToolTip::showText(event->globalPos(),
                       rowToolTip(index.sibling(index.row(), kDataTypeColumn).data().toString()), view);
    return true;
}

bool CSimpleRegisterDelegat::isEditableType(const QString &dataType)
{
    return dataType == QS_TYPE_INTEGER || dataType == QS_TYPE_UINTEGER || dataType == QS_TYPE_FLOAT;
}

void CSimpleRegisterDelegat::paint(QPainter *painter, const QStyleOptionViewItem &option,
                                   const QModelIndex &index) const
{
    const QAbstractItemModel *model = index.model();
    if (!model || model->columnCount(index.parent()) < kRegisterColumns) {
        qDebug() << "[CSimpleRegisterDelegat::paint] ERROR: invalid input data size!";
        return;
    }
    const int row = index.row();
    auto cell = [&](int column) { return model->index(row, column, index.parent()).data(); };

    painter->save();
    CRegisterDelegat::paintBackground(painter, option, row);

    const QRect &r = option.rect;
    const int x = r.x();
    const int y = r.y();
    const int w = r.width();
    QFont big = painter->font();
    big.setWeight(QFont::Bold);
    big.setPixelSize(12);
    QFont small = big;
    small.setPixelSize(9);
    const QFontMetrics bigMetrics(big, painter->device());
    const QFontMetrics smallMetrics(small, painter->device());

    // Name.
    painter->setFont(big);
    painter->setPen(delegateTextPen(QCT_GLOB_BLUE1_D2));
    const QString name = cell(kNameColumn).toString();
    painter->drawText(QRect(QPoint(x + 2, y + 2),
                            QPoint(r.right() - 2, y + 2 + bigMetrics.boundingRect(name).height() - 1)),
                      Qt::AlignLeft, name);

    // Origin badge.
    const QRect badge(r.right() - 51, y + 2, 50, 13);
    painter->setPen(delegateTextPen(QC_GLOB_GREEN1_D2, 1));
    painter->setBrush(QC_GLOB_GREEN1_D2);
    painter->drawRoundedRect(badge, kCornerRadius, kCornerRadius, Qt::AbsoluteSize);
    painter->setFont(small);
    painter->setPen(delegateTextPen(QC_GLOB_WHITE1));
    painter->drawText(badge, Qt::AlignCenter, originText(cell(kSourceColumn).toLongLong()));

    // Address offset with its label in front.
    const QString address = QString::number(cell(kRegAddrColumn).toLongLong());
    const int addressLeft = x + w - 62 - bigMetrics.boundingRect(address).width();
    painter->setFont(big);
    painter->setPen(delegateTextPen(QCT_GLOB_BLUE1_D2));
    painter->drawText(QRect(addressLeft, y + 2, w / 2, 13), Qt::AlignLeft | Qt::AlignVCenter, address);
    const QString biasLabel = QStringLiteral("Register map bias: ");
    const int labelWidth = smallMetrics.horizontalAdvance(biasLabel);
    painter->setFont(small);
    painter->setPen(delegateTextPen(QC_GLOB_LILAC1_D2));
    painter->drawText(QRect(addressLeft - labelWidth, y + 2, labelWidth, 13),
                      Qt::AlignLeft | Qt::AlignVCenter, biasLabel);

    painter->setPen(delegateTextPen(QC_GLOB_GREEN2_D1, 3));
    painter->drawLine(QPoint(x + 20, y + 19), QPoint(r.right() - 19, y + 19));

    // Scaling parameters.
    const QString dataType = cell(kDataTypeColumn).toString();
    const bool numeric = isEditableType(dataType);
    const QString unsupported = QStringLiteral("UNSUPPORT");
    const QList<QPair<QString, QString>> params = {
        { QStringLiteral("ExtraValue: "),
          numeric ? QString::number(asSigned32(cell(kStartValueColumn))) : unsupported },
        { QStringLiteral("Multiplier: "),
          numeric ? QString::number(asUnsigned32(cell(kGratingColumn))) : unsupported },
        { QStringLiteral("Units: "), numeric ? cell(kUnitColumn).toString() : unsupported },
    };
    for (int i = 0; i < params.size(); ++i) {
        const int top = y + 23 + i * 14;
        const int labelW = smallMetrics.horizontalAdvance(params.at(i).first);
        painter->setFont(small);
        painter->setPen(delegateTextPen(QC_GLOB_LILAC1_D2));
        painter->drawText(QRect(x + 2, top, w / 2, 12), Qt::AlignLeft | Qt::AlignVCenter, params.at(i).first);
        painter->setFont(big);
        painter->setPen(delegateTextPen(QCT_GLOB_BLUE1_D2));
        painter->drawText(QRect(x + labelW + 2, top, w / 2, 12), Qt::AlignLeft | Qt::AlignVCenter,
                          params.at(i).second);
    }

    painter->setFont(big);
    painter->setPen(delegateTextPen(QCT_GLOB_BLUE1_D2));
    painter->drawText(QRect(QPoint(x + 2 + w / 2, y + 23), QPoint(r.right(), r.bottom() - 2)),
                      Qt::AlignCenter,
                      numeric ? QStringLiteral("Value =\nRAW * Multiplier + ExtraValue")
                              : QStringLiteral("Parameter is\nTEXT value!"));

    painter->restore();
}

QSize CSimpleRegisterDelegat::sizeHint(const QStyleOptionViewItem &, const QModelIndex &) const
{
    return QSize(200, 65);
}

QWidget *CSimpleRegisterDelegat::createEditor(QWidget *parent, const QStyleOptionViewItem &,
                                              const QModelIndex &index) const
{
    const QModelIndex typeIndex = index.sibling(index.row(), kDataTypeColumn);
    if (!isEditableType(typeIndex.data().toString()))
        return nullptr;
    return new CSimpleRegisterEditWidget(parent);
}

void CSimpleRegisterDelegat::setEditorData(QWidget *editor, const QModelIndex &index) const
{
    auto *widget = qobject_cast<CSimpleRegisterEditWidget *>(editor);
    if (!widget)
        return;
    auto cell = [&](int column) { return index.sibling(index.row(), column).data(); };
    widget->setData(cell(kNameColumn).toString(), asSigned32(cell(kStartValueColumn)),
                    asUnsigned32(cell(kGratingColumn)), cell(kUnitColumn).toString());
}

void CSimpleRegisterDelegat::setModelData(QWidget *editor, QAbstractItemModel *model,
                                          const QModelIndex &index) const
{
    auto *widget = qobject_cast<CSimpleRegisterEditWidget *>(editor);
    if (!widget)
        return;
    const int row = index.row();
    const QModelIndex parent = index.parent();
    model->setData(model->index(row, kStartValueColumn, parent), widget->getExtraValue(), Qt::EditRole);
    const uint32_t multiplier = widget->getMultiplier();
    model->setData(model->index(row, kGratingColumn, parent), multiplier == 0 ? 1u : multiplier,
                   Qt::EditRole);
    model->setData(model->index(row, kUnitColumn, parent), widget->getUnits(), Qt::EditRole);
}

void CSimpleRegisterDelegat::updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                                                  const QModelIndex &) const
{
    editor->setGeometry(option.rect);
}
