#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are small and deterministic: running the script again gives the
same files.  Integers are written in the byte order of the machine that runs
the fuzz targets (they run where they are built).

Two targets read their input through libFuzzer's FuzzedDataProvider, which
takes integers from the end of the input (the last byte first, most
significant first) and byte runs from the front.  Tape below writes inputs in
that form, so a seed for fuzz_handler is a readable list of requests.
"""
import json
import os
import random
import shutil
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")
NATIVE = "<" if sys.byteorder == "little" else ">"


class Tape:
    """An input as FuzzedDataProvider reads it."""

    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # in the order the provider reads it

    def integer(self, lo, hi, value):
        """ConsumeIntegralInRange(lo, hi) returning value."""
        assert lo <= value <= hi
        span, offset = hi - lo, 0
        digits = []
        while offset < 64 and (span >> offset) > 0:
            offset += 8
            digits.append(0)
        v = value - lo
        for i in range(len(digits) - 1, -1, -1):
            digits[i] = v & 0xFF
            v >>= 8
        self.back += bytes(digits)  # first read = most significant
        return self

    def boolean(self, b):
        return self.integer(0, 255, 1 if b else 0)

    def u16(self, v):
        return self.integer(0, 0xFFFF, v)

    def u32(self, v):
        return self.integer(0, 0xFFFFFFFF, v)

    def raw(self, data):
        """ConsumeBytes: from the front."""
        self.front += data
        return self

    def data(self):
        return bytes(self.front) + bytes(reversed(self.back))


def write(target, name, data):
    d = os.path.join(CORPUS, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def words(*ws):
    return struct.pack(NATIVE + "%dI" % len(ws), *[w & 0xFFFFFFFF for w in ws])


# ---- fuzz_handler ---------------------------------------------------------------
# One request: code choice, NULL-buffer choice, buffer shape and client type,
# requester address, reply code, send result; as the target reads them.

REGISTER, UNREGISTER, ENABLE, DISABLE = 0, 2, 4, 5  # code choices


SYNC_DONE = 10  # not a request: the server announces the end of its initial load


def sync_done(t):
    t.integer(0, 10, SYNC_DONE)


def request(t, choice, ctype=None, length="word", reply_code=None, null=False, name=b"@00000001.00000002"):
    t.integer(0, 10, choice)
    if choice == 6:
        t.boolean(True)
    elif choice == 7:
        t.integer(41, 44, 43)
    elif choice >= 8:
        t.u32(0x2B)
    t.integer(0, 15, 0 if null else 1)
    shape = {"no-body": 0, "short": 1, "long": 2, "word": 3}[length]
    t.integer(0, 7, shape)
    if shape == 1:
        t.integer(0, 7, 4)
    elif shape == 2:
        t.integer(9, 40, 16)
    if ctype is None or ctype <= 11:
        t.boolean(True).integer(0, 11, ctype or 0)
    else:
        t.boolean(False).u32(ctype)
    if shape == 2:
        t.raw(bytes(range(8)))
    t.u16(7).u16(0x400).integer(0, 20, len(name)).raw(name)
    if reply_code is None:
        t.boolean(False)
    else:
        t.boolean(True).u32(reply_code)
    t.boolean(False)


def handler_seeds():
    t = Tape()
    for ctype in (2, 0, 1):
        request(t, REGISTER, ctype)
    request(t, UNREGISTER, 0)
    write("fuzz_handler", "register-three-unregister-one", t.data())

    t = Tape()
    request(t, ENABLE)
    request(t, REGISTER, 3)
    request(t, REGISTER, 3)
    request(t, ENABLE)
    request(t, DISABLE)
    request(t, REGISTER, 4)
    write("fuzz_handler", "enable-register-disable", t.data())

    t = Tape()
    sync_done(t)
    request(t, ENABLE)
    request(t, REGISTER, 0)
    sync_done(t)
    request(t, REGISTER, 1)
    request(t, REGISTER, 0)
    request(t, DISABLE)
    request(t, ENABLE)
    request(t, REGISTER, 2)
    write("fuzz_handler", "sync-done", t.data())

    t = Tape()
    for ctype in range(10):
        request(t, REGISTER, ctype)
    request(t, UNREGISTER, 5)
    request(t, REGISTER, 0xDEADBEEF)
    write("fuzz_handler", "registry-full", t.data())

    t = Tape()
    request(t, 6)  # a neighbouring code
    request(t, 7)  # a wide code whose low byte is known
    request(t, 8)  # any code
    request(t, REGISTER, 1, length="long", reply_code=0x12345678)
    request(t, REGISTER, 1, null=True)
    write("fuzz_handler", "odd-codes", t.data())

    t = Tape()
    request(t, DISABLE)
    request(t, UNREGISTER, 9)
    request(t, REGISTER, 1, name=b"")
    write("fuzz_handler", "disable-first", t.data())


# ---- fuzz_store_model -----------------------------------------------------------
# Its input is a program whose every byte sequence is valid; seeds of random
# bytes of several lengths, both kinds of sequence (the last byte's low bit).


def store_seeds():
    rng = random.Random(20240501)
    for i, n in enumerate((16, 24, 40, 64, 96, 128, 200, 300)):
        body = bytes(rng.randrange(256) for _ in range(n - 1))
        write("fuzz_store_model", "random-%02d-%s" % (i, "fabric" if i % 2 else "wild"), body + bytes([i % 2]))


# ---- fuzz_decode ----------------------------------------------------------------
# The body, then the odd-address flag, then the code choice (0..3 for 0x41..0x44).

CODE = {0x41: 0, 0x42: 1, 0x43: 2, 0x44: 3}


def decode_seed(name, code, body, odd=False):
    write("fuzz_decode", name, body + bytes([1 if odd else 0, CODE[code]]))


def dev_online(entries):
    out = [len(entries)]
    for src, new, removed in entries:
        out += [len(new), len(removed), src] + new + removed
    return words(*out)


def offline(records):
    out = []
    for pid, disc in records:
        out += [pid, len(disc)] + disc
    return words(8 + 4 * len(out), len(records), *out)


def decode_seeds():
    decode_seed("dev-online", 0x43, dev_online([(0x010100, [0x010200, 0x010300], [0x010400])]))
    decode_seed("dev-online-two", 0x43, dev_online([(0x010100, [], [0x020100]), (0x020100, [0x010100], [])]), True)
    decode_seed("dev-online-empty", 0x43, words(0))
    decode_seed("dev-offline", 0x42, offline([(0x010100, [0x010200, 0x010300, 0x020100])]))
    decode_seed("remote-dom-offline", 0x42, offline([(0x030100, [0x010100]), (0x030200, [])]), True)
    decode_seed("remote-dom-offline-empty", 0x42, words(8, 0))
    decode_seed("remote-dom-online", 0x41, words(2, 0x040100, 0x040200, 0))
    decode_seed("sync", 0x44, b"")
    decode_seed("truncated", 0x43, words(1, 5, 0, 0x010100, 1, 2))
    write("fuzz_decode", "any-code", words(0) + bytes([0]) + struct.pack(">I", 0x1234) + bytes([255]))


# ---- fuzz_ipc_frame -------------------------------------------------------------
# Frames as the stand-in's IPC carries them: a 40-byte header (magic, kind,
# reserved, code, length, sequence, service name) and the body.

MAGIC, ONEWAY, REQUEST, REPLY = 0x56495043, 1, 2, 3
SERVICE = b"FZFRAME"


def frame(kind, code, body, seq, service=SERVICE, magic=MAGIC, length=None, reserved=0):
    n = len(body) if length is None else length
    head = struct.pack(NATIVE + "IHHIII20s", magic, kind, reserved, code, n, seq, service)
    return head + body


def ipc_seeds():
    write("fuzz_ipc_frame", "request", frame(REQUEST, 9, words(10), 1))
    write("fuzz_ipc_frame", "one-way", frame(ONEWAY, 0x43, words(1, 0, 0, 0x010100), 2))
    write("fuzz_ipc_frame", "three-run-together",
          frame(REQUEST, 21, words(0xA1, 0xA2), 101) + frame(ONEWAY, 22, b"\x01\x02\x03", 102) +
          frame(REQUEST, 23, b"", 103))
    write("fuzz_ipc_frame", "then-unknown-service",
          frame(REQUEST, 1, words(1), 1) + frame(REQUEST, 2, words(2), 2, service=b"NSIPC"))
    write("fuzz_ipc_frame", "then-bad-magic", frame(ONEWAY, 1, b"", 1) + frame(ONEWAY, 1, b"", 2, magic=0x12345678))
    write("fuzz_ipc_frame", "reply-kind", frame(REPLY, 1, b"", 1))
    write("fuzz_ipc_frame", "reserved-set", frame(REQUEST, 1, b"", 1, reserved=1))
    write("fuzz_ipc_frame", "beyond-limit", frame(REQUEST, 1, b"", 1, length=(64 << 20) + 1))
    write("fuzz_ipc_frame", "cut-body", frame(REQUEST, 1, bytes(10), 1, length=100))
    write("fuzz_ipc_frame", "cut-header", frame(REQUEST, 1, b"", 1)[:17])
    write("fuzz_ipc_frame", "full-name", frame(REQUEST, 1, b"", 1, service=b"FZFRAMEFZFRAMEFZFRAM"))


# ---- fuzz_fabric ----------------------------------------------------------------


def fabric(devices, zones, switch=None):
    doc = {}
    if switch is not None:
        doc["switch"] = switch
    doc["devices"] = devices
    if zones is not None:
        doc["zones"] = zones
    return json.dumps(doc, indent=1).encode()


def dev(pid, **kw):
    d = {"pid": pid}
    d.update(kw)
    return d


def fabric_seeds():
    write("fuzz_fabric", "small", fabric(
        [dev("0x010100", ind=0, spd=16, flags=1), dev("0x020100", ind=1, spd=32, flags=2, extra="0a0b"),
         dev("0x010101", ind=2, spd=8, flags=1)],
        [{"name": "z1", "members": ["0x010100", "0x020100"]},
         {"name": "z2", "members": ["0x010100", "0x010101", "0x020100"]}],
        {"domain": 1, "domains": [1, 2, 3]}))
    write("fuzz_fabric", "numeric-pids", fabric(
        [dev(0x030100, ind=-5, spd=65535, flags=4294967295), dev(0x030101, spd="0x10")],
        [{"members": [0x030100, 0x030101]}]))
    write("fuzz_fabric", "no-zones", fabric([dev("040100")], None, {"domain": 4}))
    write("fuzz_fabric", "empty", fabric([], []))
    write("fuzz_fabric", "duplicate-device", fabric([dev("0x010100"), dev("0x010100")], []))
    write("fuzz_fabric", "member-not-device", fabric([dev("0x010100")], [{"members": ["0x010100", "0x020100"]}]))
    write("fuzz_fabric", "domain-not-listed", fabric([dev("0x050100")], [], {"domain": 1, "domains": [1]}))
    write("fuzz_fabric", "bad-pid", fabric([dev("0x000100"), dev("0x1000000")], []))
    write("fuzz_fabric", "bad-extra", fabric([dev("0x010100", extra="xyz")], []))
    write("fuzz_fabric", "unicode-zone", fabric(
        [dev("0x010100"), dev("0x010200")], [{"name": "z\u00e9\u4e2d\"\\", "members": ["0x010100", "0x010200"]}]))
    # A crowded zone: every device with every other.
    pids = ["0x07%04x" % i for i in range(40)]
    write("fuzz_fabric", "crowded-zone", fabric([dev(p) for p in pids], [{"name": "all", "members": pids}]))
    write("fuzz_fabric", "not-json", b'{"devices": [ {"pid": "0x010100",, ]')
    write("fuzz_fabric", "not-object", b"[1, 2, 3]")


# ---- reproducers ------------------------------------------------------------------
# Inputs that showed a fault, replayed before every fuzzing run
# (fuzz/regressions/<target>/).  Those written here are readable versions.


def write_regression(target, name, data):
    d = os.path.join(HERE, "regressions", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def regressions():
    # Register and unregister requests whose buffer ends before the client
    # type: the handler must not read beyond the request.
    t = Tape()
    request(t, REGISTER, 1, length="no-body")
    request(t, UNREGISTER, 1, length="no-body")
    request(t, REGISTER, 1, length="short")
    write_regression("fuzz_handler", "register-without-client-type", t.data())


def main():
    if os.path.isdir(CORPUS):
        shutil.rmtree(CORPUS)
    regressions()
    handler_seeds()
    store_seeds()
    decode_seeds()
    ipc_seeds()
    fabric_seeds()
    for target in sorted(os.listdir(CORPUS)):
        print("%s: %d seeds" % (target, len(os.listdir(os.path.join(CORPUS, target)))))


if __name__ == "__main__":
    main()
