#include "gui/leftpanel.h"

#include "gui/kitpainting.h"

#include <QVBoxLayout>

namespace {
constexpr int kExpandedStretch = 50;
}

CLeftPanel::CLeftPanel(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("CLeftPanel"));
    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(0);
}

void CLeftPanel::addWidget(QWidget *wdgt, int stretch, Qt::Alignment alignment)
{
    if (wdgt)
        m_layout->addWidget(wdgt, stretch, alignment);
}

void CLeftPanel::addLayout(QLayout *lay, int stretch)
{
    if (lay)
        m_layout->addLayout(lay, stretch);
}

void CLeftPanel::addStretch()
{
    m_layout->addStretch(0);
}

void CLeftPanel::expandWidget(QWidget *wdgt)
{
    if (!wdgt)
        wdgt = qobject_cast<QWidget *>(sender());
    if (wdgt)
        m_layout->setStretchFactor(wdgt, kExpandedStretch);
    update();
}

void CLeftPanel::unexpandAll()
{
    for (int i = 0; i < m_layout->count(); ++i)
        m_layout->setStretch(i, 0);
    update();
}

void CLeftPanel::paintEvent(QPaintEvent *event)
{
    paintStyledBackground(this, false);
    QWidget::paintEvent(event);
}
