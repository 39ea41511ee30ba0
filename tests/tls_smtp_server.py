"""An SMTP server for the tests of mail over TLS: aiosmtpd with STARTTLS required, or TLS from
the first byte, and optionally AUTH against one account. Messages go to DIR/maildir; each
message and each AUTH attempt adds a line to DIR/sessions.log saying whether TLS was really
on, so that no test passes without the handshake."""
import argparse
import asyncio
import mailbox
import os
import ssl

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

parser = argparse.ArgumentParser()
parser.add_argument("--port", type=int, required=True)
parser.add_argument("--dir", required=True)
parser.add_argument("--mode", choices=["starttls", "tls"], required=True)
parser.add_argument("--cert", required=True)
parser.add_argument("--key", required=True)
parser.add_argument("--auth", help="USER:PASSWORD the server accepts")
args = parser.parse_args()

log_path = os.path.join(args.dir, "sessions.log")


def record(line):
    with open(log_path, "a") as f:
        f.write(line + "\n")


def tls_of(server):
    transport = server.transport
    sslobj = transport.get_extra_info("ssl_object") if transport else None
    return sslobj.version() if sslobj else "none"


class Handler:
    def __init__(self):
        self.box = mailbox.Maildir(os.path.join(args.dir, "maildir"))

    async def handle_DATA(self, server, session, envelope):
        self.box.add(envelope.original_content)
        record("DATA tls=%s auth=%s" % (tls_of(server), "yes" if session.authenticated else "no"))
        return "250 OK"


def authenticator(server, session, envelope, mechanism, auth_data):
    ok = isinstance(auth_data, LoginPassword) and args.auth is not None and \
        "%s:%s" % (auth_data.login.decode(), auth_data.password.decode()) == args.auth
    record("AUTH %s tls=%s %s" % (mechanism, tls_of(server), "accepted" if ok else "refused"))
    return AuthResult(success=ok, handled=False)


context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
context.load_cert_chain(args.cert, args.key)
kwargs = dict(auth_require_tls=True)
if args.auth:
    kwargs.update(authenticator=authenticator, auth_required=True)
if args.mode == "starttls":
    controller = Controller(Handler(), hostname="127.0.0.1", port=args.port,
                            server_kwargs=dict(tls_context=context, require_starttls=True,
                                               **kwargs))
else:
    controller = Controller(Handler(), hostname="127.0.0.1", port=args.port,
                            ssl_context=context, server_kwargs=kwargs)
controller.start()
print("listening", flush=True)
try:
    asyncio.new_event_loop().run_forever()
finally:
    controller.stop()
