#pragma once

#include <QSortFilterProxyModel>

// Keeps the device rows whose name (column 1) contains the search value,
// ignoring case; an empty value keeps every row.
class CDeviceSearchModel : public QSortFilterProxyModel
{
    Q_OBJECT

public:
    explicit CDeviceSearchModel(QObject *parent = nullptr);

    QString searchValue() const { return m_searchValue; }

public slots:
    void setSearchValue(QString str);

protected:
    bool filterAcceptsRow(int source_row, const QModelIndex &source_parent) const override;

private:
    QString m_searchValue;
};
