#pragma once

#include <QStyledItemDelegate>

// Paints a live register row of the dev_data table: name, Modbus address or
// range, time of the last update and the decoded value with its unit.
class CRegisterDelegat : public QStyledItemDelegate
{
public:
    explicit CRegisterDelegat(QObject *parent = nullptr);

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

    static const QString neverReceiving;

    // The texts of a row, kept apart from painting so they can be checked.
    static QString addressText(qint64 regAddr, qint64 bitSize);
    static QString timeText(const QVariant &msecsSinceEpoch);
    // logMessage, when given, receives the application-log message the value
    // calls for (unsupported or unknown type), or stays empty.
    static QString valueText(const QString &dataType, const QVariant &fullValue, int bitSize,
                             const QString &unit, QString *logMessage = nullptr);
    static QColor backgroundColor(int row, bool active);
    // The rounded row card shared with the register-map delegate.
    static void paintBackground(QPainter *painter, const QStyleOptionViewItem &option, int row);
};
