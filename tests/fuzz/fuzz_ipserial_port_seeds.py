#!/usr/bin/env python3
# Writes the seeds of fuzz_ipserial_port in the layout its harness reads (see the steps there):
# fuzz_ipserial_port_seeds.py DIR
import os
import sys

IAC = 0xFF
WILL, WONT, DO, DONT = 0, 1, 2, 3  # verb as the harness picks it
BINARY, SGA, COMPORT = 0, 1, 2     # option as the harness picks it


def prelude(*steps):
    return bytes([len(steps)]) + b"".join(steps)


def data(b): return bytes([0, len(b)]) + b
def negotiate(verb, option): return bytes([1, verb, option])
def sub(code, payload): return bytes([2, code, len(payload)]) + payload
def raw(b): return bytes([3, len(b)]) + b
def much(blocks): return bytes([4, blocks])           # blocks of 512 data bytes
def server_close(full): return bytes([5, 1 if full else 0])
def server_read(): return bytes([6, 3])
def read(blocks): return bytes([7, blocks])          # blocks of 64 bytes
def write(b, how=0): return bytes([8, len(b)]) + b + bytes([how])
def lstatus(): return bytes([9])
def wait(ms): return bytes([10, ms + 1])
def ioctl(baud, mode, plan, *extra): return bytes([11, 0, baud, 0x80 | mode, plan]) + bytes(extra)
def flow(mode, plan, *extra): return bytes([11, 1, mode, plan]) + bytes(extra)
def dtr(on, plan, *extra): return bytes([11, 2, on, plan]) + bytes(extra)
def rts(on, plan, *extra): return bytes([11, 3, on, plan]) + bytes(extra)
def client_close(): return bytes([12, 1])
def open_bad_port(text, port, room): return bytes([12, 2, len(text)]) + text + bytes([port, room])


RIGHT, WRONG, SOME, SILENT, CLOSE_INSTEAD = 1, 3, 4, 0, 7
agreeing = prelude(negotiate(WILL, BINARY), negotiate(WILL, SGA), negotiate(DO, COMPORT))

seeds = {
    "clean": agreeing + ioctl(19, 3, RIGHT) + flow(0, RIGHT) + dtr(1, RIGHT) + rts(1, RIGHT)
    + write(b"AT\xff\r\n") + server_read() + data(b"OK\xff\r\n") + sub(7, b"\xb0") + wait(2)
    + read(4) + lstatus() + client_close(),
    "refuses-com-port": prelude(negotiate(WILL, BINARY), negotiate(DONT, COMPORT)),
    "wrong-values": agreeing + ioctl(12, 0x0A, WRONG, 0, 1) + ioctl(16, 3, SOME, 3)
    + flow(3, WRONG, 0, 1) + dtr(0, WRONG, 0, 2) + rts(1, SILENT) + flow(0, SILENT)
    + ioctl(16, 3, RIGHT),
    "closes-mid-negotiation": prelude(negotiate(WILL, BINARY), server_close(True)),
    "iac-data": agreeing + data(bytes([IAC] * 20 + [0, IAC, 1])) + write(bytes([IAC] * 30))
    + write(b"\x01\xff", 1) + server_read() + much(40) + read(255) + read(255) + wait(1)
    + read(255) + client_close(),
    "server-leaves": agreeing + much(200) + server_close(True) + write(b"x") + dtr(1, RIGHT),
    "open-with-bad-port": agreeing + open_bad_port(b"192.168.1.1\n:80", 1, 32)
    + open_bad_port(b"10.0.0.1", 3, 4) + open_bad_port(b"", 2, 0),
    "raw": agreeing + raw(bytes([IAC, 0xFA, 44, 107, 0x30, IAC, 0xF0, IAC, IAC, 7, IAC])) + read(8)
    + lstatus(),
}

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
for name, seed in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(seed)
