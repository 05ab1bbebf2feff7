#!/usr/bin/env python3
"""Restores encrypted blobs with the Python storage SDK, as their owner would.

Usage: sdk_decrypt.py KEY_FILE STEM...

KEY_FILE is a key file of the library's form ({"kid": ..., "key": 64
hexadecimal digits or Base64 of 32 bytes}). For each STEM, STEM.stored holds
the blob's bytes and STEM.json its encryption data (the "encryptiondata"
metadata). For each blob the script

  - checks that the encryption data's text is the one the SDK itself writes
    for the same kid and wrapped key (json.dumps of the SDK's own encryption
    data), but for the EncryptionLibrary, where each writer names itself;
  - serves the blob from a local HTTP server that answers like the storage
    service (properties with the metadata, ranged reads) and downloads it
    with the SDK's BlobClient given the key-encryption key, in 4 MiB reads so
    that a larger blob takes several ranged reads;
  - writes STEM.restored with the bytes the SDK returns, or STEM.refused with
    its reason when the SDK refuses the blob.

Usage: sdk_decrypt.py --azurite BLOB_ENDPOINT KEY_FILE [flip:]CONTAINER/NAME=STEM...

downloads each blob from Azurite (BLOB_ENDPOINT is
http://127.0.0.1:PORT/devstoreaccount1, reached with the emulator's
well-known account key) as its owner would restore it: STEM.stored gets
the blob's bytes as stored and STEM.json its encryption data, then the SDK
downloads it with the key-encryption key and require_encryption into
STEM.restored, or STEM.refused with its reason. With "flip:" one byte in the
middle of the stored blob is changed first (the blob is written again with
its metadata), as a storage fault or an attacker would.

Exit status: 0 when every blob was handled, 1 when an encryption data text
differs from the SDK's, 2 on wrong usage, 77 when the SDK (python3-azure-
storage) is not installed.
"""
import base64
import email.utils
import http.server
import json
import re
import sys
import threading

try:
    from azure.core.exceptions import HttpResponseError
    from azure.storage.blob import BlobClient
    from azure.storage.blob import _encryption as sdk_encryption
    from cryptography.hazmat.primitives.keywrap import aes_key_unwrap, aes_key_wrap
except ImportError as error:
    print(f"the storage SDK is not installed: {error}")
    sys.exit(77)

READ_SIZE = 4 * 1024 * 1024


class KeyWrapper:
    """A key-encryption key of the interface the SDK expects, with AES key
    wrap (RFC 3394) as in the SDK's own samples."""

    def __init__(self, kid, key):
        self.kid = kid
        self.key = key

    def wrap_key(self, key):
        return aes_key_wrap(self.key, key)

    def unwrap_key(self, key, algorithm):
        if algorithm != "A256KW":
            raise ValueError(f"unknown key wrap algorithm {algorithm}")
        return aes_key_unwrap(self.key, key)

    def get_key_wrap_algorithm(self):
        return "A256KW"

    def get_kid(self):
        return self.kid


class FixedWrap(KeyWrapper):
    """Wraps any key into the given wrapped bytes: lets the SDK write its
    encryption data for a content key it never sees."""

    def __init__(self, kid, wrapped):
        super().__init__(kid, None)
        self.wrapped = wrapped

    def wrap_key(self, key):
        return self.wrapped


def read_key_file(path):
    with open(path, encoding="utf-8") as f:
        content = json.load(f)
    text = content["key"]
    key = bytes.fromhex(text) if re.fullmatch(r"[0-9A-Fa-f]{64}", text) else base64.b64decode(text)
    return KeyWrapper(content["kid"], key)


def sdk_text(ours):
    """The SDK's text of the encryption data `ours` describes."""
    data = json.loads(ours)
    key = data["WrappedContentKey"]
    wrapper = FixedWrap(key["KeyId"], base64.b64decode(key["EncryptedKey"]))
    sdk = sdk_encryption._generate_encryption_data_dict(
        wrapper, bytes(32), None, sdk_encryption._ENCRYPTION_PROTOCOL_V2)
    sdk["EncryptionMode"] = "FullBlob"
    sdk["KeyWrappingMetadata"]["EncryptionLibrary"] = data["KeyWrappingMetadata"]["EncryptionLibrary"]
    return json.dumps(sdk)


class Blob:
    """The one blob the server serves; the handler reads it."""
    data = b""
    metadata = ""


class StorageHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def send_common(self, status, length):
        self.send_response(status)
        self.send_header("Content-Length", str(length))
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("x-ms-blob-type", "BlockBlob")
        self.send_header("x-ms-meta-encryptiondata", Blob.metadata)
        self.send_header("ETag", '"0x1"')
        self.send_header("Last-Modified", email.utils.formatdate(usegmt=True))
        self.send_header("x-ms-version", "2021-08-06")

    def do_HEAD(self):
        self.send_common(200, len(Blob.data))
        self.end_headers()

    def do_GET(self):
        size = len(Blob.data)
        asked = self.headers.get("x-ms-range") or self.headers.get("Range")
        if not asked:
            self.send_common(200, size)
            self.end_headers()
            self.wfile.write(Blob.data)
            return
        start, end = (int(n) for n in re.fullmatch(r"bytes=(\d+)-(\d+)", asked).groups())
        if start >= size:
            self.send_response(416)
            self.send_header("Content-Length", "0")
            self.send_header("x-ms-error-code", "InvalidRange")
            self.end_headers()
            return
        end = min(end, size - 1)
        self.send_common(206, end - start + 1)
        self.send_header("Content-Range", f"bytes {start}-{end}/{size}")
        self.end_headers()
        self.wfile.write(Blob.data[start:end + 1])


def restore(url, kek):
    client = BlobClient.from_blob_url(url, key_encryption_key=kek, require_encryption=True,
                                      encryption_version="2.0", max_single_get_size=READ_SIZE,
                                      max_chunk_get_size=READ_SIZE, retry_total=0)
    return client.download_blob().readall()


# Azurite's development account; its key is public and protects nothing.
AZURITE_ACCOUNT = {
    "account_name": "devstoreaccount1",
    "account_key": "Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq"
                   "/K1SZFPTOtr/KBHBeksoGMGw==",
}


def from_azurite(endpoint, kek, target):
    """Restores one blob of Azurite, "[flip:]CONTAINER/NAME=STEM"."""
    flip = target.startswith("flip:")
    path, stem = target[len("flip:") if flip else 0:].rsplit("=", 1)
    container, name = path.split("/", 1)
    plain = BlobClient(endpoint, container, name, credential=AZURITE_ACCOUNT, retry_total=0)
    stored = plain.download_blob().readall()
    metadata = plain.get_blob_properties().metadata
    if flip:
        changed = bytearray(stored)
        changed[len(changed) // 2] ^= 0x01
        stored = bytes(changed)
        plain.upload_blob(stored, metadata=metadata, overwrite=True)
    with open(stem + ".stored", "wb") as f:
        f.write(stored)
    with open(stem + ".json", "w", encoding="ascii") as f:
        f.write(metadata.get("encryptiondata", ""))
    client = BlobClient(endpoint, container, name, credential=AZURITE_ACCOUNT,
                        key_encryption_key=kek, require_encryption=True,
                        encryption_version="2.0", max_single_get_size=READ_SIZE,
                        max_chunk_get_size=READ_SIZE, retry_total=0)
    record_restore(stem, lambda: client.download_blob().readall())


def record_restore(stem, download):
    """Writes what download() restored to <stem>.restored, or why the SDK
    refused it to <stem>.refused."""
    try:
        restored = download()
    except (HttpResponseError, ValueError) as error:
        with open(stem + ".refused", "w", encoding="utf-8") as f:
            f.write(f"{type(error).__name__}: {error}\n")
        return
    with open(stem + ".restored", "wb") as f:
        f.write(restored)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--azurite":
        if len(sys.argv) < 5:
            print(__doc__)
            return 2
        kek = read_key_file(sys.argv[3])
        for target in sys.argv[4:]:
            from_azurite(sys.argv[2], kek, target)
        return 0
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    kek = read_key_file(sys.argv[1])
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), StorageHandler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = f"http://127.0.0.1:{server.server_address[1]}/account/container/blob"
    status = 0
    for stem in sys.argv[2:]:
        with open(stem + ".stored", "rb") as f:
            Blob.data = f.read()
        with open(stem + ".json", encoding="ascii") as f:
            Blob.metadata = f.read()
        expected = sdk_text(Blob.metadata)
        if Blob.metadata != expected:
            print(f"{stem}: encryption data\n  ours {Blob.metadata}\n  SDK's {expected}")
            status = 1
        record_restore(stem, lambda: restore(url, kek))
    server.shutdown()
    return status


if __name__ == "__main__":
    sys.exit(main())
