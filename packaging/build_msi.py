#!/usr/bin/env python3
"""Builds the Windows installer from a payload folder with wixl, reproducibly.

The same payload, version and date always give the same bytes: the product code follows from
the version, the package code from the package's own content, and every date from --epoch.

usage: build_msi.py --payload DIR --out FILE --name NAME --version X.Y.Z --manufacturer TEXT
                    --epoch SECONDS [--with-engine]
"""

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import uuid

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import msi_summary  # noqa: E402

TEMPLATE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "windows", "Vantorel.wxs")
# The product's upgrade code (also in the template): the root of every derived code.
UPGRADE_CODE = uuid.UUID("4AC8A60F-45A9-4F3A-904D-714CCAE65C0A")

# The install folder, wherever an administrator puts it, gets a protected DACL: SYSTEM and
# Administrators full control, Users read and execute. The broker starts sing-box.exe from it as
# SYSTEM and refuses to when anyone else may change the folder or the engine; a folder that
# inherited users' Modify (C:\Vantorel) would otherwise let any user replace the engine.
INSTALL_DIR_SDDL = "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
# Public properties an administrator may pass to a managed (elevated) install or uninstall.
SECURE_PROPERTIES = ["VANTOREL_OLDER_FOUND", "VANTOREL_NEWER_FOUND", "REMOVELOGS"]
# wixl drops Vital="yes": a service that cannot be installed must fail the installation.
SERVICE_ERROR_CONTROL_VITAL = 0x8000
SERVICE_ERROR_NORMAL = 1

ENGINE_FILES = ["sing-box.exe", "licenses/sing-box-LICENSE.txt", "licenses/sing-box-SOURCE.txt"]
BASE_FILES = ["VantorelBroker.exe", "VantorelCtl.exe", "README.md",
              "licenses/mingw-w64-runtime.txt", "licenses/gcc-runtime.txt"]


def parse_version(text):
    """An installer version: three numbers, the first two below 256, the third below 65536."""
    match = re.fullmatch(r"(\d{1,3})\.(\d{1,3})\.(\d{1,5})", text)
    if not match:
        raise ValueError("version %r is not MAJOR.MINOR.PATCH" % text)
    major, minor, patch = (int(g) for g in match.groups())
    if major > 255 or minor > 255 or patch > 65535:
        raise ValueError("version %r is outside the installer's range" % text)
    return major, minor, patch


def product_code(name, version):
    """Fixed per product and version: a rebuild of one version is the same product."""
    return str(uuid.uuid5(UPGRADE_CODE, "product|%s|%s|x64" % (name, version))).upper()


def package_code(normalised_msi):
    """Fixed per package content: identical packages share a code, any change gets a new one."""
    digest = hashlib.sha256(normalised_msi).hexdigest()
    return str(uuid.uuid5(UPGRADE_CODE, "package|" + digest)).upper()


def post_queries():
    """What wixl cannot express, as SQL for msibuild."""
    queries = [
        "CREATE TABLE `MsiLockPermissionsEx` (`MsiLockPermissionsEx` CHAR(72) NOT NULL, `LockObject` CHAR(72) "
        "NOT NULL, `Table` CHAR(32) NOT NULL, `SDDLText` CHAR(0) NOT NULL, `Condition` CHAR(255) "
        "PRIMARY KEY `MsiLockPermissionsEx`)",
        "INSERT INTO `MsiLockPermissionsEx` (`MsiLockPermissionsEx`, `LockObject`, `Table`, `SDDLText`) "
        "VALUES ('LockInstallDir', 'INSTALLDIR', 'CreateFolder', '%s')" % INSTALL_DIR_SDDL,
    ]
    queries.append("UPDATE `Property` SET `Value` = '%s' WHERE `Property` = 'SecureCustomProperties'"
                   % ";".join(SECURE_PROPERTIES))
    queries.append("UPDATE `ServiceInstall` SET `ErrorControl` = %d WHERE `ServiceInstall` = 'BrokerService'"
                   % (SERVICE_ERROR_CONTROL_VITAL | SERVICE_ERROR_NORMAL))
    return queries


def stage_payload(payload, staging, files, epoch):
    """Copies what the package holds, dated at the epoch: the cabinet records file dates."""
    for relative in files:
        source = os.path.join(payload, relative)
        if not os.path.isfile(source):
            raise FileNotFoundError("payload file missing: %s" % source)
        target = os.path.join(staging, relative)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(source, target)
        os.utime(target, (epoch, epoch))


def run(command, cwd=None):
    result = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    # wixl reports some faults as GLib criticals and still exits 0
    if result.returncode != 0 or "CRITICAL" in result.stdout or "WARNING" in result.stdout:
        raise RuntimeError("%s failed:\n%s" % (command[0], result.stdout))


def build(args):
    parse_version(args.version)
    files = BASE_FILES + (ENGINE_FILES if args.with_engine else [])
    with tempfile.TemporaryDirectory(prefix="vantorel-msi.") as work:
        staging = os.path.join(work, "payload")
        stage_payload(args.payload, staging, files, args.epoch)
        draft = os.path.join(work, "draft.msi")
        defines = {
            "ProductName": args.name,
            "Version": args.version,
            "Manufacturer": args.manufacturer,
            "ProductCode": product_code(args.name, args.version),
            "PayloadDir": "payload",  # wixl takes only paths relative to where it runs
            "WithEngine": "yes" if args.with_engine else "no",
        }
        command = ["wixl", "-a", "x64", "-o", draft]
        for key, value in defines.items():
            command += ["-D", "%s=%s" % (key, value)]
        run(command + [TEMPLATE], cwd=work)
        msibuild = ["msibuild", draft]
        for query in post_queries():
            msibuild += ["-q", query]
        run(msibuild)

        zero_code = "00000000-0000-0000-0000-000000000000"
        msi_summary.fix_summary(draft, zero_code, 0)
        with open(draft, "rb") as f:
            code = package_code(f.read())
        msi_summary.fix_summary(draft, code, args.epoch)
        os.utime(draft, (args.epoch, args.epoch))
        shutil.move(draft, args.out)
    return code


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--payload", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--name", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--manufacturer", required=True)
    parser.add_argument("--epoch", required=True, type=int)
    parser.add_argument("--with-engine", action="store_true")
    args = parser.parse_args(argv)
    try:
        code = build(args)
    except (ValueError, OSError, RuntimeError) as error:
        print("build_msi.py: %s" % error, file=sys.stderr)
        return 1
    print("%s: product %s, package {%s}" % (args.out, product_code(args.name, args.version), code))
    return 0


if __name__ == "__main__":
    sys.exit(main())
