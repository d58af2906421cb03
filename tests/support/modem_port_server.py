#!/usr/bin/env python3
"""An RFC 2217 server made of pyserial's PortManager, in front of a pty.

The pty has no modem lines, so this port plays them: carrier (CD) follows
the modem's words on the line ("CONNECT" raises it, "NO CARRIER" drops it)
and drops with DTR, as a modem hangs up; every DTR change is appended to a
log. A CD change is sent to the client before the bytes that caused it.

    modem_port_server.py PTY PORT_FILE DTR_LOG on|off
Listens on [::1] at a free port and writes the port number to PORT_FILE.
"""
import os
import select
import socket
import sys

import serial
import serial.rfc2217


class ModemLinePort(serial.Serial):
    carrier = False
    dtr_log = None

    def _update_dtr_state(self):
        if self.dtr_log is None:  # the port's own open
            return
        with open(self.dtr_log, "a") as log:
            log.write("DTR %s\n" % ("on" if self._dtr_state else "off"))
        if not self._dtr_state:
            self.carrier = False

    def _update_rts_state(self):
        pass

    @property
    def cd(self):
        return self.carrier

    @property
    def cts(self):
        return True

    @property
    def dsr(self):
        return True

    @property
    def ri(self):
        return False


class Connection:
    def __init__(self, sock):
        self.sock = sock

    def write(self, data):
        self.sock.sendall(data)


def serve(sock, port):
    manager = serial.rfc2217.PortManager(port, Connection(sock))
    heard = b""
    while True:
        ready, _, _ = select.select([sock, port.fd], [], [], 0.05)
        if sock in ready:
            data = sock.recv(4096)
            if not data:
                return
            port.write(b"".join(manager.filter(data)))
        if port.fd in ready:
            data = os.read(port.fd, 4096)
            heard = (heard + data)[-64:]
            if b"NO CARRIER" in heard:
                port.carrier = False
                heard = b""
            elif b"CONNECT" in heard:
                port.carrier = True
                heard = b""
            manager.check_modem_lines()
            sock.sendall(b"".join(manager.escape(data)))
        manager.check_modem_lines()


def main():
    pty, port_file, dtr_log, carrier = sys.argv[1:5]
    listener = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("::1", 0))
    listener.listen(1)
    with open(port_file + ".tmp", "w") as out:
        out.write("%d\n" % listener.getsockname()[1])
    os.rename(port_file + ".tmp", port_file)
    while True:
        sock, _ = listener.accept()
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        port = ModemLinePort()
        port.port = pty
        port.baudrate = 19200
        port.timeout = 0
        port.carrier = carrier == "on"
        port.open()
        port.dtr_log = dtr_log
        try:
            serve(sock, port)
        except OSError:
            pass
        port.close()
        sock.close()


if __name__ == "__main__":
    main()
