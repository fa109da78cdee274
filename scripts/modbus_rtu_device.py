#!/usr/bin/python3
"""Modbus RTU devices for the driver's tests and benchmark: Debian's pymodbus with its RTU framer
on a serial line (one end of a socat pseudo-terminal pair, the other end a COM port of the Wine
prefix; the same units on a second line, for tests that run beside those of the first), the same two units behind a TCP socket speaking RTU frames (a serial-to-Ethernet
gateway) and behind a Modbus TCP socket (a TCP-to-RTU gateway), and a device of our own on a
second line that misbehaves on request.

    modbus_rtu_device.py start STATE_FILE WINEPREFIX   starts them in the background and writes
                                                       "LINE_COM FAKE_COM RTU_TCP_PORT
                                                       GATEWAY_PORT CONTROL_PORT PID
                                                       SECOND_LINE_COM" to STATE_FILE
    modbus_rtu_device.py stop STATE_FILE WINEPREFIX    ends them and removes the COM ports

Units 1 to 10 each hold addresses 0 to 1999 of every table. Control commands, one line each,
answered with one line:
    set UNIT TABLE ADDRESS VALUE...   TABLE is c, d, i or h; answers "ok"
    get UNIT TABLE ADDRESS COUNT      answers the values
    mode MODE      how the misbehaving device answers: good, badcrc, foreign (another unit's
                   id), short (a frame cut short) or silent; answers "ok"
    baud N         the misbehaving device takes as long as N baud would (0: as fast as it can)
    requests       read requests the misbehaving device has received
    connections GATEWAY   connections open to "rtu-tcp" or "gateway"
It answers every holding or input register read with registers whose values are their
addresses, and every coil read with alternate bits.
"""
import asyncio
import os
import signal
import socket
import subprocess
import sys
import termios
import time
import tty

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server.async_io import ModbusSerialServer, ModbusTcpServer
from pymodbus.transaction import ModbusRtuFramer

from modbus_device import run_in_background

SIZE = 2000
UNITS = tuple(range(1, 11))  # 1 and 2 for the tests, all ten for the benchmark
LINE_COM, FAKE_COM, SECOND_LINE_COM = 41, 42, 43


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def rtu(unit, pdu):
    body = bytes([unit]) + pdu
    crc = crc16(body)
    return body + bytes([crc & 0xFF, crc >> 8])


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def slave():
    return ModbusSlaveContext(di=ModbusSequentialDataBlock(0, [0] * SIZE),
                              co=ModbusSequentialDataBlock(0, [0] * SIZE),
                              ir=ModbusSequentialDataBlock(0, [0] * SIZE),
                              hr=ModbusSequentialDataBlock(0, [0] * SIZE),
                              zero_mode=True)


def pty_pair(directory, name):
    """socat's two linked pseudo-terminals: DIR/NAME-device and DIR/NAME-wine."""
    ends = [os.path.join(directory, name + "-device"), os.path.join(directory, name + "-wine")]
    process = subprocess.Popen(["socat", "pty,raw,echo=0,link=" + ends[0],
                                "pty,raw,echo=0,link=" + ends[1]],
                               stdin=subprocess.DEVNULL)
    for _ in range(200):
        if all(os.path.exists(end) for end in ends):
            return process, ends
        time.sleep(0.02)
    raise RuntimeError("socat made no pseudo-terminals")


class Misbehaving:
    """One device (any unit) on a line that answers as it is told."""

    def __init__(self, path):
        self.mode = "good"
        self.baud = 0
        self.requests = 0
        self.buffer = b""
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(self.fd)
        termios.tcflush(self.fd, termios.TCIOFLUSH)
        asyncio.get_event_loop().add_reader(self.fd, self.readable)

    def readable(self):
        try:
            self.buffer += os.read(self.fd, 512)
        except BlockingIOError:
            return
        while len(self.buffer) >= 8:
            if crc16(self.buffer[:8]) != 0:  # not a request's start: resynchronise
                self.buffer = self.buffer[1:]
                continue
            request, self.buffer = self.buffer[:8], self.buffer[8:]
            self.requests += 1
            asyncio.ensure_future(self.answer(request))

    async def answer(self, request):
        unit, function = request[0], request[1]
        address = int.from_bytes(request[2:4], "big")
        count = int.from_bytes(request[4:6], "big")
        if function in (3, 4):
            data = b"".join(((address + i) & 0xFFFF).to_bytes(2, "big") for i in range(count))
        else:
            data = bytes([0x55] * ((count + 7) // 8))
        pdu = bytes([function, len(data)]) + data
        answer = rtu(unit, pdu)
        if self.baud:  # the request and the answer on the wire, 11 bits a character
            await asyncio.sleep((len(request) + len(answer) + 7) * 11 / self.baud)
        if self.mode == "badcrc":
            answer = answer[:-1] + bytes([answer[-1] ^ 0xFF])
        elif self.mode == "foreign":
            answer = rtu((unit % 247) + 1, pdu)
        elif self.mode == "short":
            answer = answer[:-3]
        elif self.mode == "silent":
            return
        os.write(self.fd, answer)


async def serve(state_file, prefix):
    directory = state_file + ".d"
    os.makedirs(directory, exist_ok=True)
    line_socat, line = pty_pair(directory, "line")
    fake_socat, fake = pty_pair(directory, "fake")
    second_socat, second = pty_pair(directory, "second")
    for com, end in ((LINE_COM, line[1]), (FAKE_COM, fake[1]), (SECOND_LINE_COM, second[1])):
        link = os.path.join(prefix, "dosdevices", "com%d" % com)
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(end, link)

    slaves = {unit: slave() for unit in UNITS}
    context = ModbusServerContext(slaves=slaves, single=False)
    serial_servers = [ModbusSerialServer(context, framer=ModbusRtuFramer, port=end[0],
                                         baudrate=115200) for end in (line, second)]
    for server in serial_servers:
        await server.start()
    rtu_tcp_port, gateway_port = free_port(), free_port()
    rtu_tcp = ModbusTcpServer(context, framer=ModbusRtuFramer,
                              address=("127.0.0.1", rtu_tcp_port), allow_reuse_address=True)
    gateway = ModbusTcpServer(context, address=("127.0.0.1", gateway_port),
                              allow_reuse_address=True)
    for server in (rtu_tcp, gateway):
        asyncio.ensure_future(server.serve_forever())
        await asyncio.wait_for(server.serving, 10)
    misbehaving = Misbehaving(fake[0])

    async def control(reader, writer):
        while True:
            text = await reader.readline()
            if not text:
                break
            words = text.decode().split()
            try:
                if words[0] == "set":
                    store = slaves[int(words[1])].store[words[2]]
                    store.setValues(int(words[3]), [int(v) for v in words[4:]])
                    answer = "ok"
                elif words[0] == "get":
                    store = slaves[int(words[1])].store[words[2]]
                    values = store.getValues(int(words[3]), int(words[4]))
                    answer = " ".join(str(int(v)) for v in values)
                elif words[0] == "mode":
                    misbehaving.mode = words[1]
                    answer = "ok"
                elif words[0] == "baud":
                    misbehaving.baud = int(words[1])
                    answer = "ok"
                elif words[0] == "connections":
                    server = rtu_tcp if words[1] == "rtu-tcp" else gateway
                    answer = str(len(server.active_connections))
                elif words[0] == "requests":
                    answer = str(misbehaving.requests)
                else:
                    answer = "unknown command"
            except Exception as error:  # the test sees what went wrong
                answer = "error " + str(error)
            writer.write((answer + "\n").encode())
            await writer.drain()
        writer.close()

    control_server = await asyncio.start_server(control, "127.0.0.1", 0)
    with open(state_file + ".tmp", "w") as f:
        f.write("%d %d %d %d %d %d %d\n" % (LINE_COM, FAKE_COM, rtu_tcp_port, gateway_port,
                                            control_server.sockets[0].getsockname()[1],
                                            os.getpid(), SECOND_LINE_COM))
    os.replace(state_file + ".tmp", state_file)
    await asyncio.Event().wait()


def start(state_file, prefix):
    if os.path.exists(state_file):
        stop(state_file, prefix)
    return run_in_background(state_file, lambda: serve(state_file, prefix), "modbus_rtu_device")


def stop(state_file, prefix):
    try:
        with open(state_file) as f:
            pid = int(f.read().split()[5])
        os.killpg(pid, signal.SIGTERM)
    except (OSError, ValueError, IndexError):
        pass
    for com in (LINE_COM, FAKE_COM, SECOND_LINE_COM):
        link = os.path.join(prefix, "dosdevices", "com%d" % com)
        if os.path.islink(link):
            os.remove(link)
    for name in (state_file, state_file + ".tmp"):
        if os.path.exists(name):
            os.remove(name)
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[1] not in ("start", "stop"):
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit((start if sys.argv[1] == "start" else stop)(sys.argv[2], sys.argv[3]))
