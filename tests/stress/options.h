#ifndef TREL_STRESS_OPTIONS_H
#define TREL_STRESS_OPTIONS_H

#include <QHash>
#include <QString>
#include <QStringList>

// A mode's command line: positional arguments, "--name VALUE" options (repeatable) and
// "--flag" switches, the switches being named up front.
class Options {
public:
    Options(const QStringList& args, const QStringList& flags);

    bool ok() const { return m_error.isEmpty(); }
    const QString& error() const { return m_error; }
    const QStringList& positionals() const { return m_positionals; }
    bool has(const QString& name) const { return m_values.contains(name); }
    QString value(const QString& name, const QString& fallback = QString()) const;
    QStringList values(const QString& name) const;
    int number(const QString& name, int fallback) const;

private:
    QStringList m_positionals;
    QHash<QString, QStringList> m_values;
    QString m_error;
};

#endif
