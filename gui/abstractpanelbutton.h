#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QIcon>

class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLayout;
class QPropertyAnimation;
class QVBoxLayout;

// A collapsible section of the side panel: a head row (red marker strip when
// open, icon, title) that toggles a body holding the section's content.
class CAbstractPanelButton : public QAbstractButton
{
    Q_OBJECT
    Q_PROPERTY(int sPicAlign READ picAlign WRITE setPicAlign)
    Q_PROPERTY(QColor backColor READ backColor WRITE setBackColor)

public:
    enum EPicAlign { PIC_ALIGN_LEFT = 1, PIC_ALIGN_RIGHT = 2 };

    // fullView is accepted for the callers' sake; the title shows either way
    // until setFullView() is called.
    CAbstractPanelButton(QString title, QIcon icon, QWidget *parent = nullptr, bool fullView = false);

    int picAlign() const { return m_picAlign; }
    QColor backColor() const { return m_backColor; }

    QWidget *markerStrip() const { return m_marker; }
    QLabel *iconLabel() const { return m_icoLab; }
    QLabel *titleLabel() const { return m_titleLab; }
    QGroupBox *body() const { return m_body; }
    QHBoxLayout *headLayout() const { return m_headLayout; }
    QPropertyAnimation *colorAnimation() const { return m_animation; }

signals:
    void invalidDb();

public slots:
    void setBackColor(QColor _backColor);
    void setPicAlign(int sPicAlign);

private slots:
    void clickSlot(bool _click);

public slots:
    void setIcon(QIcon icon);
    void addWidget(QWidget *wdgt);
    void addLayout(QLayout *lay);
    void animationEvent(bool success);
    void animationEvent();
    void setFullView(bool fullView);

protected:
    void paintEvent(QPaintEvent *event) override;
    // Only the head row toggles the section; clicks on the body's free space
    // or its labels must not close it under the operator's hands.
    bool hitButton(const QPoint &pos) const override;

private:
    int m_picAlign = PIC_ALIGN_LEFT;
    QColor m_backColor;
    QPropertyAnimation *m_animation = nullptr;
    QVBoxLayout *m_mainLayout = nullptr;
    QHBoxLayout *m_headLayout = nullptr;
    QWidget *m_marker = nullptr;
    QLabel *m_icoLab = nullptr;
    QLabel *m_titleLab = nullptr;
    QGroupBox *m_body = nullptr;
    QVBoxLayout *m_bodyLayout = nullptr;
};
