#!/usr/bin/env python3
"""The Windows build's token road under Wine on third-party PKCS#11 modules built for Windows:
SoftHSM2 (a software token made with its own softhsm2-util.exe), and OpenSC on the real reader
stack (pcscd, a virtual reader and an emulated PIV card, reached through the test's winscard
bridge). Driven from Linux: tessivo-peer.exe runs under Wine, the signatures are checked with
Linux's openssl against the fixture key.

usage: wine_road_test.py softhsm|vcard  (paths in the environment, see Setup)
Exits 77 (skipped) with the reason when a piece the road needs is not there.
"""
import base64
import fcntl
import hashlib
import json
import re
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

SKIP = 77
PIN = "123456"
DATA = b"The road on a Windows module."
# (peer's mechanism name, openssl digest, data signed): "raw" signs a SHA-256 DigestInfo as given.
MECHANISMS = [("raw", None), ("md5", "md5"), ("sha1", "sha1"), ("sha224", "sha224"),
              ("sha256", "sha256"), ("sha384", "sha384"), ("sha512", "sha512")]
VCARD_READER = "Virtual PCD 00 00"
VCARD_EMPTY_READER = "Virtual PCD 00 01"
PIN_INCORRECT = 0xDA0000A0

env = os.environ
MODE = sys.argv[1] if len(sys.argv) > 1 else ""
SOURCE = env.get("TESSIVO_SOURCE_DIR", "")
SCRIPTS = os.path.join(SOURCE, "scripts")
WINE_RUN = os.path.join(SCRIPTS, "wine-run.sh")
PEER = env.get("TESSIVO_PEER_EXE", "")
AGENT = env.get("TESSIVO_AGENT_EXE", "")
CERTS = env.get("TESSIVO_TEST_CERTS_DIR", "")
BRIDGE = env.get("TESSIVO_WINSCARD_BRIDGE_DIR", "")
VCARD = env.get("TESSIVO_VCARD_DIR") or env.get("TESSIVO_DEFAULT_VCARD_DIR", "")


def native(path):
    """A Unix path as the Windows programs see it."""
    return "Z:" + path.replace("/", "\\")


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, encoding="utf-8",
                          errors="replace", timeout=240, **kwargs)


def cached_build(script):
    """The folder of a cached Windows build of third-party software, or "" when not built."""
    out = run([os.path.join(SCRIPTS, script), "--cached"])
    return out.stdout.strip() if out.returncode == 0 else ""


def sha256_digest_info(data):
    return bytes.fromhex("3031300d060960864801650304020105000420") + hashlib.sha256(data).digest()


def openssl_signature(work, digest, data):
    """OpenSSL's own PKCS#1 v1.5 signature with the fixture key (`digest` None: data as given)."""
    path = os.path.join(work, "to-sign")
    with open(path, "wb") as f:
        f.write(data)
    if digest is None:
        command = ["openssl", "pkeyutl", "-sign", "-inkey", os.path.join(CERTS, "ee.key"),
                   "-pkeyopt", "rsa_padding_mode:pkcs1", "-in", path]
    else:
        command = ["openssl", "dgst", "-" + digest, "-sign", os.path.join(CERTS, "ee.key"), path]
    return subprocess.run(command, capture_output=True, timeout=60, check=True).stdout


def b64(data):
    return base64.b64encode(data).decode()


def unb64(text):
    return base64.b64decode(text)


def signature_of(reply):
    element = reply.get("signature", "")
    if not element.startswith("<SignatureValue>"):
        return b""
    return unb64(element[len("<SignatureValue>"):-len("</SignatureValue>")])


def certificate_field(option):
    out = run(["openssl", "x509", "-inform", "DER", "-in", os.path.join(CERTS, "citizen.der"),
               "-noout", "-nameopt", "RFC2253,-esc_msb", option]).stdout
    return out[out.index("=") + 1:].strip()


class Card:
    """A folder with a copy of the agent beside the module under the card vendor's file name
    (how the Windows agent finds its module), and what the module needs besides."""

    def __init__(self, work, module, extras=()):
        self.dir = os.path.join(work, "card")
        os.makedirs(self.dir, exist_ok=True)
        # The peer loads the module too (to list the readers): from the same folder, so that the
        # DLLs the module needs beside it are found by both.
        shutil.copy(AGENT, os.path.join(self.dir, "tessivo.exe"))
        # The agent's library, which it loads from its own folder.
        shutil.copy(os.path.join(os.path.dirname(AGENT), "Vantrel.dll"), self.dir)
        shutil.copy(PEER, os.path.join(self.dir, "tessivo-peer.exe"))
        shutil.copy(module, os.path.join(self.dir, "TorvexPKCS11.dll"))
        for extra in extras:
            shutil.copy(extra, self.dir)

    # The one place that tells the agent its module: here by the folder it runs from.
    def peer(self, *args):
        return [WINE_RUN, os.path.join(self.dir, "tessivo-peer.exe"), "--agent",
                native(os.path.join(self.dir, "tessivo.exe"))] + list(args)


class Session:
    """tessivo-peer.exe running one script a line at a time, so that the card can be pulled and
    inserted between requests."""

    def __init__(self, card):
        self.process = subprocess.Popen(card.peer("script"), stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        text=True, encoding="utf-8")

    def send(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        reply = self.process.stdout.readline()
        # Under Wine the agent's own console lines (a failed card call, "C_SignInit err=b3")
        # reach the peer's output; they are not the peer's answer.
        while re.match(r"C_\w+ err=[0-9a-f]+\s*$", reply):
            reply = self.process.stdout.readline()
        try:
            return json.loads(reply) if reply.strip() else None
        except ValueError:
            raise AssertionError(f"not a JSON line in answer to {line!r}: {reply!r}")

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=60)


class Road(unittest.TestCase):
    """The road every module must carry; a subclass makes the card (setUpClass) and names its
    reader and the token serial."""

    work = ""
    card = None
    reader = ""
    serial = ""

    def script(self, lines):
        out = run(self.card.peer("script"), input="".join(line + "\n" for line in lines))
        return [json.loads(line) for line in out.stdout.splitlines() if line.strip()]

    def test_whole_road_every_mechanism(self):
        readers = run(self.card.peer("readers"))
        self.assertEqual(readers.returncode, 0, readers.stderr)
        self.assertIn(f"{self.reader}\t", readers.stdout.replace("\r", ""))

        digest_info = sha256_digest_info(DATA)
        lines = [f"slot {self.reader}", "card", f"login {PIN}", "certinfo"]
        for name, digest in MECHANISMS:
            lines.append(f"sign {name} {b64(digest_info if digest is None else DATA)}")
        lines.append("logout")
        out = self.script(lines)
        self.assertEqual(len(out), 5 + len(MECHANISMS), out)
        self.assertEqual(out[1]["serial"], self.serial)
        login = out[2]
        self.assertEqual(login["status"], 0, login)
        self.assertEqual(unb64(login["certificate"]),
                         open(os.path.join(CERTS, "citizen.der"), "rb").read())
        self.assertEqual(login["notAfter"], "2036.1.1")
        serial = certificate_field("-serial").lower()
        self.assertEqual(login["certSerial"], serial)
        record = out[3]["record"]
        self.assertTrue(record.startswith(
            f" EMAIL='user1@example.tw' Usage='-128' SerialNo='{serial}'"
            f" SubjectDN='{certificate_field('-subject')}'"), record)
        self.assertIn(" ForSign='Y' OID='2.16.886.1.100.3.1.1' Type='1' TypeString='自然人憑證'"
                      " ID='1234' Ext='正卡' HolderRank='primary'", record)
        for i, (name, digest) in enumerate(MECHANISMS):
            with self.subTest(mechanism=name):
                data = digest_info if digest is None else DATA
                self.assertEqual(out[4 + i]["result"], 0, out[4 + i])
                self.assertEqual(signature_of(out[4 + i]), openssl_signature(self.work, digest, data))
        self.assertEqual(out[-1]["result"], 0)

    def test_wrong_pin_then_right_pin(self):
        out = self.script([f"slot {self.reader}", "login 000000", f"login {PIN}",
                           f"sign sha256 {b64(DATA)}", "logout"])
        self.assertEqual(len(out), 5, out)
        self.assertEqual(out[1]["status"], PIN_INCORRECT, out[1])
        self.assertNotIn("certificate", out[1])
        self.assertEqual(out[2]["status"], 0, out[2])
        self.assertEqual(signature_of(out[3]), openssl_signature(self.work, "sha256", DATA))


class SoftHsmRoad(Road):
    """SoftHSM2 for Windows, on a token made under Wine with its own tools."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="tessivo-winhsm-")
        out = run([os.path.join(SOURCE, "tests", "fixtures", "win_softhsm_token.sh"), cls.work,
                   CERTS])
        if out.returncode != 0:
            raise RuntimeError("the token could not be made: " + out.stderr)
        cls.reader, cls.serial = out.stdout.strip("\n").split("\t")
        os.environ["SOFTHSM2_CONF"] = native(os.path.join(cls.work, "softhsm2.conf"))
        module = os.path.join(cached_build("win-softhsm.sh"), "bin", "softhsm2.dll")
        cls.card = Card(cls.work, module)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)


class VcardRoad(Road):
    """OpenSC for Windows on the real reader stack: pcscd with a virtual reader and an emulated
    PIV card personalised with the fixture certificates (its signature key wants the PIN before
    every use), reached from Wine through the winscard bridge."""

    reader = VCARD_READER
    lock = None

    @classmethod
    def vcard(cls, action, card=None):
        environment = dict(os.environ, VCARD_ARGS=card) if card else None
        with open(os.path.join(cls.work, "tool.log"), "a") as log:
            return subprocess.run([os.path.join(VCARD, "vcard-env.sh"), action, cls.work],
                                  stdout=log, stderr=log, env=environment, timeout=120).returncode == 0

    @classmethod
    def setUpClass(cls):
        opensc = cached_build("win-opensc.sh")
        # One card stack per machine (fixed daemon socket and reader port): other runs wait.
        cls.lock = open("/tmp/tessivo-vcard-stack.lock", "a+")
        fcntl.flock(cls.lock, fcntl.LOCK_EX)
        cls.work = tempfile.mkdtemp(prefix="tessivo-winvcard-")
        card = (f"--load 9C:{CERTS}/ee.key:{CERTS}/citizen.der "
                f"--load 9D:{CERTS}/ee.key:{CERTS}/encipher.der")
        if not cls.vcard("up", card):
            raise RuntimeError(open(os.path.join(cls.work, "tool.log")).read())
        # The Windows programs find winscard.dll beside themselves (native, before Wine's own
        # stub); it forwards to the bridge, a Winelib DLL found through WINEDLLPATH.
        os.environ["WINEDLLPATH"] = BRIDGE
        os.environ["TESSIVO_WINE_DLLOVERRIDES"] = "winscard=n"
        # OpenSC's module uses OpenSC's library, a DLL of its own.
        extras = [os.path.join(opensc, "bin", name) for name in os.listdir(os.path.join(opensc, "bin"))
                  if name.startswith("libopensc-")]
        extras += [os.path.join(BRIDGE, "winscard.dll"), os.path.join(BRIDGE, "pcscbridge.dll")]
        cls.card = Card(cls.work, os.path.join(opensc, "bin", "opensc-pkcs11.dll"), extras)
        cls.serial = cls.serial_by_linux_pkcs11_tool()

    @classmethod
    def tearDownClass(cls):
        cls.vcard("down")
        shutil.rmtree(cls.work, ignore_errors=True)
        cls.lock.close()

    @staticmethod
    def serial_by_linux_pkcs11_tool():
        """The token serial as Linux's pkcs11-tool reads it (OpenSC's module by default)."""
        for line in run(["pkcs11-tool", "-L"]).stdout.splitlines():
            if line.strip().startswith("serial num"):
                return line.split(":", 1)[1].strip()
        return ""

    def pull(self):
        # Back in for the next test, whatever happens in this one.
        self.addCleanup(lambda: self.card_in or self.vcard("insert"))
        self.card_in = False
        self.assertTrue(self.vcard("remove"))
        for _ in range(50):
            if "0    Yes" not in run(["opensc-tool", "-l"]).stdout:
                return
            time.sleep(0.02)
        self.fail("the card did not leave the reader")

    def test_readers_as_the_reader_stack_shows_them(self):
        out = run(self.card.peer("readers"))
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stdout.replace("\r", ""),
                         f"{VCARD_READER}\t王小明 ({self.serial})\n{VCARD_EMPTY_READER}\t(no card)\n")

    def test_card_pulled_and_inserted_again(self):
        session = Session(self.card)
        try:
            session.send(f"slot {VCARD_READER}")
            login = session.send(f"login {PIN}")
            self.assertEqual(login["status"], 0, login)
            record = session.send("certinfo")["record"]
            self.assertTrue(record)

            self.pull()
            self.assertEqual(session.send("card")["noCard"], True)
            stale = session.send("certinfo")
            self.assertEqual(stale["record"], record)
            self.assertEqual(stale["stale"], True)
            failed = session.send(f"login {PIN}")
            self.assertNotEqual(failed["status"], 0)
            self.assertNotIn("certificate", failed)
            self.assertEqual(session.send(f"sign sha256 {b64(DATA)}")["result"], 1)

            self.card_in = self.vcard("insert")
            self.assertTrue(self.card_in)
            self.assertEqual(session.send("card")["serial"], self.serial)
            session.send(f"slot {VCARD_READER}")
            again = session.send(f"login {PIN}")
            self.assertEqual(again["status"], 0, again)
            # The signature key wants the PIN before each use: two signatures in a row.
            for _ in range(2):
                signed = session.send(f"sign sha256 {b64(DATA)}")
                self.assertEqual(signature_of(signed),
                                 openssl_signature(self.work, "sha256", DATA))
            self.assertEqual(session.send("logout")["result"], 0)
        finally:
            session.close()


def missing_piece():
    for name, value in (("TESSIVO_SOURCE_DIR", SOURCE), ("TESSIVO_PEER_EXE", PEER),
                        ("TESSIVO_AGENT_EXE", AGENT), ("TESSIVO_TEST_CERTS_DIR", CERTS)):
        if not value:
            return f"{name} is not set"
    if not cached_build("win-softhsm.sh") and MODE == "softhsm":
        return "SoftHSM2 for Windows is not built (scripts/win-softhsm.sh builds it)"
    # The SoftHSM2 token's certificates are written with OpenSC's pkcs11-tool.exe.
    if not cached_build("win-opensc.sh"):
        return "OpenSC for Windows is not built (scripts/win-opensc.sh builds it)"
    if MODE == "vcard":
        if not VCARD or not os.path.exists(os.path.join(VCARD, "vcard-env.sh")):
            return f"no virtual card stack at '{VCARD}' (set TESSIVO_VCARD_DIR)"
        for tool in ("pcscd", "opensc-tool", "pkcs15-tool"):
            if not shutil.which(tool):
                return f"{tool} is not installed"
        if not os.path.exists("/etc/reader.conf.d/vpcd"):
            return "the virtual reader driver is not installed (vsmartcard-vpcd)"
        for name in ("winscard.dll", "pcscbridge.dll", "pcscbridge.dll.so"):
            if not BRIDGE or not os.path.exists(os.path.join(BRIDGE, name)):
                return f"the winscard bridge is not built (no {name}; needs winegcc)"
    return ""


if __name__ == "__main__":
    if MODE not in ("softhsm", "vcard"):
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    # The certificate record's dates are local time: Taipei's, as the users' systems have it.
    os.environ["TZ"] = "CST-8"
    reason = missing_piece()
    if reason:
        print(f"skipped: {reason}")
        sys.exit(SKIP)
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(
        SoftHsmRoad if MODE == "softhsm" else VcardRoad)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)
