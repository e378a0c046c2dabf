"""The package's own build backend (PEP 517): a wheel is a zip of the package and
its metadata, so `pip install ./python` needs nothing beyond pip itself, even on a
machine without setuptools, wheel or a network."""

import base64
import hashlib
import io
import os
import tarfile
import zipfile

NAME = "qxdb"
VERSION = "1.0.0"
HERE = os.path.dirname(os.path.abspath(__file__))
SUMMARY = ("xBase tables (DBF with NDX, NTX, MDX, IDX, CDX indexes and DBT, FPT memos) read and written "
           "through QXDB, indexes kept in step")


def _metadata():
    with open(os.path.join(HERE, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    return ("Metadata-Version: 2.1\nName: %s\nVersion: %s\nSummary: %s\nRequires-Python: >=3.7\n"
            "Description-Content-Type: text/markdown\n\n%s" % (NAME, VERSION, SUMMARY, readme)).encode("utf-8")


def _package_files():
    package = os.path.join(HERE, NAME)
    return [(NAME + "/" + name, os.path.join(package, name)) for name in sorted(os.listdir(package))
            if name.endswith(".py")]


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    wheel = "%s-%s-py3-none-any.whl" % (NAME, VERSION)
    info = "%s-%s.dist-info" % (NAME, VERSION)
    records = []
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel), "w", zipfile.ZIP_DEFLATED) as z:
        def add(name, data):
            z.writestr(name, data)
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            records.append("%s,sha256=%s,%d" % (name, digest, len(data)))

        for name, path in _package_files():
            with open(path, "rb") as f:
                add(name, f.read())
        add(info + "/METADATA", _metadata())
        add(info + "/WHEEL", b"Wheel-Version: 1.0\nGenerator: qxdb_build\nRoot-Is-Purelib: true\nTag: py3-none-any\n")
        records.append(info + "/RECORD,,")
        z.writestr(info + "/RECORD", "\n".join(records) + "\n")
    return wheel


def build_sdist(sdist_directory, config_settings=None):
    base = "%s-%s" % (NAME, VERSION)
    sdist = base + ".tar.gz"
    with tarfile.open(os.path.join(sdist_directory, sdist), "w:gz") as tar:
        for name in ["pyproject.toml", "README.md", "qxdb_build.py"]:
            tar.add(os.path.join(HERE, name), base + "/" + name)
        for name, path in _package_files():
            tar.add(path, base + "/" + name)
        pkg_info = _metadata()
        entry = tarfile.TarInfo(base + "/PKG-INFO")
        entry.size = len(pkg_info)
        tar.addfile(entry, io.BytesIO(pkg_info))
    return sdist
