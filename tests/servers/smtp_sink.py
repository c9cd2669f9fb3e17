#!/usr/bin/python3
# A mail server for tests: SMTP on 127.0.0.1:PORT that offers STARTTLS and accepts mail only
# after TLS and a login (LOGIN or PLAIN) of one fixed user. Each accepted message is written to
# FOLDER as NNNNNN.eml, numbered on from what the folder holds, with its envelope recipients in
# an X-Envelope-To header. Runs until SIGTERM.
import os
import signal
import ssl
import sys

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

port, folder, cert, key, user, password = sys.argv[1:7]


class Sink:
    async def handle_DATA(self, server, session, envelope):
        number = len([n for n in os.listdir(folder) if n.endswith(".eml")]) + 1
        temporary = os.path.join(folder, ".incoming")
        with open(temporary, "wb") as out:
            out.write(b"X-Envelope-To: " + ",".join(envelope.rcpt_tos).encode() + b"\r\n")
            out.write(envelope.original_content)
        os.rename(temporary, os.path.join(folder, "%06d.eml" % number))
        return "250 OK"


def authenticate(server, session, envelope, mechanism, data):
    ok = (isinstance(data, LoginPassword) and data.login == user.encode()
          and data.password == password.encode())
    return AuthResult(success=ok)


context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
context.load_cert_chain(cert, key)
signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGINT})
controller = Controller(Sink(), hostname="127.0.0.1", port=int(port), tls_context=context,
                        require_starttls=True, authenticator=authenticate,
                        auth_require_tls=True, auth_required=True)
controller.start()
print("listening", flush=True)
signal.sigwait({signal.SIGTERM, signal.SIGINT})
controller.stop()
