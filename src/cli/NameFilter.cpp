#include "cli/NameFilter.h"

#include <algorithm>

namespace kestrune::cli {

namespace {

// One character for a bracket set of a regular expression.
QString setCharacter(QChar c)
{
    if (c == QLatin1Char('\\') || c == QLatin1Char(']') || c == QLatin1Char('[')
        || c == QLatin1Char('^') || c == QLatin1Char('-'))
        return QStringLiteral("\\") + c;
    return QString(c);
}

} // namespace

QRegularExpression globExpression(const QString &glob, QString *why)
{
    const auto invalid = [why](const QString &reason) {
        if (why)
            *why = reason;
        return QRegularExpression(QStringLiteral("("));
    };
    QString pattern = QStringLiteral("\\A(?:");
    const qsizetype n = glob.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = glob.at(i);
        if (c == QLatin1Char('*')) {
            pattern += QLatin1String(".*");
        } else if (c == QLatin1Char('?')) {
            pattern += QLatin1Char('.');
        } else if (c == QLatin1Char('\\')) {
            if (i + 1 == n)
                return invalid(QStringLiteral("\"\\\" at the end"));
            pattern += QRegularExpression::escape(QString(glob.at(++i)));
        } else if (c == QLatin1Char('[')) {
            qsizetype j = i + 1;
            bool negated = false;
            if (j < n && (glob.at(j) == QLatin1Char('!') || glob.at(j) == QLatin1Char('^'))) {
                negated = true;
                ++j;
            }
            QString set;
            bool first = true;
            bool closed = false;
            while (j < n) {
                QChar from = glob.at(j);
                // A "]" first in the set is one of its characters.
                if (from == QLatin1Char(']') && !first) {
                    closed = true;
                    break;
                }
                first = false;
                if (from == QLatin1Char('\\')) {
                    if (++j == n)
                        break;
                    from = glob.at(j);
                }
                ++j;
                if (j + 1 < n && glob.at(j) == QLatin1Char('-')
                    && glob.at(j + 1) != QLatin1Char(']')) {
                    qsizetype k = j + 1;
                    if (glob.at(k) == QLatin1Char('\\')) {
                        if (++k == n)
                            break;
                    }
                    const QChar to = glob.at(k);
                    if (to < from)
                        return invalid(
                            QStringLiteral("the range \"%1-%2\" runs backwards").arg(from).arg(to));
                    set += setCharacter(from) + QLatin1Char('-') + setCharacter(to);
                    j = k + 1;
                } else {
                    set += setCharacter(from);
                }
            }
            if (!closed)
                return invalid(QStringLiteral("\"[\" without its \"]\""));
            pattern += (negated ? QStringLiteral("[^") : QStringLiteral("[")) + set
                       + QLatin1Char(']');
            i = j;
        } else {
            pattern += QRegularExpression::escape(QString(c));
        }
    }
    pattern += QLatin1String(")\\z");
    QRegularExpression expression(pattern, QRegularExpression::DotMatchesEverythingOption);
    if (!expression.isValid())
        return invalid(expression.errorString());
    expression.optimize();
    return expression;
}

NameFilter::NameFilter(const QStringList &includes, const QStringList &excludes)
{
    for (const QString &glob : includes)
        m_includes.append(globExpression(glob));
    for (const QString &glob : excludes)
        m_excludes.append(globExpression(glob));
}

bool NameFilter::accepts(const QString &name) const
{
    const auto matches = [&name](const QRegularExpression &e) {
        return e.isValid() && e.match(name).hasMatch();
    };
    if (std::any_of(m_excludes.cbegin(), m_excludes.cend(), matches))
        return false;
    return m_includes.isEmpty() || std::any_of(m_includes.cbegin(), m_includes.cend(), matches);
}

} // namespace kestrune::cli
