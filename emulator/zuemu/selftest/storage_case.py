"""Azurite and the storage proxy, started once for every check, and the
base case of the checks: a fresh container per test and the requests the
library sends."""

import base64
import http.client
import os
import unittest
import urllib.parse

from .. import azstore
from ..azurite import Azurite
from ..storage_proxy import StorageProxy

TIMEOUT = 20  # bound for every single HTTP exchange


def block_id(n):
    """The client's block id for block number n: zero-padded decimal text,
    Base64 encoded (not URL-encoded)."""
    return base64.b64encode(("%06d" % n).encode("ascii")).decode("ascii")


def block_list_body(ids):
    return ('<?xml version="1.0" encoding="utf-8"?> <BlockList>'
            + "".join("<Uncommitted>%s</Uncommitted>" % i for i in ids)
            + "</BlockList>").encode("utf-8")


class Env:
    azurite = None
    proxy = None
    store = None
    azurite_port = None
    proxy_port = None


def start(node_modules):
    """Starts Azurite (from `node_modules`) and the storage proxy."""
    Env.azurite = Azurite(node_modules)
    Env.azurite_port = Env.azurite.start()
    Env.proxy = StorageProxy(Env.azurite_port)
    Env.proxy_port = Env.proxy.start()
    Env.store = azstore.BlobStore(
        "http://127.0.0.1:%d/devstoreaccount1" % Env.azurite_port)


def stop():
    if Env.proxy is not None:
        Env.proxy.stop()
    if Env.azurite is not None:
        Env.azurite.stop()


class StorageCase(unittest.TestCase):
    container = None

    def setUp(self):
        Env.proxy.reset_stats()
        # A fresh container per test keeps the tests independent.
        self.container = ("t%s-%d" % (self.id().rsplit(".", 1)[-1].lower()
                                      .replace("_", ""), os.getpid()))[:63]
        self.container = self.container.rstrip("-")
        Env.store.create_container(self.container)
        self.sas = azstore.container_sas(self.container)

    def conn(self, port=None, timeout=TIMEOUT):
        return http.client.HTTPConnection("127.0.0.1",
                                          port or Env.proxy_port,
                                          timeout=timeout)

    def blob_path(self, name):
        return "/devstoreaccount1/%s/%s" % (self.container,
                                            urllib.parse.quote(name))

    def put_block(self, name, bid, data, conn=None, sas=None, port=None):
        """Bare Put Block exactly as the library sends it: the SAS in the
        query and no request headers of our own."""
        own = conn is None
        conn = conn or self.conn(port)
        try:
            path = "%s?comp=block&blockid=%s&%s" % (
                self.blob_path(name), urllib.parse.quote(bid, safe=""),
                sas or self.sas)
            conn.request("PUT", path, body=data)
            resp = conn.getresponse()
            return resp.status, resp.read(), dict(resp.getheaders())
        finally:
            if own:
                conn.close()

    def put_block_list(self, name, ids, conn=None, body=None):
        own = conn is None
        conn = conn or self.conn()
        try:
            path = "%s?comp=blocklist&%s" % (self.blob_path(name), self.sas)
            conn.request("PUT", path,
                         body=block_list_body(ids) if body is None else body)
            resp = conn.getresponse()
            return resp.status, resp.read()
        finally:
            if own:
                conn.close()
