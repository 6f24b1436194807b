#pragma once

// What the server address and port fields accept: host names, IPv4 dotted
// quads and IPv6 literals, and ports 1..65535. Anything made of the allowed
// characters that is not complete yet is Intermediate, so editing in the
// middle of a text is never refused.

#include <QValidator>

namespace ServerAddress {

// An IPv6 literal is acceptable in brackets, as it stands in the server URL;
// typed bare it is Intermediate and fixupHost() adds them.
QValidator::State hostState(const QString &text);
QString fixupHost(const QString &text);
QValidator::State portState(const QString &text);

} // namespace ServerAddress

class CHostValidator : public QValidator
{
    Q_OBJECT

public:
    explicit CHostValidator(QObject *parent = nullptr);
    State validate(QString &input, int &pos) const override;
    void fixup(QString &input) const override;
};

class CPortValidator : public QValidator
{
    Q_OBJECT

public:
    explicit CPortValidator(QObject *parent = nullptr);
    State validate(QString &input, int &pos) const override;
};
