#!/usr/bin/python3
"""A Modbus TCP device for the driver's tests and the demo: Debian's pymodbus server with a
known register map, and a control port through which a test sets and reads the device's memory, counts the
read requests it served, stops and starts it, as a PLC on the network would be switched off
and on. A second port accepts connections and never answers, like a device that has hung.

    modbus_device.py start STATE_FILE [PORT]   starts the device in the background (on PORT,
                                               else on a free port) and writes "MODBUS_PORT
                                               CONTROL_PORT SILENT_PORT PID" to STATE_FILE
    modbus_device.py stop STATE_FILE           ends it
    modbus_device.py set STATE_FILE TABLE ADDRESS VALUE...
                                               sets values through the control port

Control commands, one line each, answered with one line:
    set TABLE ADDRESS VALUE...   TABLE is c, d, i or h (coils, discrete inputs, input
                                 registers, holding registers); answers "ok"
    get TABLE ADDRESS COUNT      answers the values
    reads TABLE                  read requests served for the table since the last reset
    reset                        sets the counts to 0
    down / up                    stops the device (every connection cut) / starts it again
Each table holds addresses 0 to 1999; a request beyond them gets exception 2 (illegal address).
"""
import asyncio
import os
import signal
import socket
import sys
import time

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server.async_io import ModbusTcpServer

SIZE = 2000
READ_FUNCTIONS = {1: "c", 2: "d", 3: "h", 4: "i"}


class CountingContext(ModbusSlaveContext):
    """Counts the read requests per table (a write's answer reads back too: not counted)."""

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.reads = {"c": 0, "d": 0, "i": 0, "h": 0}

    def getValues(self, fc_as_hex, address, count=1):
        if fc_as_hex in READ_FUNCTIONS:
            self.reads[READ_FUNCTIONS[fc_as_hex]] += 1
        return super().getValues(fc_as_hex, address, count)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Device:
    def __init__(self, port):
        self.port = port
        self.slave = CountingContext(
            di=ModbusSequentialDataBlock(0, [0] * SIZE),
            co=ModbusSequentialDataBlock(0, [0] * SIZE),
            ir=ModbusSequentialDataBlock(0, [0] * SIZE),
            hr=ModbusSequentialDataBlock(0, [0] * SIZE),
            zero_mode=True)
        self.context = ModbusServerContext(slaves=self.slave, single=True)
        self.server = None
        self.task = None

    async def up(self):
        if self.server:
            return
        self.server = ModbusTcpServer(self.context, address=("127.0.0.1", self.port),
                                      allow_reuse_address=True)
        self.task = asyncio.ensure_future(self.server.serve_forever())
        await asyncio.wait_for(self.server.serving, 10)

    async def down(self):
        if not self.server:
            return
        await self.server.server_close()
        self.task.cancel()
        self.server = None

    async def command(self, words):
        if words[0] == "set":
            table, address = words[1], int(words[2])
            values = [int(v) for v in words[3:]]
            self.slave.store[table].setValues(address, values)
            return "ok"
        if words[0] == "get":
            table, address, count = words[1], int(words[2]), int(words[3])
            return " ".join(str(int(v)) for v in self.slave.store[table].getValues(address, count))
        if words[0] == "reads":
            return str(self.slave.reads[words[1]])
        if words[0] == "reset":
            for table in self.slave.reads:
                self.slave.reads[table] = 0
            return "ok"
        if words[0] == "down":
            await self.down()
            return "ok"
        if words[0] == "up":
            await self.up()
            return "ok"
        return "unknown command"


async def serve(state_file, port):
    device = Device(port or free_port())
    await device.up()

    async def control(reader, writer):
        while True:
            line = await reader.readline()
            if not line:
                break
            try:
                answer = await device.command(line.decode().split())
            except Exception as error:  # the test sees what went wrong
                answer = "error " + str(error)
            writer.write((answer + "\n").encode())
            await writer.drain()
        writer.close()

    async def silent(reader, writer):
        while await reader.read(4096):
            pass
        writer.close()

    control_server = await asyncio.start_server(control, "127.0.0.1", 0)
    silent_server = await asyncio.start_server(silent, "127.0.0.1", 0)
    ports = (device.port, control_server.sockets[0].getsockname()[1],
             silent_server.sockets[0].getsockname()[1])
    with open(state_file + ".tmp", "w") as f:
        f.write("%d %d %d %d\n" % (*ports, os.getpid()))
    os.replace(state_file + ".tmp", state_file)
    await asyncio.Event().wait()


def run_in_background(state_file, serve, name):
    """Forks `serve()` (a coroutine) off as a daemon and returns once it has written
    STATE_FILE; its output goes to STATE_FILE.log."""
    if os.fork():
        for _ in range(200):  # the parent returns once the device listens
            if os.path.exists(state_file):
                return 0
            time.sleep(0.05)
        print("%s: the device did not start (see %s.log)" % (name, state_file), file=sys.stderr)
        return 1
    # The child leads a session and process group of its own (with anything it starts), and
    # leaves the test runner's output behind, so nothing waits for it.
    os.setsid()
    log = os.open(state_file + ".log", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    null = os.open(os.devnull, os.O_RDONLY)
    os.dup2(null, 0)
    os.dup2(log, 1)
    os.dup2(log, 2)
    asyncio.run(serve())
    return 0


def start(state_file, port):
    if os.path.exists(state_file):
        stop(state_file)
    return run_in_background(state_file, lambda: serve(state_file, port), "modbus_device")


def set_values(state_file, words):
    with open(state_file) as f:
        control = int(f.read().split()[1])
    with socket.create_connection(("127.0.0.1", control), timeout=10) as s:
        s.sendall(("set " + " ".join(words) + "\n").encode())
        return 0 if s.makefile().readline().strip() == "ok" else 1


def stop(state_file):
    try:
        with open(state_file) as f:
            pid = int(f.read().split()[3])
        os.kill(pid, signal.SIGTERM)
    except (OSError, ValueError, IndexError):
        pass
    for name in (state_file, state_file + ".tmp"):
        if os.path.exists(name):
            os.remove(name)
    return 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["set"] and len(sys.argv) >= 6:
        sys.exit(set_values(sys.argv[2], sys.argv[3:]))
    if len(sys.argv) not in (3, 4) or sys.argv[1] not in ("start", "stop"):
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    if sys.argv[1] == "stop":
        sys.exit(stop(sys.argv[2]))
    sys.exit(start(sys.argv[2], int(sys.argv[3]) if len(sys.argv) == 4 else 0))
