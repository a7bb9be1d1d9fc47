"""Tovik client: talk to a `tovik serve` instance on this machine.

    import tovik
    with tovik.connect("127.0.0.1:7337", password="...") as client:
        orders = client.warren("shop").den("orders")
        orders.put("o1", {"item": "tea", "qty": 2})
        print(orders.get("o1"))

Standard library only. A Client is not thread-safe: one per thread.
"""
from ._watch import Change, Watch
from .client import Client, Den, DistinctValues, Warren, connect
from .errors import (AlreadyExists, AuthenticationError, ConnectionLost, DatabaseFull,
                     FeedPositionLost, InvalidInput, NotFound, TovikError)

__all__ = [
    "connect", "Client", "Warren", "Den", "DistinctValues", "TovikError", "AuthenticationError",
    "ConnectionLost", "AlreadyExists", "NotFound", "InvalidInput", "DatabaseFull",
    "FeedPositionLost", "Watch", "Change",
]
__version__ = "0.1.0"
