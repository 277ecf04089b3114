#!/usr/bin/env python3
"""Writes a signed update site: the run command's demonstration and the
benchmark's sites.

  demo_site.py WWW PROGRAM [--client] [--packages N --pad-mib M] [--catalog-bytes B]

WWW gets alpha/components.json, its .sig and one package per component of
release 1.0.0; PROGRAM is the tests' packaged program, whose copies answer
"--version" and "--selftest" as a trailer says. Without options the site
has the two components core and agent; with --client the whole client set
(core, agent, restore, sched, console) with German titles and descriptions,
as the wizard's screenshots show it. With --packages it has N components
(core, then pkg2 ... pkgN, all chosen by default), and each package carries
M MiB of random bytes in data/<component>.bin besides its program, so the
package file is about M MiB whatever zstd does. --catalog-bytes pads the
catalog with older releases until the document is about B bytes (the
packages of those releases are never written). The signing key is made here
with the openssl CLI; its public key (base64) is printed.
"""
import argparse
import base64
import datetime
import hashlib
import io
import json
import os
import subprocess
import tarfile
import tempfile

VERSION = "1.0.0"
DEMO_COMPONENTS = [("core", "Core", {"required": True}), ("agent", "Agent", {"default": True})]
CLIENT_COMPONENTS = [
    ("core", "Basisdienste", {"required": True, "description":
        "Gemeinsame Bibliotheken und der Updater; wird immer installiert."}),
    ("agent", "Sicherungs-Agent", {"default": True, "description":
        "Sichert Volumes, Ordner und Dateien dieses Rechners auf einen Backup-Server, "
        "vollständig oder inkrementell, verschlüsselt und komprimiert; läuft von Hand, "
        "nach Zeitplan oder nach anderen Jobs."}),
    ("restore", "Wiederherstellung", {"description":
        "Stellt Dateien, Ordner und ganze Volumes aus den Sicherungen wieder her."}),
    ("sched", "Job-Planer", {"requires": ["agent"], "description":
        "Dienst, der die Sicherungsjobs nach Zeitplan startet."}),
    ("console", "Verwaltungskonsole", {}),
]
PAD_CHUNK = 1 << 20


def openssl(*args, data=None):
    return subprocess.run(["openssl", *args], input=data, check=True,
                          capture_output=True).stdout


def program(image, name):
    # The packaged program reads its answers from this trailer.
    trailer = "\n#ORV-PACKAGED#\nversion=%s %s\nselftest_exit=0\n" % (name, VERSION)
    return image + trailer.encode()


def pad_file(path, size):
    """Writes size random bytes to path; returns their SHA-256 (hex)."""
    h = hashlib.sha256()
    with open(path, "wb") as f:
        left = size
        while left > 0:
            piece = os.urandom(min(PAD_CHUNK, left))
            h.update(piece)
            f.write(piece)
            left -= len(piece)
    return h.hexdigest()


def package(component, image, out, pad_bytes=0):
    """Writes the package of component (tar in one zstd frame) to out."""
    prog_name = "bin/orv_%s_tool.exe" % component
    prog = program(image, "orv_%s_tool" % component)
    with tempfile.TemporaryDirectory(dir=os.path.dirname(out)) as tmp:
        files = {prog_name: hashlib.sha256(prog).hexdigest()}
        pad_name = "data/%s.bin" % component
        pad_path = os.path.join(tmp, "pad")
        if pad_bytes:
            files[pad_name] = pad_file(pad_path, pad_bytes)
        meta = {"schema": 1, "version": VERSION, "component": component, "files": files}
        tar_path = os.path.join(tmp, "pkg.tar")
        # The unpacker takes an archive that ends with its two zero blocks,
        # without padding to tar's usual 10240-byte record.
        tarfile.RECORDSIZE = 512
        with tarfile.open(tar_path, mode="w", format=tarfile.USTAR_FORMAT) as tar:
            for d in ("bin", "data") if pad_bytes else ("bin",):
                ti = tarfile.TarInfo(d)
                ti.type, ti.mode = tarfile.DIRTYPE, 0o755
                tar.addfile(ti)
            items = [("PACKAGE.json", json.dumps(meta).encode() + b"\n", 0o644),
                     (prog_name, prog, 0o755)]
            for name, data, mode in items:
                ti = tarfile.TarInfo(name)
                ti.size, ti.mode = len(data), mode
                tar.addfile(ti, io.BytesIO(data))
            if pad_bytes:
                ti = tarfile.TarInfo(pad_name)
                ti.size, ti.mode = pad_bytes, 0o644
                with open(pad_path, "rb") as f:
                    tar.addfile(ti, f)
        # One frame: the unpacker refuses a second one.
        subprocess.run(["zstd", "-q", "-1", "-f", tar_path, "-o", out], check=True)


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(PAD_CHUNK), b""):
            h.update(piece)
    return h.hexdigest()


def catalog(components, artifacts, now, catalog_bytes):
    iso = lambda t: t.strftime("%Y-%m-%dT%H:%M:%SZ")
    doc = {
        "schema": 1, "product": "orvantis", "channel": "alpha",
        "sequence": int(now.timestamp()),
        "issued": iso(now - datetime.timedelta(minutes=1)),
        "expires": iso(now + datetime.timedelta(days=1)),
        "components": [dict(id=c, title=t, **extra) for c, t, extra in components],
        "releases": [{"version": VERSION, "artifacts": artifacts}],
    }
    text = json.dumps(doc).encode()
    # Older releases, each with the same packages under other names and
    # notes, until the document reaches the size asked for (the newest
    # release is still the one chosen).
    if catalog_bytes > len(text):
        releases = 400
        old = [{"version": "0.%d.0" % n, "notes": "",
                "artifacts": [dict(a, url=a["url"].replace(VERSION, "0.%d.0" % n))
                              for a in artifacts]} for n in range(1, releases + 1)]
        doc["releases"] += old
        room = catalog_bytes - len(json.dumps(doc).encode())
        for n, rel in enumerate(old):
            rel["notes"] = "x" * max(0, room // releases - 1 + (room % releases if n == 0 else 0))
        text = json.dumps(doc).encode()
    return text


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("www")
    ap.add_argument("program")
    ap.add_argument("--client", action="store_true")
    ap.add_argument("--packages", type=int, default=0)
    ap.add_argument("--pad-mib", type=float, default=0)
    ap.add_argument("--catalog-bytes", type=int, default=0)
    a = ap.parse_args()
    if a.packages:
        components = [("core", "Core", {"required": True})] + [
            ("pkg%d" % i, "Package %d" % i, {"default": True}) for i in range(2, a.packages + 1)]
    else:
        components = CLIENT_COMPONENTS if a.client else DEMO_COMPONENTS
    image = open(a.program, "rb").read()
    site = os.path.join(a.www, "alpha")
    os.makedirs(os.path.join(site, "pkgs"), exist_ok=True)
    artifacts = []
    for cid, _, _ in components:
        name = "%s-%s.pkg" % (cid, VERSION)
        path = os.path.join(site, "pkgs", name)
        package(cid, image, path, int(a.pad_mib * (1 << 20)))
        artifacts.append({"url": "pkgs/" + name, "sha256": sha256_file(path),
                          "size": os.path.getsize(path), "match": {"os": "windows"},
                          "component": cid})
    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    doc = catalog(components, artifacts, now, a.catalog_bytes)
    with open(os.path.join(site, "components.json"), "wb") as f:
        f.write(doc)
    with tempfile.TemporaryDirectory() as tmp:
        key = os.path.join(tmp, "key.pem")
        signed = os.path.join(tmp, "signed")
        openssl("genpkey", "-algorithm", "ed25519", "-out", key)
        with open(signed, "wb") as f:
            f.write(b"orv-update-catalog-v1\n" + doc)
        sig = openssl("pkeyutl", "-sign", "-rawin", "-inkey", key, "-in", signed)
        pub = openssl("pkey", "-in", key, "-pubout", "-outform", "DER")[-32:]
    with open(os.path.join(site, "components.json.sig"), "wb") as f:
        f.write(base64.b64encode(sig) + b"\n")
    print(base64.b64encode(pub).decode())


if __name__ == "__main__":
    main()
