#pragma once

#include <QStyledItemDelegate>

// Paints a register-map row (name, origin, address offset and scaling) in
// the device dialogs and edits the scaling of numeric registers in place.
class CSimpleRegisterDelegat : public QStyledItemDelegate
{
public:
    explicit CSimpleRegisterDelegat(QObject *parent = nullptr);

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                          const QModelIndex &index) const override;
    void setEditorData(QWidget *editor, const QModelIndex &index) const override;
    void setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const override;
    void updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                              const QModelIndex &index) const override;

    // The row's tooltip says that a double-click edits the scaling, which
    // nothing on the row shows otherwise.
    bool helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                   const QModelIndex &index) override;

    static QString originText(qint64 source);
    static bool isEditableType(const QString &dataType);
    static QString rowToolTip(const QString &dataType);
};
