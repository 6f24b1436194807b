#pragma once

#include <QIcon>
#include <QWidget>

// The brand logo; filled by initLogo() when the window starts.
extern QIcon QI_GLOB_LOGO;
void initLogo();

// The brand mark at the top of the side panel: the logo icon with the brand
// and company words beside it.
class CLogoWidget : public QWidget
{
    Q_OBJECT

public:
    explicit CLogoWidget(QWidget *parent = nullptr);

    QSize sizeHint() const override;

    static const QString brandText;
    static const QString companyText;

protected:
    void paintEvent(QPaintEvent *event) override;
};
