"""Azurite account constants, SAS signing and a small Blob Storage client.

The emulator hands real service SAS tokens to the library under test, signed
with Azurite's development account key, so that Azurite itself checks every
Put Block and Put Block List.  BlobStore is the emulator's own direct line to
Azurite (it bypasses the fault-injecting proxy) and signs its requests with
SharedKey.

Python standard library only.
"""

import base64
import datetime
import hashlib
import hmac
import http.client
import urllib.parse
import xml.etree.ElementTree as ET

# Azurite's built-in development account.  Both values are the publicly
# documented defaults of the storage emulator; they protect nothing.
ACCOUNT = "devstoreaccount1"
ACCOUNT_KEY = ("Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq"
               "/K1SZFPTOtr/KBHBeksoGMGw==")

# SAS version we sign.  Azurite (and Azure) accept requests that carry no
# x-ms-version header when the SAS names its version in "sv"; the library
# under test sends Put Block and Put Block List with no extra header at all.
SAS_VERSION = "2020-04-08"

# x-ms-version used by BlobStore's own SharedKey requests.
API_VERSION = "2021-08-06"


def _key_bytes():
    return base64.b64decode(ACCOUNT_KEY)


def _sign(string_to_sign):
    digest = hmac.new(_key_bytes(), string_to_sign.encode("utf-8"),
                      hashlib.sha256).digest()
    return base64.b64encode(digest).decode("ascii")


def _iso(dt):
    return dt.strftime("%Y-%m-%dT%H:%M:%SZ")


def _service_sas(resource, canonical, permissions, expiry_seconds,
                 start_skew_seconds=300):
    """Builds a service SAS query string for the 2018-11-09+ signing scheme.

    `resource` is "c" (container) or "b" (blob); `canonical` is the
    canonicalized resource "/blob/<account>/<container>[/<blob>]".  The
    start time is set a little in the past to tolerate clock skew.
    """
    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    start = _iso(now - datetime.timedelta(seconds=start_skew_seconds))
    expiry = _iso(now + datetime.timedelta(seconds=expiry_seconds))
    string_to_sign = "\n".join([
        permissions,   # sp
        start,         # st
        expiry,        # se
        canonical,     # canonicalized resource
        "",            # si (stored access policy)
        "",            # sip
        "",            # spr
        SAS_VERSION,   # sv
        resource,      # sr
        "",            # snapshot time
        "",            # rscc
        "",            # rscd
        "",            # rsce
        "",            # rscl
        "",            # rsct
    ])
    sig = _sign(string_to_sign)
    params = [("sv", SAS_VERSION), ("st", start), ("se", expiry),
              ("sr", resource), ("sp", permissions), ("sig", sig)]
    return "&".join("%s=%s" % (k, urllib.parse.quote(v, safe=""))
                    for k, v in params)


def container_sas(container, permissions="racwdl", expiry_seconds=3600):
    """Service SAS for a whole container (sr=c), as a query string without
    a leading "?".  Valid for Put Block / Put Block List on any blob of the
    container when the permissions include "w"."""
    canonical = "/blob/%s/%s" % (ACCOUNT, container)
    return _service_sas("c", canonical, permissions, expiry_seconds)


def blob_sas(container, blob, permissions="rcw", expiry_seconds=3600):
    """Service SAS for one blob (sr=b); `blob` is the unencoded blob name."""
    canonical = "/blob/%s/%s/%s" % (ACCOUNT, container, blob)
    return _service_sas("b", canonical, permissions, expiry_seconds)


class StorageError(Exception):
    """An unexpected answer from Azurite."""

    def __init__(self, status, body):
        super().__init__("storage answered %d: %s" % (status, body[:300]))
        self.status = status
        self.body = body


class BlobStore:
    """Direct, SharedKey-signed access to Azurite.

    `blob_base_url` is "http://127.0.0.1:<port>/devstoreaccount1".  Each call
    opens its own connection, so one BlobStore may be used from several
    threads at once.
    """

    def __init__(self, blob_base_url, timeout=30):
        parsed = urllib.parse.urlsplit(blob_base_url)
        if parsed.scheme != "http":
            raise ValueError("only http storage URLs are supported")
        self.base_url = blob_base_url.rstrip("/")
        self.host = parsed.hostname
        self.port = parsed.port or 80
        self.base_path = parsed.path.rstrip("/")  # "/devstoreaccount1"
        self.timeout = timeout

    # -- low level ---------------------------------------------------------

    def _request(self, method, path, query=None, body=b"", headers=None):
        """Signs and sends one request; returns (status, headers, body).

        `path` is the already URL-encoded path below the account, starting
        with "/"; `query` a list of (name, value) pairs (unencoded).
        """
        query = list(query or [])
        full_path = self.base_path + path
        qs = "&".join("%s=%s" % (urllib.parse.quote(k, safe=""),
                                 urllib.parse.quote(v, safe=""))
                      for k, v in query)
        hdrs = dict(headers or {})
        hdrs["x-ms-date"] = datetime.datetime.now(
            datetime.timezone.utc).strftime("%a, %d %b %Y %H:%M:%S GMT")
        hdrs["x-ms-version"] = API_VERSION
        length = len(body)
        hdrs["Content-Length"] = str(length)
        canon_headers = "".join(
            "%s:%s\n" % (k.lower(), v.strip())
            for k, v in sorted(hdrs.items(), key=lambda kv: kv[0].lower())
            if k.lower().startswith("x-ms-"))
        # Azurite canonicalizes the path as received (still URL-encoded).
        canon_resource = "/%s%s" % (ACCOUNT, full_path)
        for k, v in sorted(((k.lower(), v) for k, v in query)):
            canon_resource += "\n%s:%s" % (k, v)

        def h(name):
            for k, v in hdrs.items():
                if k.lower() == name:
                    return v
            return ""

        string_to_sign = "\n".join([
            method,
            h("content-encoding"),
            h("content-language"),
            "" if length == 0 else str(length),
            h("content-md5"),
            h("content-type"),
            "",  # Date (x-ms-date is used instead)
            h("if-modified-since"),
            h("if-match"),
            h("if-none-match"),
            h("if-unmodified-since"),
            h("range"),
        ]) + "\n" + canon_headers + canon_resource
        hdrs["Authorization"] = "SharedKey %s:%s" % (ACCOUNT,
                                                     _sign(string_to_sign))
        conn = http.client.HTTPConnection(self.host, self.port,
                                          timeout=self.timeout)
        try:
            conn.request(method, full_path + ("?" + qs if qs else ""),
                         body=body, headers=hdrs)
            resp = conn.getresponse()
            data = resp.read()
            return resp.status, dict(resp.getheaders()), data
        finally:
            conn.close()

    @staticmethod
    def _blob_path(container, name):
        return "/%s/%s" % (urllib.parse.quote(container, safe=""),
                           urllib.parse.quote(name, safe="/"))

    # -- operations --------------------------------------------------------

    def create_container(self, name):
        """Creates the container; an existing one is fine."""
        status, _, body = self._request(
            "PUT", "/" + urllib.parse.quote(name, safe=""),
            [("restype", "container")])
        if status in (201, 409):
            return status == 201
        raise StorageError(status, body.decode("utf-8", "replace"))

    def get_blob(self, container, name):
        """The committed blob's bytes, or None when there is no such blob."""
        status, _, body = self._request("GET",
                                        self._blob_path(container, name))
        if status == 200:
            return body
        if status == 404:
            return None
        raise StorageError(status, body.decode("utf-8", "replace"))

    def blob_size(self, container, name):
        """Size in bytes of the committed blob, or None when absent."""
        status, headers, body = self._request(
            "HEAD", self._blob_path(container, name))
        if status == 200:
            for k, v in headers.items():
                if k.lower() == "content-length":
                    return int(v)
            raise StorageError(status, "no Content-Length in HEAD answer")
        if status == 404:
            return None
        raise StorageError(status, body.decode("utf-8", "replace"))

    def blob_properties(self, container, name):
        """The committed blob's properties as its HEAD answer gives them
        (header names in lower case), or None when absent."""
        status, headers, body = self._request(
            "HEAD", self._blob_path(container, name))
        if status == 404:
            return None
        if status != 200:
            raise StorageError(status, body.decode("utf-8", "replace"))
        return {k.lower(): v for k, v in headers.items()}

    def _block_list(self, container, name, which):
        status, _, body = self._request(
            "GET", self._blob_path(container, name),
            [("comp", "blocklist"), ("blocklisttype", which)])
        if status == 404:
            return None
        if status != 200:
            raise StorageError(status, body.decode("utf-8", "replace"))
        return ET.fromstring(body)

    def committed_block_list(self, container, name):
        """[(base64 id, size), ...] of the committed blocks in blob order;
        empty when the blob does not exist."""
        root = self._block_list(container, name, "committed")
        if root is None:
            return []
        out = []
        committed = root.find("CommittedBlocks")
        if committed is not None:
            for blk in committed.findall("Block"):
                out.append((blk.findtext("Name", ""),
                            int(blk.findtext("Size", "0"))))
        return out

    def uncommitted_block_list(self, container, name):
        """[(base64 id, size), ...] of blocks put but not yet committed."""
        root = self._block_list(container, name, "uncommitted")
        if root is None:
            return []
        out = []
        uncommitted = root.find("UncommittedBlocks")
        if uncommitted is not None:
            for blk in uncommitted.findall("Block"):
                out.append((blk.findtext("Name", ""),
                            int(blk.findtext("Size", "0"))))
        return out

    def list_blobs(self, container):
        """Names of the committed blobs of the container (empty list when
        the container does not exist)."""
        names = []
        marker = None
        while True:
            query = [("restype", "container"), ("comp", "list")]
            if marker:
                query.append(("marker", marker))
            status, _, body = self._request(
                "GET", "/" + urllib.parse.quote(container, safe=""), query)
            if status == 404:
                return []
            if status != 200:
                raise StorageError(status, body.decode("utf-8", "replace"))
            root = ET.fromstring(body)
            blobs = root.find("Blobs")
            if blobs is not None:
                for b in blobs.findall("Blob"):
                    names.append(b.findtext("Name", ""))
            marker = root.findtext("NextMarker", "")
            if not marker:
                return names

    def delete_container(self, name):
        """Deletes the container; returns False when it did not exist."""
        status, _, body = self._request(
            "DELETE", "/" + urllib.parse.quote(name, safe=""),
            [("restype", "container")])
        if status in (202, 404):
            return status == 202
        raise StorageError(status, body.decode("utf-8", "replace"))
