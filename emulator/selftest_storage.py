#!/usr/bin/env python3
"""Self-test of the emulator's storage side against a real Azurite.

Starts Azurite and the storage proxy once and checks: SAS tokens signed by
azstore are accepted for bare Put Block / Put Block List requests (no
x-ms-version or other headers), what BlobStore reads back, the proxy's
journal, counters, strict-mode refusals and faults, and the blob service
endpoints of blob.py through the emulator's HTTP core.

Standard library only; exits non-zero on failure.
"""

import base64
import calendar
import hashlib
import http.client
import json
import os
import socket
import sys
import threading
import time
import unittest
import urllib.parse
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from zuemu import azstore  # noqa: E402
from zuemu.azurite import Azurite  # noqa: E402
from zuemu.storage_proxy import StorageProxy  # noqa: E402

NODE_MODULES = os.environ.get("ZUEMU_NODE_MODULES",
                              os.path.join(HERE, "node_modules"))
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


def setUpModule():
    Env.azurite = Azurite(NODE_MODULES)
    Env.azurite_port = Env.azurite.start()
    Env.proxy = StorageProxy(Env.azurite_port)
    Env.proxy_port = Env.proxy.start()
    Env.store = azstore.BlobStore(
        "http://127.0.0.1:%d/devstoreaccount1" % Env.azurite_port)


def tearDownModule():
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


class SasAndRoundTrip(StorageCase):
    def test_bare_put_block_with_sas_is_accepted_by_azurite(self):
        status, body, _ = self.put_block("direct.bin", "MDAwMDAx", b"abc",
                                         port=Env.azurite_port)
        self.assertEqual(201, status, body)
        self.assertEqual([("MDAwMDAx", 3)],
                         Env.store.uncommitted_block_list(self.container,
                                                          "direct.bin"))

    def test_wrong_signature_is_refused_with_403(self):
        bad = self.sas.replace("sig=", "sig=AAAA")
        status, body, _ = self.put_block("x.bin", "MDAwMDAx", b"abc", sas=bad)
        self.assertEqual(403, status)
        self.assertIn(b"AuthorizationFailure", body)
        # A SAS for another container does not open this one either.
        other = azstore.container_sas(self.container + "x")
        status, _, _ = self.put_block("x.bin", "MDAwMDAx", b"abc", sas=other)
        self.assertEqual(403, status)
        self.assertEqual([], Env.store.uncommitted_block_list(self.container,
                                                              "x.bin"))

    def test_read_only_sas_cannot_write(self):
        ro = azstore.container_sas(self.container, permissions="rl")
        status, _, _ = self.put_block("ro.bin", "MDAwMDAx", b"abc", sas=ro)
        self.assertEqual(403, status)

    def test_blob_sas_is_limited_to_its_blob(self):
        sas = azstore.blob_sas(self.container, "dir/one file.bin")
        status, body, _ = self.put_block("dir/one file.bin", "MDAwMDAx", b"1",
                                         sas=sas)
        self.assertEqual(201, status, body)
        status, _, _ = self.put_block("dir/other.bin", "MDAwMDAx", b"1",
                                      sas=sas)
        self.assertEqual(403, status)

    def test_blocks_and_list_via_proxy_round_trip(self):
        name = "backup/file one.dat"
        blocks = [os.urandom(1000), os.urandom(777), b""]
        ids = [block_id(i + 1) for i in range(3)]
        Env.proxy.set_strict(False)  # the empty last block is allowed here
        conn = self.conn()
        try:
            for bid, data in zip(ids, blocks):
                status, body, _ = self.put_block(name, bid, data, conn=conn)
                self.assertEqual(201, status, body)
            status, body = self.put_block_list(name, ids, conn=conn)
            self.assertEqual(201, status, body)
        finally:
            conn.close()
        self.assertEqual(list(zip(ids, [1000, 777, 0])),
                         Env.store.committed_block_list(self.container, name))
        self.assertEqual(b"".join(blocks),
                         Env.store.get_blob(self.container, name))
        self.assertEqual(1777, Env.store.blob_size(self.container, name))
        self.assertEqual([name], Env.store.list_blobs(self.container))

        stats = Env.proxy.stats()
        self.assertEqual(3, stats["put_block"])
        self.assertEqual(1, stats["put_block_list"])
        self.assertEqual(1, stats["max_in_flight_put_block"])
        self.assertEqual(0, stats["in_flight_put_block"])

        journal = Env.proxy.journal()
        self.assertEqual(["put_block"] * 3 + ["put_block_list"],
                         [e["kind"] for e in journal])
        self.assertEqual(sorted(e["seq"] for e in journal),
                         [e["seq"] for e in journal])
        # One client connection carried all four requests (keep-alive).
        self.assertEqual(1, len({e["connection"] for e in journal}))
        first = journal[0]
        self.assertEqual("PUT", first["method"])
        self.assertEqual(self.blob_path(name), first["path"])
        query = urllib.parse.parse_qs(first["query"])
        self.assertEqual([ids[0]], query["blockid"])
        self.assertIn("sig", query)  # kept whole for tests
        self.assertEqual(1000, first["body_len"])
        self.assertEqual(hashlib.sha256(blocks[0]).hexdigest(),
                         first["body_sha256"])
        self.assertEqual(201, first["status"])
        self.assertEqual(block_list_body(ids).decode(), journal[3]["body"])
        self.assertEqual(0, journal[2]["body_len"])

    def test_seven_digit_ids_travel_url_encoded(self):
        bid = base64.b64encode(b"1000000").decode()
        self.assertTrue(bid.endswith("=="))
        status, body, _ = self.put_block("big.bin", bid, b"x" * 10)
        self.assertEqual(201, status, body)
        entry = Env.proxy.journal("put_block")[0]
        self.assertIn("blockid=MTAwMDAwMA%3D%3D", entry["query"])
        status, body = self.put_block_list("big.bin", [bid])
        self.assertEqual(201, status, body)
        self.assertEqual([(bid, 10)],
                         Env.store.committed_block_list(self.container,
                                                        "big.bin"))

    def test_store_reports_absent_blobs(self):
        self.assertIsNone(Env.store.get_blob(self.container, "none"))
        self.assertIsNone(Env.store.blob_size(self.container, "none"))
        self.assertEqual([], Env.store.committed_block_list(self.container,
                                                            "none"))
        self.assertEqual([], Env.store.list_blobs(self.container))
        self.assertFalse(Env.store.create_container(self.container))

    def test_other_requests_are_forwarded_and_journaled(self):
        self.put_block("h.bin", "MDAwMDAx", b"12345")
        self.put_block_list("h.bin", ["MDAwMDAx"])
        conn = self.conn()
        try:
            conn.request("HEAD", "%s?%s" % (self.blob_path("h.bin"), self.sas))
            resp = conn.getresponse()
            resp.read()
            self.assertEqual(200, resp.status)
            self.assertEqual("5", resp.getheader("Content-Length"))
            conn.request("GET", "%s?%s" % (self.blob_path("h.bin"), self.sas))
            resp = conn.getresponse()
            self.assertEqual(b"12345", resp.read())
        finally:
            conn.close()
        kinds = [e["kind"] for e in Env.proxy.journal()]
        self.assertEqual(["put_block", "put_block_list", "storage_other",
                          "storage_other"], kinds)
        self.assertEqual(2, Env.proxy.stats()["storage_other"])


class StrictMode(StorageCase):
    def last_entry(self, kind):
        return Env.proxy.journal(kind)[-1]

    def test_empty_put_block_is_refused_only_in_strict_mode(self):
        status, body, headers = self.put_block("e.bin", "MDAwMDAx", b"")
        self.assertEqual(400, status)
        self.assertIn(b"<Code>InvalidHeaderValue</Code>", body)
        self.assertEqual("InvalidHeaderValue", headers.get("x-ms-error-code"))
        self.assertEqual([], Env.store.uncommitted_block_list(self.container,
                                                              "e.bin"))
        self.assertEqual(1, Env.proxy.stats()["strict_refusals"])

        Env.proxy.set_strict(False)
        status, body, _ = self.put_block("e.bin", "MDAwMDAx", b"")
        self.assertEqual(201, status, body)
        self.assertEqual([("MDAwMDAx", 0)],
                         Env.store.uncommitted_block_list(self.container,
                                                          "e.bin"))

    def test_mixed_id_lengths_within_one_blob_are_refused(self):
        status, _, _ = self.put_block("m.bin", block_id(1), b"a")
        self.assertEqual(201, status)
        long_id = base64.b64encode(b"1000000").decode()
        status, body, _ = self.put_block("m.bin", long_id, b"b")
        self.assertEqual(400, status)
        self.assertIn(b"InvalidBlobOrBlock", body)
        self.assertEqual("InvalidBlobOrBlock",
                         self.last_entry("put_block").get("strict_refusal"))
        # Another blob keeps its own id length.
        status, _, _ = self.put_block("n.bin", long_id, b"b")
        self.assertEqual(201, status)
        # Committing discards the uncommitted blocks: a new length is fine.
        status, body = self.put_block_list("m.bin", [block_id(1)])
        self.assertEqual(201, status, body)
        status, body, _ = self.put_block("m.bin", long_id, b"c")
        self.assertEqual(201, status, body)

    def test_more_than_50000_ids_are_refused(self):
        self.assertEqual(201, self.put_block("l.bin", block_id(1), b"a")[0])
        status, body = self.put_block_list(
            "l.bin", [block_id(1)] * 50001)
        self.assertEqual(400, status)
        self.assertIn(b"<Code>InvalidBlockList</Code>", body)
        self.assertEqual("InvalidBlockList",
                         self.last_entry("put_block_list").get(
                             "strict_refusal"))
        self.assertEqual([], Env.store.committed_block_list(self.container,
                                                            "l.bin"))

    def test_reset_restores_strict_mode(self):
        Env.proxy.set_strict(False)
        self.assertFalse(Env.proxy.stats()["strict"])
        Env.proxy.reset_stats()
        self.assertTrue(Env.proxy.stats()["strict"])


class InFlight(StorageCase):
    def slow_put(self, name, bid, data, release, result):
        """Sends the request head at once and the body only when `release`
        is set, so the request stays in flight meanwhile."""
        sock = socket.create_connection(("127.0.0.1", Env.proxy_port),
                                        timeout=TIMEOUT)
        try:
            path = "%s?comp=block&blockid=%s&%s" % (self.blob_path(name), bid,
                                                     self.sas)
            head = ("PUT %s HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                    "Content-Length: %d\r\n\r\n" % (path, len(data)))
            sock.sendall(head.encode("ascii"))
            release.wait(TIMEOUT)
            sock.sendall(data)
            reply = sock.makefile("rb").readline()
            result.append(int(reply.split()[1]))
        finally:
            sock.close()

    def wait_for(self, predicate, what):
        deadline = time.monotonic() + TIMEOUT
        while not predicate():
            if time.monotonic() > deadline:
                self.fail("timed out waiting for " + what)
            time.sleep(0.01)

    def test_two_concurrent_put_blocks_count_two(self):
        release = threading.Event()
        results = []
        threads = [threading.Thread(target=self.slow_put,
                                    args=("c%d.bin" % i, block_id(1),
                                          b"data%d" % i, release, results))
                   for i in range(2)]
        for t in threads:
            t.start()
        try:
            self.wait_for(lambda: Env.proxy.stats()["in_flight_put_block"]
                          == 2, "two Put Blocks in flight")
        finally:
            release.set()
            for t in threads:
                t.join(TIMEOUT)
        self.assertEqual([201, 201], results)
        stats = Env.proxy.stats()
        self.assertEqual(2, stats["max_in_flight_put_block"])
        self.assertEqual(0, stats["in_flight_put_block"])
        self.assertEqual(2, stats["put_block"])

    def test_back_to_back_put_blocks_count_one(self):
        # Many sequential requests, on one and on several connections: the
        # count is released before the answer goes out, so a client that
        # sends the next block right after an answer never counts twice.
        conn = self.conn()
        try:
            for n in range(1, 21):
                status, _, _ = self.put_block("s.bin", block_id(n), b"x",
                                              conn=conn)
                self.assertEqual(201, status)
        finally:
            conn.close()
        for n in range(21, 31):
            self.assertEqual(201, self.put_block("s.bin", block_id(n),
                                                 b"y")[0])
        stats = Env.proxy.stats()
        self.assertEqual(30, stats["put_block"])
        self.assertEqual(1, stats["max_in_flight_put_block"])

    def test_delayed_request_stays_in_flight(self):
        Env.proxy.inject("put_block", {"fault": "delay", "seconds": 0.3})
        results = []
        t = threading.Thread(target=lambda: results.append(
            self.put_block("d.bin", block_id(1), b"z")[0]))
        t.start()
        self.wait_for(lambda: Env.proxy.stats()["in_flight_put_block"] == 1,
                      "a delayed Put Block in flight")
        t.join(TIMEOUT)
        self.assertEqual([201], results)
        self.assertEqual(0, Env.proxy.stats()["in_flight_put_block"])


class Faults(StorageCase):
    def uncommitted(self, name):
        return Env.store.uncommitted_block_list(self.container, name)

    def test_status_fault_answers_without_storing(self):
        Env.proxy.inject("put_block", {"fault": "status", "status": 503})
        status, body, _ = self.put_block("f.bin", block_id(1), b"abc")
        self.assertEqual(503, status)
        self.assertIn(b"<Error>", body)
        self.assertEqual([], self.uncommitted("f.bin"))
        # The fault was used up: the next request goes through.
        self.assertEqual(201, self.put_block("f.bin", block_id(1), b"abc")[0])
        self.assertEqual([(block_id(1), 3)], self.uncommitted("f.bin"))
        entries = Env.proxy.journal("put_block")
        self.assertEqual([503, 201], [e["status"] for e in entries])
        self.assertEqual("status", entries[0].get("fault"))

    def test_status_fault_with_body_and_count(self):
        Env.proxy.inject("put_block_list", {"fault": "status", "status": 500,
                                            "body": "custom text",
                                            "count": 2})
        self.assertEqual(201, self.put_block("g.bin", block_id(1), b"a")[0])
        for _ in range(2):
            status, body = self.put_block_list("g.bin", [block_id(1)])
            self.assertEqual(500, status)
            self.assertEqual(b"custom text", body)
        status, body = self.put_block_list("g.bin", [block_id(1)])
        self.assertEqual(201, status, body)

    def test_forward_then_status_stores_the_block(self):
        Env.proxy.inject("put_block", {"fault": "forward_then_status",
                                       "status": 500})
        status, _, _ = self.put_block("fw.bin", block_id(1), b"stored")
        self.assertEqual(500, status)
        self.assertEqual([(block_id(1), 6)], self.uncommitted("fw.bin"))

    def test_reset_closes_without_answer(self):
        Env.proxy.inject("put_block", {"fault": "reset"})
        with self.assertRaises((http.client.RemoteDisconnected,
                                ConnectionResetError, BrokenPipeError)):
            self.put_block("r.bin", block_id(1), b"abc")
        self.assertEqual([], self.uncommitted("r.bin"))
        self.assertIsNone(Env.proxy.journal("put_block")[0]["status"])
        self.assertEqual(0, Env.proxy.stats()["in_flight_put_block"])

    def test_stall_leaves_the_client_waiting(self):
        Env.proxy.inject("put_block", {"fault": "stall", "seconds": 3})
        conn = self.conn(timeout=0.5)
        try:
            conn.request("PUT", "%s?comp=block&blockid=%s&%s" % (
                self.blob_path("st.bin"), block_id(1), self.sas), body=b"abc")
            with self.assertRaises((socket.timeout, TimeoutError,
                                    http.client.IncompleteRead)):
                resp = conn.getresponse()
                resp.read()
        finally:
            conn.close()
        self.assertEqual([], self.uncommitted("st.bin"))
        # The retry after the client's timeout is served normally.
        self.assertEqual(201, self.put_block("st.bin", block_id(1), b"a")[0])
        self.assertEqual(1, Env.proxy.stats()["max_in_flight_put_block"])

    def test_garbage_empty_and_truncated_answers(self):
        Env.proxy.inject("put_block_list", {"fault": "garbage"})
        Env.proxy.inject("put_block_list", {"fault": "empty"})
        Env.proxy.inject("put_block_list", {"fault": "truncated"})
        self.assertEqual(201, self.put_block("ge.bin", block_id(1), b"a")[0])

        status, body = self.put_block_list("ge.bin", [block_id(1)])
        self.assertEqual(200, status)
        self.assertTrue(body)
        self.assertNotIn(b"<?xml", body)

        status, body = self.put_block_list("ge.bin", [block_id(1)])
        self.assertEqual((200, b""), (status, body))

        with self.assertRaises(http.client.IncompleteRead):
            self.put_block_list("ge.bin", [block_id(1)])
        # None of the three reached Azurite.
        self.assertEqual([], Env.store.committed_block_list(self.container,
                                                            "ge.bin"))
        status, body = self.put_block_list("ge.bin", [block_id(1)])
        self.assertEqual(201, status, body)

    def test_faults_apply_to_their_kind_only(self):
        Env.proxy.inject("put_block_list", {"fault": "status", "status": 500})
        self.assertEqual(201, self.put_block("k.bin", block_id(1), b"a")[0])
        self.assertEqual(500, self.put_block_list("k.bin", [block_id(1)])[0])
        with self.assertRaises(ValueError):
            Env.proxy.inject("put_block", {"fault": "no_such_fault"})
        with self.assertRaises(ValueError):
            Env.proxy.inject("login", {"fault": "status"})

    def test_reset_stats_drops_pending_faults(self):
        # count 0: the fault stays until reset
        Env.proxy.inject("put_block", {"fault": "status", "status": 500,
                                       "count": 0})
        for _ in range(3):
            self.assertEqual(500, self.put_block("z.bin", block_id(1),
                                                 b"a")[0])
        Env.proxy.reset_stats()
        self.assertEqual(201, self.put_block("z.bin", block_id(1), b"a")[0])


def read_answer(reader):
    """One HTTP answer from a buffered reader: (status, headers with
    lower-case names, body), or None when the connection ended first."""
    line = reader.readline()
    if not line:
        return None
    status = int(line.split()[1])
    headers = {}
    while True:
        field = reader.readline()
        if field in (b"\r\n", b"\n", b""):
            break
        name, _, value = field.decode("latin-1").partition(":")
        headers[name.strip().lower()] = value.strip()
    length = int(headers.get("content-length", "0"))
    return status, headers, reader.read(length)


class ReplyFaults(StorageCase):
    """lost_reply and extra_reply, seen on the wire: a raw connection reads
    every byte the proxy sends."""

    def setUp(self):
        super().setUp()
        self.sock = socket.create_connection(("127.0.0.1", Env.proxy_port),
                                              timeout=TIMEOUT)
        self.reader = self.sock.makefile("rb")

    def tearDown(self):
        self.reader.close()
        self.sock.close()
        super().tearDown()

    def send(self, path, body):
        self.sock.sendall(("PUT %s HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                           "Content-Length: %d\r\n\r\n" % (path, len(body))
                           ).encode("ascii") + body)

    def send_block(self, name, n, data):
        self.send("%s?comp=block&blockid=%s&%s" % (
            self.blob_path(name), urllib.parse.quote(block_id(n), safe=""),
            self.sas), data)

    def wait_for_strays(self, **expected):
        deadline = time.monotonic() + TIMEOUT
        while any(Env.proxy.strays()[k] != v for k, v in expected.items()):
            if time.monotonic() > deadline:
                self.fail("strays %r, expected %r" % (Env.proxy.strays(),
                                                       expected))
            time.sleep(0.01)

    def test_lost_reply_commits_and_answers_nothing(self):
        self.assertEqual(201, self.put_block("l.bin", block_id(1), b"abc")[0])
        Env.proxy.inject("put_block_list", {"fault": "lost_reply"})
        self.send("%s?comp=blocklist&%s" % (self.blob_path("l.bin"), self.sas),
                  block_list_body([block_id(1)]))
        self.assertEqual(b"", self.sock.recv(65536))  # closed, not one byte
        self.assertEqual([(block_id(1), 3)], Env.store.committed_block_list(
            self.container, "l.bin"))
        entry = Env.proxy.journal("put_block_list")[0]
        self.assertEqual("lost_reply", entry["fault"])
        self.assertIsNone(entry["status"])
        self.assertEqual(201, entry["upstream_status"])
        # Used up: the next commit (of the committed block) is answered.
        again = ('<?xml version="1.0" encoding="utf-8"?><BlockList><Committed>'
                 "%s</Committed></BlockList>" % block_id(1)).encode("ascii")
        self.assertEqual(201,
                         self.put_block_list("l.bin", None, body=again)[0])

    def test_extra_reply_follows_the_answer_at_once(self):
        Env.proxy.inject("put_block", {"fault": "extra_reply"})
        Env.proxy.inject("put_block", {"fault": "extra_reply", "status": 200,
                                       "body": "<Stray/>"})
        self.send_block("e.bin", 1, b"first")
        status, headers, _ = read_answer(self.reader)
        self.assertEqual(201, status)
        self.assertTrue(headers["server"].startswith("Azurite"), headers)
        status, headers, body = read_answer(self.reader)
        self.assertEqual((201, b""), (status, body))
        self.assertTrue(headers["server"].startswith("Windows-Azure-Blob"))
        self.assertEqual(base64.b64encode(hashlib.md5(b"first").digest())
                         .decode(), headers["content-md5"])
        for name in ("etag", "last-modified", "x-ms-request-id", "date"):
            self.assertIn(name, headers)
        # Kept alive: the next request is served on the same connection.
        self.send_block("e.bin", 2, b"second")
        self.assertEqual(201, read_answer(self.reader)[0])
        self.assertEqual((200, b"<Stray/>"), read_answer(self.reader)[::2])
        self.wait_for_strays(pending=0, sent=2)
        self.assertEqual([(block_id(1), 5), (block_id(2), 6)],
                         Env.store.uncommitted_block_list(self.container,
                                                          "e.bin"))
        entries = Env.proxy.journal("put_block")
        self.assertEqual(["extra_reply"] * 2, [e["fault"] for e in entries])
        self.assertEqual(["sent"] * 2, [e["stray"] for e in entries])

    def test_late_extra_reply_waits_for_an_idle_connection(self):
        Env.proxy.inject("put_block", {"fault": "extra_reply", "delay": 0.2})
        self.send_block("d.bin", 1, b"a")
        self.assertEqual(201, read_answer(self.reader)[0])
        self.assertEqual(1, Env.proxy.strays()["pending"])
        # A request that comes first gets its own answer; the stray waits.
        self.send_block("d.bin", 2, b"b")
        status, headers, _ = read_answer(self.reader)
        self.assertEqual(201, status)
        self.assertTrue(headers["server"].startswith("Azurite"), headers)
        self.assertEqual(1, Env.proxy.strays()["pending"])
        status, headers, _ = read_answer(self.reader)  # after the idle spell
        self.assertEqual(201, status)
        self.assertTrue(headers["server"].startswith("Windows-Azure-Blob"))
        self.wait_for_strays(pending=0, sent=1, dropped=0)
        self.assertEqual("sent", Env.proxy.journal("put_block")[0]["stray"])
        self.send_block("d.bin", 3, b"c")
        self.assertEqual(201, read_answer(self.reader)[0])

    def test_late_extra_reply_is_dropped_when_the_client_closes(self):
        Env.proxy.inject("put_block", {"fault": "extra_reply", "delay": 30})
        self.send_block("c.bin", 1, b"a")
        self.assertEqual(201, read_answer(self.reader)[0])
        self.sock.shutdown(socket.SHUT_RDWR)
        self.wait_for_strays(pending=0, sent=0, dropped=1)
        self.assertEqual("dropped", Env.proxy.journal("put_block")[0]["stray"])


class BlobEndpoints(StorageCase):
    """blob.py through the emulator's HTTP core (server.py)."""

    @classmethod
    def setUpClass(cls):
        from zuemu import blob, server
        cls.server = server
        cls.emu = server.Emulator({"ann": "s3cr3t"}, "/webconsole")
        cls.emu.add_routes(blob.routes(cls.emu))
        cls.console_port, _ = cls.emu.start()
        cls.emu.storage = Env.store
        cls.emu.proxy = Env.proxy
        cls.emu.proxy_base = "http://127.0.0.1:%d/devstoreaccount1" % \
            Env.proxy_port
        cls.token = cls.emu.issue_token("ann")

    @classmethod
    def tearDownClass(cls):
        cls.emu.stop()

    def setUp(self):
        super().setUp()
        self.emu.reset()

    def post(self, path, body, auth=True, ctype="application/xml"):
        conn = self.conn(port=self.console_port)
        try:
            headers = {"Content-type": ctype}
            if auth:
                headers["Authtoken"] = self.token
            conn.request("POST", path, body=body.encode("utf-8"),
                         headers=headers)
            resp = conn.getresponse()
            return resp.status, resp.read().decode("utf-8")
        finally:
            conn.close()

    @staticmethod
    def setup_body(guid):
        return ("<Workflow_StartWorkflow><options><inputs><VestrumGUID>%s"
                "</VestrumGUID><SetID>set7</SetID><JobId>4294967295</JobId>"
                "<BackupLevel>-1</BackupLevel><FullJobId>12</FullJobId>"
                "</inputs></options><outputFormat>0</outputFormat>"
                "</Workflow_StartWorkflow>" % guid)

    @staticmethod
    def finalize_body(guid, files):
        return ("<Workflow_StartWorkflow><options><inputs><VestrumGUID>%s"
                "</VestrumGUID><JobId>77</JobId>%s<BackupLevel>2"
                "</BackupLevel></inputs></options><outputFormat>0"
                "</outputFormat></Workflow_StartWorkflow>" % (guid, "".join(
                    "<FileName>%s</FileName><FileSize>%d</FileSize>"
                    "<FullFilePath>%s</FullFilePath>" % f for f in files)))

    def upload(self, service_url, sas, blob_name, data):
        """Puts one block and commits it the way the library does."""
        split = urllib.parse.urlsplit(service_url)
        conn = http.client.HTTPConnection(split.hostname, split.port,
                                          timeout=TIMEOUT)
        try:
            conn.request("PUT", "%s/%s?comp=block&blockid=MDAwMDAx&%s"
                         % (split.path, blob_name, sas), body=data)
            resp = conn.getresponse()
            resp.read()
            self.assertEqual(201, resp.status)
            conn.request("PUT", "%s/%s?comp=blocklist&%s"
                         % (split.path, blob_name, sas),
                         body=block_list_body(["MDAwMDAx"]))
            resp = conn.getresponse()
            resp.read()
            self.assertEqual(201, resp.status)
        finally:
            conn.close()

    def parse_setup(self, text):
        root = ET.fromstring(text)
        self.assertEqual("SetupResult", root.tag)
        return root.findtext("AzureSASServiceURL"), root.findtext(
            "AzureSASToken")

    def test_api_setup_upload_and_finalize(self):
        guid = "6F9619FF-8B86-D011-B42D-00C04FD430C8"
        status, text = self.post("/webconsole/api/zudrbackup/setup",
                                 self.setup_body(guid))
        self.assertEqual(200, status, text)
        url, sas = self.parse_setup(text)
        container = guid.lower()
        self.assertEqual(self.emu.proxy_base + "/" + container, url)
        self.assertIn("sig=", sas)
        self.assertFalse(sas.startswith("?"))

        data = os.urandom(5000)
        self.upload(url, sas, "folder/file%201.bak", data)
        self.assertEqual(data, Env.store.get_blob(container,
                                                  "folder/file 1.bak"))

        file_url = url + "/folder/file 1.bak"
        status, text = self.post("/webconsole/api/zudrbackup/finalize",
                                 self.finalize_body(guid, [("file 1.bak",
                                                            5000, file_url)]))
        self.assertEqual(200, status)
        self.assertEqual("true", ET.fromstring(text).findtext("isSuccess"))
        done = self.emu.completions[-1]
        self.assertEqual("api", done["mode"])
        self.assertEqual(guid, done["guid"])
        self.assertEqual(77, done["job_id"])
        self.assertEqual(2, done["backup_level"])
        self.assertEqual([{"name": "file 1.bak", "size": 5000,
                           "url": file_url}], done["files"])

        # Wrong size, unknown blob and a foreign URL are all refused.
        for files in ([("file 1.bak", 4999, file_url)],
                      [("file 1.bak", 5000, url + "/folder/missing")],
                      [("file 1.bak", 5000, "http://elsewhere/x/y")]):
            status, text = self.post(
                "/webconsole/api/Workflow/Finalize_DRBackup_ZUCloud/Action/"
                "Execute?outputonly=true", self.finalize_body(guid, files))
            self.assertEqual(200, status)
            root = ET.fromstring(text)
            self.assertEqual("false", root.findtext("isSuccess"))
            self.assertTrue(root.findtext("errorMessage"))
        self.assertEqual("workflow", self.emu.completions[-1]["mode"])
        self.assertEqual(4, len(self.emu.completions))

    @staticmethod
    def expiry(sas):
        return urllib.parse.parse_qs(sas)["se"][0]

    def test_sas_lifetime_knob_sets_the_expiry_azurite_checks(self):
        from zuemu import blob
        guid = "0F9619FF-8B86-D011-B42D-00C04FD430C9"
        path = "/webconsole/api/zudrbackup/setup"
        default_sas = self.parse_setup(self.post(path, self.setup_body(guid))[1])[1]
        # "se" has whole seconds (the fraction is cut off), so a lifetime of
        # N seconds leaves between N - 1 and N: 3 keeps the upload below
        # valid on a busy machine.
        self.emu.config["sas_lifetime_seconds"] = 3
        url, sas = self.parse_setup(self.post(path, self.setup_body(guid))[1])
        def parse(se):
            return calendar.timegm(time.strptime(se, "%Y-%m-%dT%H:%M:%SZ"))
        self.assertGreater(parse(self.expiry(default_sas)) - parse(self.expiry(sas)),
                           blob.SAS_LIFETIME_SECONDS - 60)
        # Valid now, refused by Azurite once its "se" has passed.
        self.upload(url, sas, "short.bin", b"abc")
        time.sleep(max(0.0, parse(self.expiry(sas)) - time.time()) + 1.2)
        split = urllib.parse.urlsplit(url)
        conn = self.conn(port=split.port)
        try:
            conn.request("PUT", "%s/late.bin?comp=block&blockid=MDAwMDAx&%s"
                         % (split.path, sas), body=b"abc")
            resp = conn.getresponse()
            body = resp.read()
        finally:
            conn.close()
        # Azurite names an expired SAS AuthorizationFailure; Azure names it
        # AuthenticationFailed.
        self.assertEqual(403, resp.status)
        self.assertRegex(body, b"<Code>(AuthorizationFailure|AuthenticationFailed)</Code>")
        # sas_lifetime() serves all three set-ups; a value that is not a
        # whole number above 0 leaves the default.
        for bad in (0, -5, "10", True):
            self.emu.config["sas_lifetime_seconds"] = bad
            self.assertEqual(blob.SAS_LIFETIME_SECONDS, blob.sas_lifetime(self.emu))
        self.emu.config["sas_lifetime_seconds"] = 30
        self.assertEqual(30, blob.sas_lifetime(self.emu))

    def test_sas_permissions_knob_hands_out_a_token_azurite_lets_only_write(self):
        from zuemu import blob
        guid = "1F9619FF-8B86-D011-B42D-00C04FD430CA"
        path = "/webconsole/api/zudrbackup/setup"
        self.emu.config["sas_permissions"] = "wc"
        url, sas = self.parse_setup(self.post(path, self.setup_body(guid))[1])
        self.assertEqual("cw", urllib.parse.parse_qs(sas)["sp"][0])
        # Put Block and Put Block List are served...
        self.upload(url, sas, "wo.bin", b"abc")
        self.assertEqual(b"abc", Env.store.get_blob(guid.lower(), "wo.bin"))
        # ...every read is refused 403 AuthorizationPermissionMismatch: Get
        # Block List in its XML body and header, Get Blob Properties (HEAD,
        # no body) in the x-ms-error-code header alone.
        split = urllib.parse.urlsplit(url)
        for method, query in (("GET", "comp=blocklist&blocklisttype=committed&"),
                              ("GET", "comp=blocklist&blocklisttype=uncommitted&"),
                              ("HEAD", "")):
            conn = self.conn(port=split.port)
            try:
                conn.request(method, "%s/wo.bin?%s%s" % (split.path, query, sas))
                resp = conn.getresponse()
                body = resp.read()
            finally:
                conn.close()
            self.assertEqual(403, resp.status, (method, query, body))
            self.assertEqual("AuthorizationPermissionMismatch",
                             resp.getheader("x-ms-error-code"), (method, query))
            if method == "GET":
                self.assertIn(b"<Code>AuthorizationPermissionMismatch</Code>", body)
        # The same token with read permission reads.
        self.emu.config["sas_permissions"] = "rcw"
        url, sas = self.parse_setup(self.post(path, self.setup_body(guid))[1])
        conn = self.conn(port=split.port)
        try:
            conn.request("HEAD", "%s/wo.bin?%s" % (split.path, sas))
            self.assertEqual(200, conn.getresponse().status)
        finally:
            conn.close()
        # Anything but distinct letters of "racwdl" leaves the default.
        for bad in ("", "rw!", "ww", 7, None, "x"):
            self.emu.config["sas_permissions"] = bad
            self.assertEqual(blob.SAS_PERMISSIONS, blob.sas_permissions(self.emu))

    def test_workflow_setup_and_errors(self):
        status, text = self.post(
            "/webconsole/api/Workflow/Setup_DRBackup_ZUCloudV3/Action/Execute"
            "?outputonly=true", self.setup_body("Guid_With.Odd--Chars"))
        self.assertEqual(200, status, text)
        url, sas = self.parse_setup(text)
        self.assertTrue(url.endswith("/guid-with-odd-chars"), url)
        # The container exists already: creating it again reports so.
        self.assertFalse(Env.store.create_container("guid-with-odd-chars"))

        status, text = self.post("/webconsole/api/zudrbackup/setup",
                                 self.setup_body(""))
        root = ET.fromstring(text)
        self.assertIsNone(root.find("AzureSASToken"))
        self.assertTrue(root.findtext("errorMessage"))

        evil = ('<?xml version="1.0"?><!DOCTYPE r [<!ENTITY a "aaaa">]>'
                + self.setup_body("&a;"))
        status, _ = self.post("/webconsole/api/zudrbackup/setup", evil)
        self.assertEqual(400, status)
        status, _ = self.post("/webconsole/api/zudrbackup/setup",
                              self.setup_body("g1234"), auth=False)
        self.assertEqual(401, status)

    def test_setup_reply_override(self):
        self.emu.config["blob_setup_reply"] = \
            "<SetupResult><AzureSASServiceURL>{service_url}" \
            "</AzureSASServiceURL></SetupResult>"
        status, text = self.post("/webconsole/api/zudrbackup/setup",
                                 self.setup_body("override-guid"))
        url, sas = self.parse_setup(text)
        self.assertEqual(self.emu.proxy_base + "/override-guid", url)
        self.assertIsNone(sas)

    def test_azure_functions_setup_and_finalize(self):
        guid = "AF-guid-0001"
        request = {"VestrumGUID": guid, "VestrumId": -5, "SetId": "s",
                   "JobId": 4000000000, "BackupLevel": 1, "FullJobId": 3,
                   "Files": [{"Name": "a.bak"}, {"Name": "b.bak"}]}
        status, text = self.post("/azfunc/api/Setup", json.dumps(request),
                                 auth=False, ctype="application/json")
        self.assertEqual(200, status, text)
        reply = json.loads(text)
        self.assertTrue(reply["containerCreated"])
        url = reply["azureSASServiceURL"]
        self.assertEqual(self.emu.proxy_base + "/af-guid-0001", url)
        tokens = {t["name"]: t["sasToken"] for t in reply["azureSASTokens"]}
        self.assertEqual({"a.bak", "b.bak"}, set(tokens))
        self.assertNotEqual(tokens["a.bak"], tokens["b.bak"])
        rec = self.emu.completions[-1]
        self.assertEqual("af_setup", rec["mode"])
        self.assertIn('"VestrumId": -5', rec["raw"])
        self.assertEqual(["a.bak", "b.bak"], rec["files"])

        self.upload(url, tokens["a.bak"], "f/a.bak", b"hello")
        files = [{"Name": "a.bak", "Size": 5, "Url": url + "/f/a.bak"}]
        final = {"VestrumGUID": guid, "VestrumId": -5, "JobId": 4000000000,
                 "BackupLevel": 1, "Files": files}
        status, text = self.post("/azfunc/api/Finalize", json.dumps(final),
                                 auth=False, ctype="application/json")
        self.assertEqual({"isSuccess": True}, json.loads(text))
        self.assertEqual("af_finalize", self.emu.completions[-1]["mode"])

        files[0]["Size"] = 6
        status, text = self.post("/azfunc/api/Finalize", json.dumps(final),
                                 auth=False, ctype="application/json")
        reply = json.loads(text)
        self.assertFalse(reply["isSuccess"])
        self.assertTrue(reply["errorMessage"])
        self.assertTrue(reply["invocationId"])

        status, text = self.post("/azfunc/api/Setup",
                                 json.dumps({"VestrumGUID": ""}), auth=False,
                                 ctype="application/json")
        reply = json.loads(text)
        self.assertFalse(reply["containerCreated"])
        self.assertTrue(reply["errorMessage"])
        self.assertTrue(reply["invocationId"])


if __name__ == "__main__":
    started = time.monotonic()
    result = unittest.main(exit=False, verbosity=2).result
    print("%d passed, %d failed" % (
        result.testsRun - len(result.failures) - len(result.errors)
        - len(result.skipped), len(result.failures) + len(result.errors)))
    print("storage self-test took %.1f s" % (time.monotonic() - started),
          file=sys.stderr)
    sys.exit(0 if result.wasSuccessful() else 1)
