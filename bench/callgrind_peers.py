"""Fixed peers for bench/callgrind.sh.

    callgrind_peers.py client PORT COUNT CONNS [BODY]
        COUNT requests of one fixed shape, spread over CONNS keep-alive
        connections that each wait for an answer before sending again.
        With BODY > 0 they are POSTs of a BODY-byte JSON-typed body.
        Exits non-zero when an answer is not a 200.

    callgrind_peers.py collector PORT COUNT_FILE
        Accepts log messages and authorization subrequests until killed and
        answers every request with an empty 200, as a collector does; keeps
        the number of log messages received so far in COUNT_FILE.

    callgrind_peers.py profile FILE DIVISOR [TOP]
        The TOP functions of one callgrind file by their own instructions
        and by what they and their callees cost, both divided by DIVISOR
        (the number of requests), then the cost by shared object.
"""
import asyncio
import os
import signal
import socket
import sys

REQUEST = (b"GET /bench?id=7 HTTP/1.1\r\n"
           b"Host: 127.0.0.1\r\n"
           b"User-Agent: kv-callgrind/1\r\n"
           b"Accept: */*\r\n"
           b"Accept-Encoding: gzip, deflate\r\n"
           b"X-Trace: a\"b\\c\r\n"
           b"\r\n")



def post_request(size):
    """The same request as a POST carrying a body of size bytes."""
    head = REQUEST.replace(b"GET ", b"POST ", 1)[:-2]
    return (head + b"Content-Type: application/json\r\n"
            + b"Content-Length: %d\r\n\r\n" % size + b"x" * size)


REPLY = b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"


def read_answer(sock, pending):
    while b"\r\n\r\n" not in pending:
        data = sock.recv(65536)
        if not data:
            raise ConnectionError("closed by nginx")
        pending += data
    head, _, rest = pending.partition(b"\r\n\r\n")
    status = head.split(b" ", 2)[1]
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    while len(rest) < length:
        data = sock.recv(65536)
        if not data:
            raise ConnectionError("closed by nginx")
        rest += data
    return status, rest[length:]


def client(port, count, conns, body=0):
    request = post_request(body) if body > 0 else REQUEST
    socks = [socket.create_connection(("127.0.0.1", port)) for _ in range(conns)]
    pending = [b""] * conns
    sent = 0
    # round robin: with several connections nginx sees several requests
    # in one pass of its event loop, as under load
    while sent < count:
        batch = min(conns, count - sent)
        for i in range(batch):
            socks[i].sendall(request)
        for i in range(batch):
            status, pending[i] = read_answer(socks[i], pending[i])
            if status != b"200":
                sys.exit("answer %r" % status)
        sent += batch
    for s in socks:
        s.close()


def note(path, logs):
    with open(path + ".new", "w") as f:
        f.write("%d\n" % logs)
    os.replace(path + ".new", path)


async def collector(port, count_file):
    logs = 0
    note(count_file, 0)

    async def handle(reader, writer):
        nonlocal logs
        try:
            while True:
                head = await reader.readuntil(b"\r\n\r\n")
                length = 0
                for line in head.split(b"\r\n")[1:]:
                    name, _, value = line.partition(b":")
                    if name.strip().lower() == b"content-length":
                        length = int(value)
                if length:
                    await reader.readexactly(length)
                if head.startswith((b"POST /mergedlog", b"POST /nginxlog")):
                    logs += 1
                    note(count_file, logs)
                writer.write(REPLY)
                await writer.drain()
        except (asyncio.IncompleteReadError, ConnectionError):
            pass
        finally:
            writer.close()

    server = await asyncio.start_server(handle, "127.0.0.1", port)
    stop = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
    async with server:
        await stop.wait()


def profile(path, divisor, top):
    """Reads an uncompressed callgrind file (--compress-strings=no)."""
    own = {}
    inclusive = {}
    by_object = {}
    fn = obj = None
    call_cost_next = False
    with open(path) as f:
        for line in f:
            if line.startswith("ob="):
                obj = line[3:].strip()
            elif line.startswith("fn="):
                fn = line[3:].strip()
                own.setdefault((obj, fn), 0)
            elif line.startswith("calls="):
                call_cost_next = True
            elif line[:1].isdigit() or line[:1] in "+-*":
                parts = line.split()
                if len(parts) < 2:
                    continue
                cost = int(parts[1])
                key = (obj, fn)
                if call_cost_next:
                    call_cost_next = False
                    inclusive[key] = inclusive.get(key, 0) + cost
                    continue
                own[key] = own.get(key, 0) + cost
                inclusive[key] = inclusive.get(key, 0) + cost
                by_object[obj] = by_object.get(obj, 0) + cost

    def show(title, table):
        print(title)
        rows = sorted(table.items(), key=lambda kv: -kv[1])[:top]
        for (o, name), cost in rows:
            print("%9.0f  %-48s %s" % (cost / divisor, name[:48],
                                       os.path.basename(o or "?")))

    show("own instructions per request", own)
    print()
    show("with callees, per request", inclusive)
    print()
    print("by object, per request")
    for o, cost in sorted(by_object.items(), key=lambda kv: -kv[1]):
        print("%9.0f  %s" % (cost / divisor, o))


if __name__ == "__main__":
    if sys.argv[1] == "client":
        client(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]),
               int(sys.argv[5]) if len(sys.argv) > 5 else 0)
    elif sys.argv[1] == "profile":
        profile(sys.argv[2], float(sys.argv[3]),
                int(sys.argv[4]) if len(sys.argv) > 4 else 40)
    else:
        asyncio.run(collector(int(sys.argv[2]), sys.argv[3]))
