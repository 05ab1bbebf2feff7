"""The storage proxy's injected faults, those that spoil the reply of a
request carried out ("lost_reply", "extra_reply") seen on the wire."""

import base64
import hashlib
import http.client
import socket
import time
import urllib.parse

from .storage_case import TIMEOUT, Env, StorageCase, block_id, block_list_body


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
