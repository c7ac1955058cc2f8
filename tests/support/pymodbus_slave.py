"""A Modbus RTU slave of an independent library (pymodbus 3.0) on a fresh serial line.

Makes two pseudo-terminal pairs and relays bytes between their master ends:
pymodbus serves on the slave end of the first, the master under test opens
the slave end of the second. Prints that device's name relative to /dev
(such as "pts/5") once the server has opened its port, then serves until
it is killed.

usage: pymodbus_slave.py [--slave A[,A...]] [--holding W,W,...] [--input W,W,...]
                         [--coils B,B,...] [--discrete B,B,...] [--answer-as B]
                         [--baud B] [--log FILE]
  --slave             the addresses served, all with the same values
  --holding, --input  register values from address 0 (16-bit words)
  --coils, --discrete bit values from address 0 (0 or 1)
  --answer-as B       put slave address B into every answer (a miswired line)
  --baud B            the line's speed: requests sent at another speed (or
                      stop bits other than one) are lost on the way, as on a
                      real line; a pseudo-terminal keeps no parity bit, so
                      parity is not told apart. Without it any speed passes.
  --log FILE          one line per read served: "slave function address count"
"""
import argparse
import asyncio
import os
import pty
import select
import termios
import threading
import tty

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server import StartAsyncSerialServer
from pymodbus.transaction import ModbusRtuFramer


def words(text):
    return [int(word, 0) for word in text.split(",")] if text else [0]


def framing_matches(tested_end, baud):
    """Whether the tested end is set to the slaves' speed and one stop bit."""
    if baud is None:
        return True
    attributes = termios.tcgetattr(tested_end)
    speed = getattr(termios, "B%d" % baud)
    return attributes[4] == speed and attributes[2] & termios.CSTOPB == 0


def relay(server_master, tested_master, tested_end, baud):
    ends = {server_master: tested_master, tested_master: server_master}
    while True:
        readable, _, _ = select.select(list(ends), [], [])
        for end in readable:
            try:
                data = os.read(end, 4096)
            except OSError:
                continue
            if end == tested_master and not framing_matches(tested_end, baud):
                continue
            os.write(ends[end], data)


class LoggedSlave(ModbusSlaveContext):
    """A slave that writes down every read it serves."""

    def __init__(self, address, log, **blocks):
        super().__init__(**blocks)
        self.address = address
        self.log = log

    def getValues(self, fc_as_hex, address, count=1):
        if self.log is not None:
            with open(self.log, "a") as log:
                log.write("%d %d %d %d\n" % (self.address, fc_as_hex, address, count))
        return super().getValues(fc_as_hex, address, count)


async def serve(options, server_path, tested_name):
    slaves = {}
    for address in words(options.slave):
        slaves[address] = LoggedSlave(
            address, options.log,
            hr=ModbusSequentialDataBlock(0, words(options.holding)),
            ir=ModbusSequentialDataBlock(0, words(options.input)),
            co=ModbusSequentialDataBlock(0, words(options.coils)),
            di=ModbusSequentialDataBlock(0, words(options.discrete)),
            zero_mode=True,
        )
    context = ModbusServerContext(slaves=slaves, single=False)

    def answer_as(response):
        response.unit_id = options.answer_as
        return response, False

    manipulator = answer_as if options.answer_as is not None else None
    server = await StartAsyncSerialServer(
        context=context, framer=ModbusRtuFramer, port=server_path, baudrate=38400,
        response_manipulator=manipulator, defer_start=True)
    await server.start()
    print(tested_name, flush=True)
    await server.serve_forever()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--slave", default="1")
    parser.add_argument("--holding", default="")
    parser.add_argument("--input", default="")
    parser.add_argument("--coils", default="")
    parser.add_argument("--discrete", default="")
    parser.add_argument("--answer-as", type=int, default=None)
    parser.add_argument("--baud", type=int, default=None)
    parser.add_argument("--log", default=None)
    options = parser.parse_args()
    server_master, server_end = pty.openpty()
    tested_master, tested_end = pty.openpty()
    # Raw from the start: no echo, no line editing, whoever opens them later.
    tty.setraw(server_end)
    tty.setraw(tested_end)
    threading.Thread(target=relay, args=(server_master, tested_master, tested_end, options.baud),
                     daemon=True).start()
    tested_name = os.ttyname(tested_end)[len("/dev/"):]
    asyncio.run(serve(options, os.ttyname(server_end), tested_name))


main()
