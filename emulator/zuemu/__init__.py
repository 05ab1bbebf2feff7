"""Local emulator of the cloud web console, its upload service and the Azure
Functions endpoints, for tests and the demo (Python standard library only).

Modules:
  server           HTTP/1.1 core: shared state, sessions, journal, faults, routing
  console_handler  the core's request handler: reading, dispatch, replies
  console_faults   faults the core applies itself (generic and reply faults)
  control_api      the control API (/_emu/...) tests use
  exchange         Request, Response, Route and JSON replies, as handlers see them
  login            the login endpoint (both services use it)
  messages         XML bodies of the web console's structured messages
  folder           folder service endpoints (set-up workflow, folders, chunked upload)
  blob             blob service endpoints (set-up, finalize, Azure Functions)
  handlers         what the console's and the proxy's handlers share
  strays           stray replies of "extra_reply" (console and storage proxy)
  storage_proxy    fault-injecting, journaling proxy in front of Azurite: its state
  proxy_relay      the proxy's request handler: journal, strict mode, relay
  proxy_faults     the proxy's injected faults
  proxy_requests   storage request kinds and storage's error bodies
  azurite          starts and stops Azurite
  azstore          SAS signing and reading what Azurite stores
  certificates     test certificates
  selftest/        the storage self-test's checks (emulator/selftest_storage.py)
"""
