#include "gui/searcheditwidget.h"

#include "gui/kitpainting.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>

namespace {

QPushButton *makeIconButton(const QString &iconPath, const QString &toolTip, QWidget *parent)
{
    auto *button = new QPushButton(QIcon(iconPath), QString(), parent);
    button->setObjectName(QStringLiteral("searchBtn"));
    button->setToolTip(toolTip);
    button->setIconSize(QSize(12, 12));
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}

} // namespace

CSearchEditWidget::CSearchEditWidget(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("CSearchEditWidget"));

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(4);

    m_searchBtn = makeIconButton(QStringLiteral(":/searchIco.png"), tr("Search"), this);
    m_clearBtn = makeIconButton(QStringLiteral(":/deleteIco.png"), tr("Clear"), this);
    m_edit = new QLineEdit(this);

    layout->addWidget(m_searchBtn);
    layout->addWidget(m_clearBtn);
    layout->addWidget(m_edit);

    connect(m_edit, &QLineEdit::textChanged, this, &CSearchEditWidget::textImmediatelyChanged);
    connect(m_searchBtn, &QPushButton::clicked, this, &CSearchEditWidget::textChangedSlot);
    connect(m_clearBtn, &QPushButton::clicked, this, &CSearchEditWidget::textClearSlot);

    // The line edit leaves Return/Enter unhandled, so they reach this widget.
    installEventFilter(this);
}

void CSearchEditWidget::setValidator(const QValidator *validator)
{
    m_edit->setValidator(validator);
}

QString CSearchEditWidget::text() const
{
    return m_edit->text();
}

void CSearchEditWidget::textChangedSlot()
{
    emit textChangedSignal(m_edit->text());
}

void CSearchEditWidget::textClearSlot()
{
    m_edit->clear();
    emit textChangedSignal(QString());
}

void CSearchEditWidget::setText(QString _text)
{
    m_edit->setText(_text);
}

bool CSearchEditWidget::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            emit textChangedSignal(m_edit->text());
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void CSearchEditWidget::paintEvent(QPaintEvent *)
{
    paintStyledBackground(this, true);
}
