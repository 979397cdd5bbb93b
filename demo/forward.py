#!/usr/bin/python3
"""Makes the demo NAS's web server reachable from this machine.

    forward.py --netns /proc/PID/ns/net --to PORT [--port PORT] [--any-port] --port-file FILE

Listens on the host's 127.0.0.1:PORT, then moves into the network namespace of
the sandboxed NAS; every connection accepted is joined to a new connection to
127.0.0.1:--to inside it (the listening socket stays where it was made). The
port actually listened on goes to --port-file once connections are taken. With
--any-port, a busy --port gives way to a free one. Ends on SIGINT or SIGTERM.
"""
import argparse
import asyncio
import ctypes
import os
import signal
import socket
import sys

CLONE_NEWNET = 0x40000000
PIECE = 65536


def enter_netns(path):
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        if hasattr(os, "setns"):
            os.setns(fd, CLONE_NEWNET)
        else:
            libc = ctypes.CDLL(None, use_errno=True)
            if libc.setns(fd, CLONE_NEWNET) != 0:
                err = ctypes.get_errno()
                raise OSError(err, os.strerror(err), path)
    finally:
        os.close(fd)


def listen(port, any_port):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind(("127.0.0.1", port))
    except OSError:
        if not any_port:
            raise
        sock.bind(("127.0.0.1", 0))
    sock.listen(64)
    return sock


async def pump(reader, writer):
    """Copies one direction until its end, then passes the end on."""
    try:
        while True:
            data = await reader.read(PIECE)
            if not data:
                break
            writer.write(data)
            await writer.drain()
        if writer.can_write_eof():
            writer.write_eof()
    except (ConnectionError, OSError):
        writer.transport.abort()


async def join(client_reader, client_writer, to_port):
    writer = None
    try:
        reader, writer = await asyncio.open_connection("127.0.0.1", to_port)
        await asyncio.gather(pump(client_reader, writer), pump(reader, client_writer))
    except OSError:
        pass
    finally:
        # On every way out, a stop of the forwarder included.
        for w in (writer, client_writer):
            if w is not None:
                w.close()


async def serve(sock, to_port, port_file):
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    # Each connection's task, held here (the loop holds tasks only weakly) until it ends. Once stopping, a connection
    # still being accepted is closed at once: a task started then would outlive the loop, pending.
    tasks = set()

    def accept(reader, writer):
        if stop.is_set():
            writer.transport.abort()
            return
        task = loop.create_task(join(reader, writer, to_port))
        tasks.add(task)
        task.add_done_callback(tasks.discard)

    server = await asyncio.start_server(accept, sock=sock)
    tmp = port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d\n" % sock.getsockname()[1])
    os.rename(tmp, port_file)
    await stop.wait()
    server.close()
    for task in list(tasks):
        task.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--netns", required=True)
    parser.add_argument("--to", type=int, required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--any-port", action="store_true")
    parser.add_argument("--port-file", required=True)
    args = parser.parse_args()
    try:
        sock = listen(args.port, args.any_port)
        enter_netns(args.netns)
    except OSError as e:
        sys.exit("forward.py: %s" % e)
    asyncio.run(serve(sock, args.to, args.port_file))


main()
