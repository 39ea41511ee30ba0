# A gateway that answers badly on purpose, for the client's tests, on a free port of 127.0.0.1.
#
#   crafted_server.py reply HEAD UNIT COUNT TAIL [unsized]
#       answers every POST with 200 text/xml and the body HEAD + COUNT times UNIT + TAIL,
#       streamed, so a reply of hundreds of megabytes costs this process almost nothing;
#       "unsized" leaves out Content-Length (the end of the connection ends the body)
#   crafted_server.py tls CERT KEY
#       a TLS listener with that certificate; reports each handshake's outcome
#   crafted_server.py tlsproxy CERT KEY PORT
#       the same, passing each connection's bytes on to 127.0.0.1:PORT (an https gateway in
#       front of the simulator)
#
# Prints "listening PORT" once it accepts connections.
import socket
import ssl
import sys
import threading

BLOCK = 1 << 20


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return False
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n"):
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    while len(body) < length:
        chunk = conn.recv(65536)
        if not chunk:
            return False
        body += chunk
    return True


def serve_reply(listener, head, unit, count, tail, sized):
    per_block = max(1, BLOCK // len(unit))
    block = unit * per_block
    size = len(head) + len(unit) * count + len(tail)
    length = b"Content-Length: %d\r\n" % size if sized else b""
    while True:
        conn, _ = listener.accept()
        try:
            if not read_request(conn):
                continue
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nConnection: close\r\n" +
                         length + b"\r\n" + head)
            left = count
            while left:
                n = min(left, per_block)
                conn.sendall(block if n == per_block else unit * n)
                left -= n
            conn.sendall(tail)
        except OSError:
            pass  # the client gave up on the reply
        finally:
            conn.close()


def serve_tls(listener, cert, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    while True:
        conn, _ = listener.accept()
        try:
            with context.wrap_socket(conn, server_side=True) as tls:
                print("handshake done", flush=True)
                read_request(tls)
        except (OSError, ssl.SSLError) as e:
            print("handshake failed:", getattr(e, "reason", e), flush=True)
        finally:
            conn.close()


def pump(source, target):
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            target.sendall(data)
    except OSError:
        pass
    finally:
        for s in (source, target):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def proxy(conn, context, port):
    try:
        tls = context.wrap_socket(conn, server_side=True)
    except (OSError, ssl.SSLError) as e:
        print("handshake failed:", getattr(e, "reason", e), flush=True)
        conn.close()
        return
    print("handshake done", flush=True)
    upstream = socket.create_connection(("127.0.0.1", port))
    back = threading.Thread(target=pump, args=(upstream, tls), daemon=True)
    back.start()
    pump(tls, upstream)
    back.join()
    tls.close()
    upstream.close()


def serve_tls_proxy(listener, cert, key, port):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=proxy, args=(conn, context, port), daemon=True).start()


def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    print("listening", listener.getsockname()[1], flush=True)
    if sys.argv[1] == "reply":
        head, unit, count, tail = sys.argv[2:6]
        sized = sys.argv[6:] != ["unsized"]
        serve_reply(listener, head.encode(), unit.encode(), int(count), tail.encode(), sized)
    elif sys.argv[1] == "tlsproxy":
        serve_tls_proxy(listener, sys.argv[2], sys.argv[3], int(sys.argv[4]))
    else:
        serve_tls(listener, sys.argv[2], sys.argv[3])


main()
