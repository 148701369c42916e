#pragma once
// Which files of a listing a run takes, by their names: shell patterns
// ("u_ex*.log", "W3SVC?", "*[0-9].log") given with --include and --exclude.

#include <QList>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

namespace kestrune::cli {

// A shell pattern as a regular expression that matches the whole name:
// "*" any run of characters, "?" any one character, "[abc]", "[a-z]" and
// "[!abc]" (or "[^abc]") one character of a set or outside it, "\" takes the
// next character as it is.  '/' is a character like any other.  Case counts.
// An invalid pattern (an unclosed "[", a range running backwards, a "\" at
// the end) gives an invalid expression and, in why, the reason.
QRegularExpression globExpression(const QString &glob, QString *why = nullptr);

class NameFilter {
public:
    // Patterns already checked by globExpression(); an invalid one matches
    // nothing.
    NameFilter(const QStringList &includes, const QStringList &excludes);

    // A name is taken when it matches no exclude and, when there are
    // includes, one of them.
    bool accepts(const QString &name) const;
    bool isEmpty() const { return m_includes.isEmpty() && m_excludes.isEmpty(); }

private:
    QList<QRegularExpression> m_includes;
    QList<QRegularExpression> m_excludes;
};

} // namespace kestrune::cli
