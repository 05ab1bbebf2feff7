"""Local emulator of the cloud web console, its upload service and the Azure
Functions endpoints, for tests and the demo (Python standard library only).

Modules:
  server    HTTP/1.1 core: routing, sessions, journal, faults, control API
  messages  XML bodies of the web console's structured messages
  folder    folder service endpoints (set-up workflow, folders, chunked upload)
  blob      blob service endpoints (set-up, finalize, Azure Functions)
"""
