#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>

namespace web {

// The users who may sign in: a file of "name:hash" lines, the hashes as mkpasswd(1) makes them
// and the system's crypt(3) checks them. Blank lines and lines starting with '#' are passed over.
class UserFile {
public:
    // Reads the file; false with `error` (file and line) when it cannot be read or a line is not
    // "name:hash".
    bool Load(const QString& path, QString* error);
    // Whether `password` is the user's; a user who is not in the file never is, and costs the
    // same time to refuse.
    bool Check(const QString& name, const QString& password) const;
    bool Empty() const { return hashes_.isEmpty(); }

private:
    QHash<QString, QByteArray> hashes_;
};

// A signed-in browser: who, until when, and the token its POSTs must carry.
struct Session {
    QString user;
    QByteArray csrf;
    std::chrono::steady_clock::time_point expires;
};

// The sessions of signed-in browsers, by their cookie's random token, and the slowing down of
// failed sign-ins: after each failure from an address, the next attempt from it is refused until
// a wait that doubles with every failure (1 s, 2 s, 4 s, … up to kMaxWait) has passed.
// Thread-safe.
class SessionStore {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::hours kLifetime{8};
    static constexpr std::chrono::seconds kMaxWait{60};
    static constexpr std::size_t kMaxSessions = 1000;

    // A new session for `user`; returns its token.
    QByteArray Open(const QString& user, Clock::time_point now = Clock::now());
    std::optional<Session> Find(const QByteArray& token, Clock::time_point now = Clock::now());
    void Close(const QByteArray& token);

    // How long `address` must still wait before it may try again; zero when it may.
    std::chrono::milliseconds WaitFor(const QString& address, Clock::time_point now = Clock::now());
    void Failed(const QString& address, Clock::time_point now = Clock::now());
    void Succeeded(const QString& address);

private:
    struct Failures {
        int count = 0;
        Clock::time_point notBefore;
    };
    std::mutex mutex_;
    std::map<QByteArray, Session> sessions_;
    std::map<QString, Failures> failures_;
};

// A random token of `bytes` bytes, hex-encoded, from the system's random source.
QByteArray RandomToken(int bytes = 32);

}  // namespace web
