"""The storage self-test's checks (emulator/selftest_storage.py runs them),
one module a group: storage_case.py starts Azurite and the storage proxy and
holds the base case; proxy_checks.py the SAS round trip, strict mode and the
in-flight count; fault_checks.py the injected faults, those that spoil a
reply included; blob_checks.py the blob service endpoints of blob.py through
the emulator's HTTP core."""
