#include "gui/abstractpanelbutton.h"

#include "gui/kitpainting.h"
#include "gui/palette.h"

#include <QDebug>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPropertyAnimation>
#include <QStyleOptionButton>
#include <QVBoxLayout>

namespace {
const QString kStripOff = QStringLiteral("QWidget{background-color: rgba(0, 0, 0, 0%);}");
const QString kStripOn = QStringLiteral("QWidget{background-color: #f5494d;}");
constexpr int kFlashMs = 1000;
} // namespace

CAbstractPanelButton::CAbstractPanelButton(QString title, QIcon icon, QWidget *parent, bool fullView)
    : QAbstractButton(parent)
{
    Q_UNUSED(fullView)
    setCheckable(true);
    setChecked(false);

    m_mainLayout = new QVBoxLayout(this);
    m_mainLayout->setContentsMargins(0, 0, 0, 0);
    m_mainLayout->setSpacing(0);

    m_headLayout = new QHBoxLayout();
    m_headLayout->setContentsMargins(0, 0, 0, 0);
    m_headLayout->setSpacing(0);
    m_mainLayout->addLayout(m_headLayout);

    m_marker = new QWidget(this);
    m_marker->setFixedWidth(6);
    m_marker->setAttribute(Qt::WA_StyledBackground, true);
    m_marker->setStyleSheet(kStripOff);
    m_headLayout->addWidget(m_marker, 0, Qt::AlignLeft);

    m_icoLab = new QLabel(this);
    m_icoLab->setObjectName(QStringLiteral("icoLab"));
    if (!icon.isNull())
        m_icoLab->setPixmap(icon.pixmap(40, 40, QIcon::Normal, QIcon::Off));
    m_headLayout->addWidget(m_icoLab, 1, Qt::AlignCenter);

    m_titleLab = new QLabel(title, this);
    m_titleLab->setObjectName(QStringLiteral("titleLable"));
    m_titleLab->setAlignment(Qt::AlignCenter);
    m_headLayout->addWidget(m_titleLab, 3);

    m_body = new QGroupBox(this);
    m_body->setSizePolicy(QSizePolicy::MinimumExpanding, QSizePolicy::MinimumExpanding);
    m_bodyLayout = new QVBoxLayout(m_body);
    m_bodyLayout->setContentsMargins(0, 0, 0, 0);
    m_body->hide();
    m_mainLayout->addWidget(m_body);

    m_animation = new QPropertyAnimation(this, "backColor", this);
    // A flash ends by handing the background back to the style sheet, so
    // hover and open states show again.
    connect(m_animation, &QPropertyAnimation::finished, this, [this] { setStyleSheet(QString()); });

    connect(this, &QAbstractButton::toggled, this, &CAbstractPanelButton::clickSlot);
}

void CAbstractPanelButton::setBackColor(QColor _backColor)
{
    m_backColor = _backColor;
    setStyleSheet(QStringLiteral("CAbstractPanelButton { background-color: rgba(%1, %2, %3, %4);}")
                      .arg(_backColor.red())
                      .arg(_backColor.green())
                      .arg(_backColor.blue())
                      .arg(_backColor.alpha()));
}

void CAbstractPanelButton::setPicAlign(int sPicAlign)
{
    if (sPicAlign == m_picAlign)
        return;
    switch (sPicAlign) {
    case PIC_ALIGN_LEFT:
        m_picAlign = sPicAlign;
        m_headLayout->removeWidget(m_icoLab);
        m_headLayout->insertWidget(1, m_icoLab, 1, Qt::AlignCenter);
        break;
    case PIC_ALIGN_RIGHT:
        m_picAlign = sPicAlign;
        m_headLayout->removeWidget(m_icoLab);
        m_headLayout->addWidget(m_icoLab, 1, Qt::AlignCenter);
        break;
    default:
        qDebug() << "[CAbstractPanelButton::setPicAlign] Current alingn for ICO is not supported. Auto-apply "
                    "with Qt::AlignLeft";
        setPicAlign(PIC_ALIGN_LEFT);
        break;
    }
}

void CAbstractPanelButton::clickSlot(bool _click)
{
    m_body->setVisible(_click);
    m_marker->setStyleSheet(_click ? kStripOn : kStripOff);
}

void CAbstractPanelButton::setIcon(QIcon icon)
{
    m_icoLab->setPixmap(icon.pixmap(45, 45));
}

void CAbstractPanelButton::addWidget(QWidget *wdgt)
{
    if (wdgt)
        m_bodyLayout->addWidget(wdgt);
}

void CAbstractPanelButton::addLayout(QLayout *lay)
{
    if (lay)
        m_bodyLayout->addLayout(lay);
}

void CAbstractPanelButton::animationEvent(bool success)
{
    if (m_animation->state() == QAbstractAnimation::Running)
        m_animation->stop();
    m_animation->setDuration(kFlashMs);
    m_animation->setStartValue(success ? QC_GLOB_GREEN2_L2 : QC_GLOB_RED1_L2);
    qDebug() << m_backColor.name();
    m_animation->setEndValue(QC_GLOB_WHITE1_L1);
    m_animation->start();
}

void CAbstractPanelButton::animationEvent()
{
    animationEvent(true);
}

void CAbstractPanelButton::setFullView(bool fullView)
{
    m_titleLab->setVisible(fullView);
}

void CAbstractPanelButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    QStyleOptionButton option;
    option.initFrom(this);
    option.features |= QStyleOptionButton::Flat;
    if (isCheckable() && isChecked())
        option.state |= QStyle::State_On;
    if ((isCheckable() && isChecked()) || isDown())
        option.state |= QStyle::State_Sunken;
    paintStyledBackground(this, painter, option);
}

bool CAbstractPanelButton::hitButton(const QPoint &pos) const
{
    if (!m_body->isVisible())
        return rect().contains(pos);
    return pos.y() >= 0 && pos.y() < m_body->geometry().top() && rect().contains(pos);
}
