#pragma once

#include "notify/NotifySettings.h"
#include "tests/servers/MailSinks.h"

namespace testservers {

// The mail channel's settings for `smtp`: its address and login, one sender, one recipient.
// Its certificate authority goes into NotifySettings::caFile (SmtpServer::CaFile).
inline notify::MailSettings MailSettingsFor(const SmtpServer& smtp) {
    notify::MailSettings mail;
    mail.url = smtp.Url();
    mail.user = SmtpServer::User();
    mail.password = SmtpServer::Password();
    mail.from = QStringLiteral("batmon@example.com");
    mail.to = QStringList{QStringLiteral("ops@example.com")};
    return mail;
}

}  // namespace testservers
