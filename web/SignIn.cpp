#include "web/SignIn.h"

#include <crypt.h>

#include <QFile>
#include <QRandomGenerator>
#include <algorithm>
#include <cstring>

namespace web {

bool UserFile::Load(const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error) *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    QHash<QString, QByteArray> hashes;
    int lineNo = 0;
    while (!file.atEnd()) {
        ++lineNo;
        const QByteArray line = file.readLine(4096).trimmed();
        if (line.isEmpty() || line.startsWith('#')) continue;
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || colon + 1 >= line.size()) {
            if (error)
                *error = QStringLiteral("%1:%2: not a \"name:hash\" line").arg(path).arg(lineNo);
            return false;
        }
        hashes.insert(QString::fromUtf8(line.left(colon)), line.mid(colon + 1));
    }
    hashes_ = std::move(hashes);
    return true;
}

bool UserFile::Check(const QString& name, const QString& password) const {
    // A hash that matches nothing, so an unknown user costs a crypt call like a known one.
    static const QByteArray kNobody = QByteArrayLiteral(
        "$6$batmonnobody$0000000000000000000000000000000000000000000000000000"
        "000000000000000000000000000000000");
    const auto found = hashes_.constFind(name);
    const QByteArray& hash = found == hashes_.constEnd() ? kNobody : *found;
    crypt_data data{};
    const QByteArray utf8 = password.toUtf8();
    const char* result = crypt_r(utf8.constData(), hash.constData(), &data);
    if (!result || result[0] == '*' || found == hashes_.constEnd()) return false;
    const auto length = std::strlen(result);
    return length == static_cast<std::size_t>(hash.size()) &&
           std::memcmp(result, hash.constData(), length) == 0;
}

QByteArray RandomToken(int bytes) {
    QByteArray raw(bytes, Qt::Uninitialized);
    QRandomGenerator::system()->generate(raw.begin(), raw.end());
    return raw.toHex();
}

QByteArray SessionStore::Open(const QString& user, Clock::time_point now) {
    QByteArray token = RandomToken();
    const std::lock_guard lock(mutex_);
    std::erase_if(sessions_, [now](const auto& entry) { return entry.second.expires <= now; });
    if (sessions_.size() >= kMaxSessions) {
        const auto oldest = std::min_element(
            sessions_.begin(), sessions_.end(),
            [](const auto& a, const auto& b) { return a.second.expires < b.second.expires; });
        sessions_.erase(oldest);
    }
    sessions_[token] = Session{user, RandomToken(16), now + kLifetime};
    return token;
}

std::optional<Session> SessionStore::Find(const QByteArray& token, Clock::time_point now) {
    const std::lock_guard lock(mutex_);
    const auto found = sessions_.find(token);
    if (found == sessions_.end()) return std::nullopt;
    if (found->second.expires <= now) {
        sessions_.erase(found);
        return std::nullopt;
    }
    return found->second;
}

void SessionStore::Close(const QByteArray& token) {
    const std::lock_guard lock(mutex_);
    sessions_.erase(token);
}

std::chrono::milliseconds SessionStore::WaitFor(const QString& address, Clock::time_point now) {
    const std::lock_guard lock(mutex_);
    const auto found = failures_.find(address);
    if (found == failures_.end() || found->second.notBefore <= now)
        return std::chrono::milliseconds(0);
    return std::chrono::ceil<std::chrono::milliseconds>(found->second.notBefore - now);
}

void SessionStore::Failed(const QString& address, Clock::time_point now) {
    const std::lock_guard lock(mutex_);
    if (failures_.size() > 10'000) failures_.clear();  // bounded whatever a scan tries
    Failures& f = failures_[address];
    f.count = std::min(f.count + 1, 30);
    const auto wait = std::min<std::chrono::seconds>(
        std::chrono::seconds(1LL << std::min(f.count - 1, 6)), kMaxWait);
    f.notBefore = now + wait;
}

void SessionStore::Succeeded(const QString& address) {
    const std::lock_guard lock(mutex_);
    failures_.erase(address);
}

}  // namespace web
