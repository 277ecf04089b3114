#!/usr/bin/env python3
"""Writes a small signed update site for the run command's demonstration.

  demo_site.py WWW PROGRAM [--client]

WWW gets alpha/components.json, its .sig and one package per component
(core, agent) of release 1.0.0; with --client the whole client set (core,
agent, restore, sched, console) with German titles and descriptions, as the
wizard's screenshots show it. PROGRAM is the tests' packaged program, whose
copies answer "--version" and "--selftest" as a trailer says. The signing key
is made here with the openssl CLI; its public key (base64) is printed.
"""
import base64
import datetime
import hashlib
import io
import json
import os
import subprocess
import sys
import tarfile
import tempfile

VERSION = "1.0.0"
COMPONENTS = [("core", "Core", {"required": True}), ("agent", "Agent", {"default": True})]
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


def openssl(*args, data=None):
    return subprocess.run(["openssl", *args], input=data, check=True,
                          capture_output=True).stdout


def program(image, name):
    # The packaged program reads its answers from this trailer.
    trailer = "\n#ORV-PACKAGED#\nversion=%s %s\nselftest_exit=0\n" % (name, VERSION)
    return image + trailer.encode()


def package(component, image):
    files = {"bin/orv_%s_tool.exe" % component: program(image, "orv_%s_tool" % component)}
    meta = {"schema": 1, "version": VERSION, "component": component,
            "files": {n: hashlib.sha256(b).hexdigest() for n, b in files.items()}}
    items = {"PACKAGE.json": json.dumps(meta).encode() + b"\n", **files}
    buf = io.BytesIO()
    # The unpacker takes an archive that ends with its two zero blocks, without
    # padding to tar's usual 10240-byte record.
    tarfile.RECORDSIZE = 512
    with tarfile.open(fileobj=buf, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        d = tarfile.TarInfo("bin")
        d.type, d.mode = tarfile.DIRTYPE, 0o755
        tar.addfile(d)
        for name, data in items.items():
            ti = tarfile.TarInfo(name)
            ti.size, ti.mode = len(data), 0o755
            tar.addfile(ti, io.BytesIO(data))
    return subprocess.run(["zstd", "-q", "-c"], input=buf.getvalue(), check=True,
                          capture_output=True).stdout


def main():
    www, prog = sys.argv[1], sys.argv[2]
    components = CLIENT_COMPONENTS if "--client" in sys.argv[3:] else COMPONENTS
    image = open(prog, "rb").read()
    site = os.path.join(www, "alpha")
    os.makedirs(os.path.join(site, "pkgs"), exist_ok=True)
    artifacts = []
    for cid, _, _ in components:
        data = package(cid, image)
        name = "%s-%s.pkg" % (cid, VERSION)
        with open(os.path.join(site, "pkgs", name), "wb") as f:
            f.write(data)
        artifacts.append({"url": "pkgs/" + name, "sha256": hashlib.sha256(data).hexdigest(),
                          "size": len(data), "match": {"os": "windows"}, "component": cid})
    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    iso = lambda t: t.strftime("%Y-%m-%dT%H:%M:%SZ")
    doc = json.dumps({
        "schema": 1, "product": "orvantis", "channel": "alpha",
        "sequence": int(now.timestamp()),
        "issued": iso(now - datetime.timedelta(minutes=1)),
        "expires": iso(now + datetime.timedelta(days=1)),
        "components": [dict(id=c, title=t, **extra) for c, t, extra in components],
        "releases": [{"version": VERSION, "artifacts": artifacts}],
    }).encode()
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
