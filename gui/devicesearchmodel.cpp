#include "gui/devicesearchmodel.h"

namespace {
constexpr int kNameColumn = 1;
}

CDeviceSearchModel::CDeviceSearchModel(QObject *parent)
    : QSortFilterProxyModel(parent)
{
}

void CDeviceSearchModel::setSearchValue(QString str)
{
    m_searchValue = str;
    invalidateFilter();
}

bool CDeviceSearchModel::filterAcceptsRow(int source_row, const QModelIndex &source_parent) const
{
    if (m_searchValue.isEmpty())
        return true;
    const QModelIndex nameIndex = sourceModel()->index(source_row, kNameColumn, source_parent);
    return sourceModel()
        ->data(nameIndex, Qt::DisplayRole)
        .toString()
        .contains(m_searchValue, Qt::CaseInsensitive);
}
