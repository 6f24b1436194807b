#pragma once

#include <QWidget>

class QLineEdit;
class QPushButton;
class QValidator;

// Search box: search and clear buttons beside a line edit. Typing only
// reports the text; a search is requested by the search button, by Return or
// Enter, or by clearing.
class CSearchEditWidget : public QWidget
{
    Q_OBJECT

public:
    explicit CSearchEditWidget(QWidget *parent = nullptr);

    void setValidator(const QValidator *validator);
    QString text() const;

    QLineEdit *lineEdit() const { return m_edit; }
    QPushButton *searchButton() const { return m_searchBtn; }
    QPushButton *clearButton() const { return m_clearBtn; }

signals:
    void textImmediatelyChanged(QString _text);
    void textChangedSignal(QString _text);

public slots:
    void textChangedSlot();
    void textClearSlot();
    void setText(QString _text = QString());

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    QLineEdit *m_edit = nullptr;
    QPushButton *m_searchBtn = nullptr;
    QPushButton *m_clearBtn = nullptr;
};
