#pragma once

#include <QWidget>

class QLayout;
class QVBoxLayout;

// The dark side panel: a vertical stack of panel buttons whose items can be
// expanded to take the free height.
class CLeftPanel : public QWidget
{
    Q_OBJECT

public:
    explicit CLeftPanel(QWidget *parent = nullptr);

    void addWidget(QWidget *wdgt, int stretch = 0, Qt::Alignment alignment = Qt::Alignment());
    void addLayout(QLayout *lay, int stretch = 0);
    void addStretch();

public slots:
    // Without an argument the sender is expanded.
    void expandWidget(QWidget *wdgt = nullptr);
    void unexpandAll();

signals:
    void updateListSignal();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QVBoxLayout *m_layout = nullptr;
};
