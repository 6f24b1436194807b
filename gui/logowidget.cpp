#include "gui/logowidget.h"

#include "gui/kitpainting.h"
#include "resources/resources.h"

#include <QDebug>
#include <QPainter>
#include <QStyleOptionButton>

#include <algorithm>

QIcon QI_GLOB_LOGO;

void initLogo()
{
    tidewellInitResources();
    QI_GLOB_LOGO = QIcon(QStringLiteral(":/orla_logo5_gradient.png"));
}

const QString CLogoWidget::brandText = QStringLiteral("ORLA");
const QString CLogoWidget::companyText = QStringLiteral("meridian");

CLogoWidget::CLogoWidget(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("CLogoWidget"));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize CLogoWidget::sizeHint() const
{
    return QSize(120, 42);
}

void CLogoWidget::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    QStyleOptionButton option;
    option.initFrom(this);
    paintStyledBackground(this, painter, option);

    const QList<QSize> sizes = QI_GLOB_LOGO.availableSizes();
    if (sizes.isEmpty()) {
        qDebug() << "[CLogoWidget::paintEvent] ERROR! Invalid ICO - nothing to be printed";
        return;
    }

    const QFontMetrics metrics(painter.font());
    const QRect brandRect = metrics.boundingRect(brandText);
    const QRect companyRect = metrics.boundingRect(companyText);

    const QSize largest = *std::max_element(sizes.cbegin(), sizes.cend(), [](const QSize &a, const QSize &b) {
        return a.width() * a.height() < b.width() * b.height();
    });
    const QPixmap pixmap
        = QI_GLOB_LOGO.pixmap(largest).scaledToHeight(std::max(1, height() - 5), Qt::SmoothTransformation);

    const int total = pixmap.width() + std::max(brandRect.width(), companyRect.width()) + 12;
    const int left = (width() - total) / 2;
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(left + 3, (height() - pixmap.height()) / 2, pixmap);

    painter.setPen(
        QPen(QBrush(palette().color(QPalette::Text)), 0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    const int textLeft = left + 6 + pixmap.width();
    painter.drawText(
        QRect(textLeft, height() / 2 - brandRect.height() + 3, brandRect.width() + 6, brandRect.height()),
        Qt::AlignLeft, brandText);
    painter.drawText(QRect(textLeft, height() / 2 - 3, companyRect.width() + 6, companyRect.height()),
                     Qt::AlignLeft, companyText);
}
