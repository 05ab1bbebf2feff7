#!/usr/bin/env python3
"""Starts the cloud emulator: web console + upload listener on free loopback
ports, optionally Azurite behind the storage proxy. Prints one READY line
with the ports as JSON on stdout, logs to stderr, and serves until SIGTERM
or SIGINT (then stops everything it started, Azurite included)."""

import argparse
import importlib
import json
import os
import signal
import ssl
import sys
import threading
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from zuemu import folder, server  # noqa: E402


def parse_accounts(text):
    accounts = {}
    for item in text.split(","):
        if not item:
            continue
        user, sep, password = item.partition(":")
        if not sep or not user:
            raise SystemExit("--accounts: expected user:password[,user:password]")
        accounts[user] = password
    return accounts


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--accounts", default="ann:s3cr3t")
    ap.add_argument("--prefix", default="/webconsole")
    ap.add_argument("--tls-cert")
    ap.add_argument("--tls-key")
    ap.add_argument("--with-storage", action="store_true")
    ap.add_argument("--node-modules", default=os.path.join(HERE, "node_modules"))
    ap.add_argument("--console-port", type=int, default=0)
    ap.add_argument("--upload-port", type=int, default=0)
    ap.add_argument("--verbose", action="store_true")
    args = ap.parse_args()

    tls = None
    if args.tls_cert:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(args.tls_cert, args.tls_key)

    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())

    emu = server.Emulator(parse_accounts(args.accounts), args.prefix, tls, args.verbose)
    emu.add_routes(folder.routes(emu))
    try:
        blob = importlib.import_module("zuemu.blob")
    except ModuleNotFoundError as exc:
        if exc.name != "zuemu.blob":
            traceback.print_exc()
        server.log("blob service endpoints not available (zuemu.blob not importable)")
    except Exception:
        traceback.print_exc()
        server.log("blob service endpoints not available (zuemu.blob failed to load)")
    else:
        emu.add_routes(blob.routes(emu))

    azurite = proxy = None
    try:
        if args.with_storage:
            from zuemu.azstore import BlobStore
            from zuemu.azurite import Azurite
            from zuemu.storage_proxy import StorageProxy
            azurite = Azurite(args.node_modules)
            blob_port = azurite.start()
            proxy = StorageProxy(blob_port)
            proxy_port = proxy.start()
            emu.storage = BlobStore("http://127.0.0.1:%d/devstoreaccount1" % blob_port)
            emu.proxy = proxy
            emu.proxy_base = "http://127.0.0.1:%d/devstoreaccount1" % proxy_port
        console, upload = emu.start("127.0.0.1", args.console_port, args.upload_port)
        ready = {
            "console": console, "upload": upload,
            "proxy": proxy_port if proxy else None,
            "azurite": blob_port if azurite else None,
            "scheme": emu.scheme, "prefix": emu.prefix,
        }
        sys.stdout.write("READY " + json.dumps(ready) + "\n")
        sys.stdout.flush()
        server.log("serving %s (upload %s)", emu.console_base + emu.prefix, emu.upload_base)
        while not stop.wait(0.5):
            pass
    except Exception:
        traceback.print_exc()
        return 1
    finally:
        emu.stop()
        if proxy is not None and hasattr(proxy, "stop"):
            try:
                proxy.stop()
            except Exception:
                traceback.print_exc()
        if azurite is not None:
            try:
                azurite.stop()
            except Exception:
                traceback.print_exc()
    return 0


if __name__ == "__main__":
    sys.exit(main())
