#!/usr/bin/env python3
"""Checks the library's includes against the parts the build declares.

Usage: layering_check.py <source dir> <build dir>/zucloud_parts.txt

Each line of the parts file reads "<name> <folder> uses=<part>,... links=<lib>,...".
A file in a part's folder may include headers of its own folder, of the
parts it uses and the public headers in include/; it may include an outside
library's headers only when the part links that library. Every source file
of the library lies in some part's folder. A header that names an outside
library's types (through a type alias, a member or a parameter) hands that
library to whoever includes it: a part may include such a header only when
it links that library too.
"""
import os
import re
import sys

OUTSIDE = {  # header prefix -> the imported target that brings it
    "curl/": "CURL::libcurl",
    "xercesc/": "XercesC::XercesC",
    "openssl/": "OpenSSL::Crypto",
    "nlohmann/": "nlohmann_json::nlohmann_json",
}
# Names by which code reaches an outside library without including it.
OUTSIDE_NAMES = {
    "CURL::libcurl": re.compile(r"\bCURL\w*\s*\*|\bcurl_\w+"),
    "XercesC::XercesC": re.compile(r"\bxercesc::|XERCES_CPP_NAMESPACE"),
    "OpenSSL::Crypto": re.compile(r"\b(EVP|RAND|BIO|OPENSSL)_\w+"),
    "nlohmann_json::nlohmann_json": re.compile(r"\bnlohmann::"),
}
COMMENT = re.compile(r"//[^\n]*|/\*.*?\*/", re.S)
LIBRARY_FOLDERS = ("platform", "session", "folder", "blob")


def carried_libraries(source_dir, header):
    """The outside libraries a header's own code names."""
    path = os.path.join(source_dir, header)
    if not os.path.isfile(path):
        return []
    with open(path, encoding="utf-8") as f:
        code = COMMENT.sub("", f.read())
    return [target for target, names in OUTSIDE_NAMES.items() if names.search(code)]
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)


def read_parts(path):
    parts = {}
    with open(path) as f:
        for line in f:
            if not line.strip():
                continue
            name, folder, uses, links = line.split()
            parts[name] = {
                "folder": folder,
                "uses": [u for u in uses[len("uses="):].split(",") if u],
                "links": [l for l in links[len("links="):].split(",") if l],
            }
    return parts


def problems(source_dir, parts):
    found = []
    folder_of = {p["folder"]: name for name, p in parts.items()}
    public = set(os.listdir(os.path.join(source_dir, "include")))
    for top in LIBRARY_FOLDERS:
        for root, _, files in os.walk(os.path.join(source_dir, top)):
            for file in sorted(files):
                if not file.endswith((".h", ".cpp")):
                    continue
                path = os.path.join(root, file)
                rel = os.path.relpath(path, source_dir)
                folder = os.path.dirname(rel)
                name = folder_of.get(folder)
                if name is None:
                    found.append(f"{rel}: lies in no part of the build")
                    continue
                allowed = {folder} | {parts[u]["folder"] for u in parts[name]["uses"]}
                with open(path, encoding="utf-8") as f:
                    text = f.read()
                for kind, header in INCLUDE.findall(text):
                    if kind == '"':
                        if "/" not in header:
                            if header not in public and not os.path.exists(
                                    os.path.join(root, header)):
                                found.append(f"{rel}: includes \"{header}\", no header of its own or public")
                        elif os.path.dirname(header) not in allowed:
                            found.append(f"{rel}: includes \"{header}\" but part {name} "
                                         f"does not use {os.path.dirname(header)}")
                        elif os.path.dirname(header) != folder:
                            for target in carried_libraries(source_dir, header):
                                if target not in parts[name]["links"]:
                                    found.append(f"{rel}: reaches {target} through \"{header}\" "
                                                 f"but part {name} does not link it")
                        continue
                    for prefix, target in OUTSIDE.items():
                        if header.startswith(prefix) and target not in parts[name]["links"]:
                            found.append(f"{rel}: includes <{header}> but part {name} "
                                         f"does not link {target}")
    return found


def main():
    source_dir, parts_file = sys.argv[1], sys.argv[2]
    parts = read_parts(parts_file)
    found = problems(source_dir, parts)
    for line in found:
        print(line)
    print(f"{len(parts)} parts, {len(found)} includes outside what the build declares")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
