#!/usr/bin/python3
"""A Modbus TCP client for zemhost's tests, on Debian's pymodbus: a client
written apart from the server's library, as a BMS's would be.

    modbus_client.py PORT REQUEST...

Each REQUEST is KIND:UNIT:ADDRESS:ARGUMENT, done in order on one connection:
    bits:1:0:25        read discrete inputs (FC 02), ARGUMENT the count
    inputs:1:0:22      read input registers (FC 04)
    holding:1:0:4      read holding registers (FC 03)
    write:1:0:2        write a single register (FC 06), ARGUMENT the value
    writes:1:0:3,4     write registers (FC 16), ARGUMENT the values

Prints one line a request: "ok V V ...", "exception CODE" (hexadecimal), or
"error TEXT" when no answer came. Exit status 2 when it cannot connect.
"""
import sys

from pymodbus.client import ModbusTcpClient
from pymodbus.pdu import ExceptionResponse


def do(client, kind, unit, address, argument):
    if kind == "bits":
        return client.read_discrete_inputs(address, int(argument), slave=unit)
    if kind == "inputs":
        return client.read_input_registers(address, int(argument), slave=unit)
    if kind == "holding":
        return client.read_holding_registers(address, int(argument), slave=unit)
    if kind == "write":
        return client.write_register(address, int(argument), slave=unit)
    if kind == "writes":
        values = [int(value) for value in argument.split(",")]
        return client.write_registers(address, values, slave=unit)
    raise ValueError("unknown request kind " + kind)


def shown(kind, argument, response):
    if isinstance(response, ExceptionResponse):
        return "exception %02x" % response.exception_code
    if not hasattr(response, "function_code") or response.isError():
        return "error " + str(response).replace("\n", " ")
    if kind == "bits":
        return " ".join(["ok"] + [str(int(bit)) for bit in response.bits[: int(argument)]])
    if kind in ("inputs", "holding"):
        return " ".join(["ok"] + [str(value) for value in response.registers])
    return "ok"


def main():
    port = int(sys.argv[1])
    client = ModbusTcpClient("127.0.0.1", port=port, timeout=5, retries=0)
    if not client.connect():
        print("cannot connect to 127.0.0.1:%d" % port, file=sys.stderr)
        return 2
    try:
        for request in sys.argv[2:]:
            kind, unit, address, argument = request.split(":")
            try:
                response = do(client, kind, int(unit), int(address), argument)
                print(shown(kind, argument, response), flush=True)
            except Exception as failure:  # pylint: disable=broad-except
                print("error " + str(failure).replace("\n", " "), flush=True)
    finally:
        client.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
