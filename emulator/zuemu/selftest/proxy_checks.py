"""The storage proxy in front of Azurite: SAS tokens, the round trip of
blocks and block lists, the journal and counters, strict-mode refusals and
the count of Put Blocks in flight."""

import base64
import hashlib
import os
import socket
import threading
import time
import urllib.parse

from .. import azstore
from .storage_case import TIMEOUT, Env, StorageCase, block_id, block_list_body


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
