#!/usr/bin/env python3
"""Finishes the page's folder of static files for use offline and installed: the icons the web
app manifest names (192 and 512 px, scaled from the program's icon), and the service worker
sw.js with the list of the site's files and their content hash as its version, so that every
build whose files differ is a new version. Usage: finish_site.py SITE_DIR"""
import hashlib
import json
import os
import subprocess
import sys
import tempfile

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def make_icons(site):
    with tempfile.TemporaryDirectory() as work:
        small = os.path.join(work, "icon.png")
        subprocess.run([sys.executable, os.path.join(ROOT, "resources", "make_icon.py"), small], check=True)
        with Image.open(small) as icon:
            for size in (192, 512):
                # Whole pixels of the 32x32 icon, as drawn (192 = 6 x 32, 512 = 16 x 32).
                icon.resize((size, size), Image.NEAREST).save(os.path.join(site, f"icon-{size}.png"), optimize=True)


def write_service_worker(site):
    files = sorted(name for name in os.listdir(site)
                   if name != "sw.js" and os.path.isfile(os.path.join(site, name)))
    digest = hashlib.sha256()
    for name in files:
        digest.update(name.encode() + b"\0")
        with open(os.path.join(site, name), "rb") as f:
            digest.update(hashlib.sha256(f.read()).digest())
    version = digest.hexdigest()[:16]
    with open(os.path.join(HERE, "sw.js"), encoding="utf-8") as f:
        text = f.read()
    text = text.replace("'VERSION'", json.dumps(version)).replace("['FILES']", json.dumps(files))
    with open(os.path.join(site, "sw.js"), "w", encoding="utf-8") as f:
        f.write(text)
    return version


def main():
    if len(sys.argv) != 2 or not os.path.isdir(sys.argv[1]):
        print("usage: finish_site.py SITE_DIR", file=sys.stderr)
        return 2
    site = sys.argv[1]
    make_icons(site)
    print(write_service_worker(site))
    return 0


if __name__ == "__main__":
    sys.exit(main())
