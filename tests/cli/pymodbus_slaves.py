#!/usr/bin/python3
"""Seven Modbus RTU slaves served by pymodbus, an implementation independent
of Kelvara's simulator: slave n holds VALUES[n-1] as a big-endian float in
input registers 4 and 5.

usage: pymodbus_slaves.py PORT V1 V2 V3 V4 V5 V6 V7
"""
import logging
import struct
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server import StartSerialServer
from pymodbus.transaction import ModbusRtuFramer


def registers(value):
    high, low = struct.unpack(">HH", struct.pack(">f", value))
    return [0, 0, 0, 0, high, low, 0, 0]


def main():
    logging.basicConfig(level=logging.ERROR)
    port = sys.argv[1]
    values = [float(v) for v in sys.argv[2:9]]
    slaves = {
        n + 1: ModbusSlaveContext(ir=ModbusSequentialDataBlock(0, registers(v)), zero_mode=True)
        for n, v in enumerate(values)
    }
    context = ModbusServerContext(slaves=slaves, single=False)
    print("ready", flush=True)
    StartSerialServer(context=context, framer=ModbusRtuFramer, port=port, baudrate=19200,
                      bytesize=8, parity="N", stopbits=1, timeout=0.005)


if __name__ == "__main__":
    main()
