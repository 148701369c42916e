#pragma once
// Asking the operator for a secret on the terminal, without echo.

#include <QString>

#include <functional>
#include <optional>

namespace kestrune::cli {

// Shows prompt on the controlling terminal and reads one line without
// echoing it.  Nothing when there is no terminal, or when cancelled()
// turns true while it waits (an interrupt).
std::optional<QString> askSecretOnTerminal(const QString &prompt,
                                           const std::function<bool()> &cancelled);

} // namespace kestrune::cli
