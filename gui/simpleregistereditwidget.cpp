#include "gui/simpleregistereditwidget.h"

#include <QGridLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QStyleOption>

CSimpleRegisterEditWidget::CSimpleRegisterEditWidget(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("CSimpleRegisterEditWidget"));
    setStyleSheet(QStringLiteral("QWidget{background-color: #FFF;}"));

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 1, 2, 1);
    layout->setSpacing(4);

    auto *fields = new QGridLayout();
    fields->setContentsMargins(0, 0, 0, 0);
    fields->setHorizontalSpacing(2);
    fields->setVerticalSpacing(1);

    m_extraValueEdit = new QLineEdit(this);
    m_extraValueEdit->setValidator(new QIntValidator(m_extraValueEdit));
    m_multiplierEdit = new QLineEdit(this);
    m_multiplierEdit->setValidator(new QIntValidator(m_multiplierEdit));
    m_unitsEdit = new QLineEdit(this);

    const QList<QPair<QString, QLineEdit *>> rows = {
        { QStringLiteral("ExtraValue: "), m_extraValueEdit },
        { QStringLiteral("Multiplier: "), m_multiplierEdit },
        { QStringLiteral("Units: "), m_unitsEdit },
    };
    for (int i = 0; i < rows.size(); ++i) {
        fields->addWidget(new QLabel(rows.at(i).first, this), i, 0);
        fields->addWidget(rows.at(i).second, i, 1);
    }
    layout->addLayout(fields, 1);

    auto *info = new QVBoxLayout();
    info->setContentsMargins(0, 0, 0, 0);
    info->setSpacing(1);
    m_nameLab = new QLabel(this);
    m_nameLab->setStyleSheet(QStringLiteral("QLabel { color: #0c3342; font-weight: bold;}"));
    m_nameLab->setWordWrap(true);
    m_nameLab->setAlignment(Qt::AlignCenter);
    auto *hint = new QLabel(QStringLiteral("Value = RAW * Multiplier + ExtraValue"), this);
    hint->setAlignment(Qt::AlignCenter);
    hint->setWordWrap(true);
    info->addWidget(m_nameLab);
    info->addWidget(hint);
    layout->addLayout(info, 1);

    // The editor lives inside a 65 px row: a compact font keeps three edits
    // legible there. Set on every child, as style sheets stop font propagation.
    QFont compact = font();
    compact.setPixelSize(11);
    setFont(compact);
    const QList<QWidget *> children = findChildren<QWidget *>();
    for (QWidget *child : children)
        child->setFont(compact);
}

void CSimpleRegisterEditWidget::setData(QString name, int32_t _extraValue, uint32_t _multiplier,
                                        QString _units)
{
    m_nameLab->setText(name);
    m_extraValueEdit->setText(QString::number(_extraValue));
    m_multiplierEdit->setText(QString::number(_multiplier));
    m_unitsEdit->setText(_units);
}

int32_t CSimpleRegisterEditWidget::getExtraValue() const
{
    bool ok = false;
    const int value = m_extraValueEdit->text().trimmed().toInt(&ok, 10);
    return ok ? value : 0;
}

uint32_t CSimpleRegisterEditWidget::getMultiplier() const
{
    bool ok = false;
    const uint value = m_multiplierEdit->text().trimmed().toUInt(&ok, 10);
    return ok ? value : 0;
}

QString CSimpleRegisterEditWidget::getUnits() const
{
    return m_unitsEdit->text();
}

void CSimpleRegisterEditWidget::paintEvent(QPaintEvent *)
{
    QStyleOption option;
    option.initFrom(this);
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
}
