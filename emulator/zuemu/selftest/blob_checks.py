"""The blob service endpoints of blob.py through the emulator's HTTP core,
against Azurite behind the storage proxy."""

import calendar
import http.client
import json
import os
import time
import urllib.parse
import xml.etree.ElementTree as ET

from .storage_case import TIMEOUT, Env, StorageCase, block_list_body


class BlobEndpoints(StorageCase):
    """blob.py through the emulator's HTTP core (server.py)."""

    @classmethod
    def setUpClass(cls):
        from .. import blob, server
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
        from .. import blob
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
        from .. import blob
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
