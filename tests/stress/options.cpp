#include "options.h"

Options::Options(const QStringList& args, const QStringList& flags) {
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        if (!arg.startsWith(QLatin1String("--"))) {
            m_positionals << arg;
            continue;
        }
        const QString name = arg.mid(2);
        if (flags.contains(name)) {
            m_values[name] << QStringLiteral("1");
        } else if (i + 1 < args.size()) {
            m_values[name] << args.at(++i);
        } else {
            m_error = QStringLiteral("%1 wants a value").arg(arg);
            return;
        }
    }
}

QString Options::value(const QString& name, const QString& fallback) const {
    const QStringList list = m_values.value(name);
    return list.isEmpty() ? fallback : list.last();
}

QStringList Options::values(const QString& name) const {
    return m_values.value(name);
}

int Options::number(const QString& name, int fallback) const {
    bool ok = false;
    const int n = value(name).toInt(&ok);
    return ok ? n : fallback;
}
