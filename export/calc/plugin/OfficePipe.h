#pragma once

#include <QString>
#include <com/sun/star/connection/XConnection.hpp>

// The private link to the office: a Unix socket under a name nobody can guess, checked to
// belong to this user before anything is said on it.
namespace calc::uno {

// The pipe name of this program run: random, made once.
QString OfficePipeName();

// Where the office listens for `name` (the office's own naming of pipes).
QString OfficePipePath(const QString& name);

// Connects to the office listening on `name`. Returns an empty reference when nothing listens
// there yet. Throws std::runtime_error when the socket there, or the process behind it, belongs
// to another user.
com::sun::star::uno::Reference<com::sun::star::connection::XConnection> ConnectOfficePipe(
    const QString& name);

}  // namespace calc::uno
