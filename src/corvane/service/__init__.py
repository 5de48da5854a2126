"""The corvane reference service: a small local stand-in for the hosted service.

Run it with ``python -m corvane.service --db PATH``; see README.md, section
"Reference service".  Standard library only.
"""

from corvane.service.server import DEFAULT_MAX_BODY_BYTES, Fault, RequestInfo, ServiceServer, make_server

__all__ = ["DEFAULT_MAX_BODY_BYTES", "Fault", "RequestInfo", "ServiceServer", "make_server"]
