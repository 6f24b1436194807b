#pragma once

#include <QWidget>

#include <cstdint>

class QLabel;
class QLineEdit;

// In-place editor of a numeric register's scaling: extra value, multiplier
// and units.
class CSimpleRegisterEditWidget : public QWidget
{
    Q_OBJECT

public:
    explicit CSimpleRegisterEditWidget(QWidget *parent = nullptr);

    QLineEdit *extraValueEdit() const { return m_extraValueEdit; }
    QLineEdit *multiplierEdit() const { return m_multiplierEdit; }
    QLineEdit *unitsEdit() const { return m_unitsEdit; }
    QLabel *nameLabel() const { return m_nameLab; }

public slots:
    void setData(QString name, int32_t _extraValue, uint32_t _multiplier, QString _units);
    // The signed 32-bit number typed; 0 when the text is not one.
    int32_t getExtraValue() const;
    // 0 when the text is not an unsigned number.
    uint32_t getMultiplier() const;
    QString getUnits() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QLabel *m_nameLab = nullptr;
    QLineEdit *m_extraValueEdit = nullptr;
    QLineEdit *m_multiplierEdit = nullptr;
    QLineEdit *m_unitsEdit = nullptr;
};
