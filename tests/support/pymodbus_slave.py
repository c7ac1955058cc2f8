"""A Modbus RTU slave of an independent library (pymodbus 3.0) on a fresh serial line.

Makes two pseudo-terminal pairs and relays bytes between their master ends:
pymodbus serves on the slave end of the first, the master under test opens
the slave end of the second. Prints that device's name relative to /dev
(such as "pts/5") once the server has opened its port, then serves until
it is killed.

usage: pymodbus_slave.py --slave A [--holding W,W,...] [--input W,W,...] [--answer-as B]
  --holding, --input  register values from address 0 (16-bit words)
  --answer-as B       put slave address B into every answer (a miswired line)
"""
import argparse
import asyncio
import os
import pty
import select
import threading
import tty

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server import StartAsyncSerialServer
from pymodbus.transaction import ModbusRtuFramer


def words(text):
    return [int(word, 0) for word in text.split(",")] if text else [0]


def relay(first, second):
    ends = {first: second, second: first}
    while True:
        readable, _, _ = select.select(list(ends), [], [])
        for end in readable:
            try:
                data = os.read(end, 4096)
            except OSError:
                continue
            os.write(ends[end], data)


async def serve(options, server_path, tested_name):
    store = ModbusSlaveContext(
        hr=ModbusSequentialDataBlock(0, words(options.holding)),
        ir=ModbusSequentialDataBlock(0, words(options.input)),
        zero_mode=True,
    )
    context = ModbusServerContext(slaves={options.slave: store}, single=False)

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
    parser.add_argument("--slave", type=int, default=1)
    parser.add_argument("--holding", default="")
    parser.add_argument("--input", default="")
    parser.add_argument("--answer-as", type=int, default=None)
    options = parser.parse_args()
    server_master, server_end = pty.openpty()
    tested_master, tested_end = pty.openpty()
    # Raw from the start: no echo, no line editing, whoever opens them later.
    tty.setraw(server_end)
    tty.setraw(tested_end)
    threading.Thread(target=relay, args=(server_master, tested_master), daemon=True).start()
    tested_name = os.ttyname(tested_end)[len("/dev/"):]
    asyncio.run(serve(options, os.ttyname(server_end), tested_name))


main()
