#!/usr/bin/env python3
"""Writes the seed inputs of sorter_fuzzer to fuzz/corpus/sorter/.

sorter_fuzzer reads its input as choices through FuzzedDataProvider: each
choice in [0, bound) takes the fewest bytes that hold bound - 1, from the end
of the input backwards, most significant first, modulo bound. A seed is
written here as the operations of sorter_fuzzer.cpp, each with the choices
that it makes there, in the same order; keep the two in step.

Each seed also notes its operations as the fuzzer's trace (SORTER_FUZZ_TRACE)
prints them; sorter_seeds_test.py runs the fuzzer on every seed and compares.
"""
import os
import sys

OPS = dict(initialize=0, add_key=1, prepare_key=2, add_field=3, finish_key=4, store_key=5,
           batch=6, sort=7, get_first=8, page=9, get_next=10, set_reverse=11, clear=12,
           copy=13, move=14, swap=15, read_all=16, reserve=17, keep_ends=18,
           drops_current_key=19, holds=20)
U16, U64, TEXT = 0, 1, 2
KIND_NAMES = ["u16", "u64", "text"]
VALUE_SIZES = [1, 3, 4, 8, 12, 17, 32]
ALPHABET = b"\x00aAbBzZ@[`{0\x7f\x80\xc4\xff"
MAX_KEYS = 6000
EDGES = [0, 1, 0xFF, 0x100, 0x7FFF, 0x8000, 0xFFFF, 0x10000, 0x00FF00FF00FF00FF, 1 << 31,
         0x7FFFFFFFFFFFFFFF, 0x8000000000000000, (1 << 64) - 1]


# A field as the fuzzer's trace shows it: texts quoted, with '"', '\\' and the
# bytes outside printable ASCII as \xHH.
def describe(kind, value):
    if kind != TEXT:
        return f"{KIND_NAMES[kind]} {value}"
    shown = "".join(chr(b) if 0x20 <= b < 0x7F and b not in b'"\\' else f"\\x{b:02x}"
                    for b in value)
    return f'text "{shown}"'


# The texts that sorter_fuzzer starts its pool of earlier texts with.
POOL = [b"", b"Invoice-2023-0142", b"invoice-2023-0007", b"A" * 20, b"\x00" * 12, b"\xff" * 10,
        b"abcdefgh\x00ijklmnop"]
POOL_SIZE = 32


class Seed:
    def __init__(self):
        self.choices = bytearray()  # in the order they are taken
        self.pool = list(POOL)  # None once a batch has changed it unseen
        self.next_in_pool = 0
        self.sorters = [self.new_sorter() for _ in range(2)]
        self.lines = []  # the operations, as the fuzzer's trace prints them

    @staticmethod
    def new_sorter():
        return dict(init=False, schema=[], keys=0, build=None, fields=0, keep=0)

    def trace(self, sorter, line):
        self.lines.append(f"sorter {sorter}: {line}")

    # The trace lines of the operations, then of what the fuzzer does at the end.
    def operations(self):
        return self.lines + [f"sorter {i}: at the end, sorted and read whole both ways"
                             for i, s in enumerate(self.sorters) if s["init"]]

    def choose(self, value, bound):
        assert 0 <= value < max(bound, 1)
        if bound <= 1:
            return
        top = bound - 1
        width = (top.bit_length() + 7) // 8
        self.choices += value.to_bytes(width, "big")

    def data(self):
        return bytes(reversed(self.choices))

    def op(self, name, sorter=0):
        self.choose(sorter, 2)
        self.choose(OPS[name], len(OPS))
        return self.sorters[sorter]

    # Fields: numbers as values (or edge indices), texts from the alphabet or raw.
    def number(self, value):
        if value < 4:
            self.choose(0, 4)
            self.choose(value, 4)
        elif value in EDGES:
            self.choose(1, 4)
            self.choose(EDGES.index(value), len(EDGES))
        else:
            self.choose(3, 4)
            for byte in value.to_bytes(8, "big"):
                self.choose(byte, 256)

    def text(self, data):
        if all(b in ALPHABET for b in data) and len(data) < 20:
            self.choose(0, 6)
            self.choose(len(data), 20)
            for b in data:
                self.choose(ALPHABET.index(b), len(ALPHABET))
        elif len(data) < 12:
            self.choose(1, 6)
            self.choose(len(data), 12)
            for b in data:
                self.choose(b, 256)
        else:
            self.case_variant(data)
        self.remember(data)

    # An earlier text with some letters in the other case (or none).
    def case_variant(self, data):
        assert self.pool is not None, "the pool is unknown after a batch"
        folded = bytes(data).lower()
        index = next(i for i, t in enumerate(self.pool) if t.lower() == folded)
        self.choose(3, 6)
        self.choose(index, len(self.pool))
        for old, new in zip(self.pool[index], data):
            if chr(old).isascii() and chr(old).isalpha():
                self.choose(int(old != new), 2)

    def remember(self, data):
        if self.pool is None:
            return
        if len(self.pool) < POOL_SIZE:
            self.pool.append(bytes(data))
        else:
            self.pool[self.next_in_pool] = bytes(data)
            self.next_in_pool = (self.next_in_pool + 1) % POOL_SIZE

    def field(self, kind, value):
        if kind == TEXT:
            self.text(value)
        else:
            self.number(value)
        return describe(kind, value)

    def initialize(self, schema, value_size=4, reverse=False, bad=None, sorter=0):
        s = self.op("initialize", sorter)
        self.choose(len(schema) - 1, 4)
        for kind in schema:
            self.choose(kind, 3)
        self.choose(VALUE_SIZES.index(value_size), len(VALUE_SIZES))
        self.choose(int(reverse), 2)
        self.choose({None: 3, "no fields": 0, "no value": 1, "no name": 2}[bad], 24)
        kinds = " ".join(KIND_NAMES[kind] for kind in schema)
        fields = 0 if bad == "no fields" else len(schema)
        value = 0 if bad == "no value" else value_size
        name = "" if bad == "no name" else "fuzz"
        direction = "reversed" if reverse else "ascending"
        self.trace(sorter, f'Initialize(keys of {kinds}, {fields} fields, value {value}, '
                   f'name "{name}", {direction})')
        if s["keys"] or s["build"]:
            return
        if not bad:  # a refused Initialize changes nothing
            s.update(init=True, schema=list(schema), keep=0)

    def add_key(self, *fields, sorter=0):
        s = self.op("add_key", sorter)
        if not s["init"]:
            self.trace(sorter, "add key, refused before Initialize")
            return
        if s["keys"] >= MAX_KEYS:
            self.trace(sorter, f"add key, none past {MAX_KEYS} keys")
            return
        if len(fields) == len(s["schema"]):
            self.choose(1, 4)
        else:
            self.choose(0, 4)
            self.choose(len(fields), len(s["schema"]) + 1)
        if s["keep"]:  # never offered for dropping
            self.choose(len(fields) + 1, len(fields) + 2)
        described = [self.field(kind, value) for kind, value in zip(s["schema"], fields)]
        self.trace(sorter, f"add key [{', '.join(described)}]")
        s["keys"] += 1
        s["build"] = None

    def add_field(self, value, kind=None, sorter=0):
        s = self.op("add_field", sorter)
        if s["init"] and s["build"] == "building" and s["fields"] < len(s["schema"]):
            self.trace(sorter, f"AddFieldToKey({self.field(s['schema'][s['fields']], value)})")
            s["fields"] += 1
        else:
            self.choose(kind, 3)
            self.trace(sorter, f"AddFieldToKey({self.field(kind, value)}), misuse")

    def prepare_key(self, sorter=0):
        s = self.op("prepare_key", sorter)
        self.trace(sorter, "PrepareKey")
        if s["init"]:
            s.update(build="building", fields=0)

    def finish_key(self, sorter=0):
        s = self.op("finish_key", sorter)
        self.trace(sorter, "FinishKey")
        if s["build"] == "building":
            s["build"] = "finished"

    def store_key(self, sorter=0):
        s = self.op("store_key", sorter)
        self.trace(sorter, "StoreCurrentKeywithVal")
        if s["build"] == "finished":
            s.update(build=None, keys=min(MAX_KEYS, s["keys"] + 1))

    def batch(self, count, seed, reserve=False, sorter=0):
        s = self.op("batch", sorter)
        self.choose(count - 1, 2000)
        self.choose(seed, (1 << 64) - 1)
        if s["init"]:
            self.choose(int(reserve), 2)
            how = "reserved" if reserve else "not reserved"
            s["keys"] = min(MAX_KEYS, s["keys"] + count)
            s["build"] = None
            self.pool = None
        else:
            how = "before Initialize"
        self.trace(sorter, f"batch of {count} keys from seed {seed}, {how}")

    # Returns the position that the fuzzer reads at.
    def position(self, s, where):
        n = s["keys"]
        if where == "last":
            self.choose(0, 8)
            return max(n - 1, 0)
        if where == "end":
            self.choose(1, 8)
            return n
        if where == "max":
            self.choose(2, 8)
            return (1 << 64) - 1
        self.choose(3, 8)
        self.choose(where, n + 2)
        return where

    def get_first(self, where, sorter=0):
        s = self.op("get_first", sorter)
        self.trace(sorter, f"GetFirstVal({self.position(s, where)}) of {s['keys']} keys")

    def page(self, where, length, sorter=0):
        s = self.op("page", sorter)
        at = self.position(s, where)
        self.choose(length, 64)
        self.trace(sorter, f"page from {at} of {s['keys']} keys, {length} more")

    def set_reverse(self, reverse, sorter=0):
        self.op("set_reverse", sorter)
        self.choose(int(reverse), 2)
        self.trace(sorter, f"SetReverse({'true' if reverse else 'false'})")

    def clear(self, release=False, sorter=0):
        self.op("clear", sorter)
        self.choose(int(release), 2)
        self.trace(sorter, f"Clear({'true' if release else 'false'})")
        self.sorters[sorter] = self.new_sorter()

    def copy(self, how, sorter=0):
        self.op("copy", sorter)
        self.choose(["assign", "construct", "self"].index(how), 3)
        self.trace(sorter, {"assign": "copy assignment to the other",
                            "construct": "copy construction, swapped into the other",
                            "self": "self-assignment"}[how])
        if how != "self":
            self.sorters[1 - sorter] = dict(self.sorters[sorter])

    def move(self, how, sorter=0):
        self.op("move", sorter)
        self.choose(["assign", "construct"].index(how), 2)
        self.trace(sorter, {"assign": "move assignment to the other",
                            "construct": "move construction, swapped into the other"}[how])
        self.sorters[1 - sorter] = self.sorters[sorter]
        self.sorters[sorter] = self.new_sorter()

    def swap(self, sorter=0):
        self.op("swap", sorter)
        self.trace(sorter, "swap with the other")
        self.sorters.reverse()

    def reserve(self, keys, sorter=0):
        self.op("reserve", sorter)
        self.choose(keys, MAX_KEYS)
        self.trace(sorter, f"Reserve({keys})")

    def keep_ends(self, count, sorter=0):
        s = self.op("keep_ends", sorter)
        self.choose(count, 64)
        self.trace(sorter, f"KeepEnds({count})")
        if s["init"] and s["keys"] == 0:
            s["keep"] = count

    # Only where the sorter cannot drop the key: the seeds do not model the
    # order that decides a drop.
    def drops_current_key(self, sorter=0):
        s = self.op("drops_current_key", sorter)
        self.trace(sorter, "DropsCurrentKey")

    def holds(self, where, count, sorter=0):
        s = self.op("holds", sorter)
        at = self.position(s, where)
        self.choose(count, 80)
        self.trace(sorter, f"Holds({at}, {count}) of {s['keys']} keys")

    # The operations that make no choice and change nothing that later
    # choices depend on.
    def simple(self, name, sorter=0):
        self.op(name, sorter)
        shown = {"sort": "SortKeys", "get_next": "GetNextVal", "read_all": "read all"}[name]
        self.trace(sorter, shown)


def seeds():
    out = {}

    s = Seed()  # texts that differ in case, with NULs, bytes from 0x80 and shared prefixes
    s.initialize([TEXT, U64])
    for text, number in [(b"Invoice-2023-0142", 5), (b"invoice-2023-0142", 5), (b"INVOICE", 2),
                         (b"a\x00b", 1), (b"a", 1), (b"", 0), (b"\xc4rger", 7), (b"zebra", 3),
                         (b"Zebra", 3), (b"[", 0), (b"`", 0), (b"@", 0), (b"abcdefghijx", 1)]:
        s.add_key(text, number)
    s.simple("sort")
    s.simple("read_all")
    s.set_reverse(True)
    s.simple("read_all")
    out["texts-case-nul-high-bytes"] = s

    s = Seed()  # numbers at the edges of their width, in both widths
    s.initialize([U16, U64], reverse=True)
    for a, b in [(0xFFFF, 0), (0, (1 << 64) - 1), (0x8000, 1 << 31), (0x7FFF, 0x8000000000000000),
                 (0x100, 0xFF), (0xFF, 0x100), (0, 0), (0xFFFF, 0x7FFFFFFFFFFFFFFF)]:
        s.add_key(a, b)
    s.simple("sort")
    s.simple("read_all")
    out["numbers-at-their-width-reversed"] = s

    s = Seed()  # keys that are prefixes of others: fewer fields, shorter texts
    s.initialize([TEXT, TEXT, U16])
    s.add_key(b"ab", b"cd", 1)
    s.add_key(b"ab", b"cd")
    s.add_key(b"ab")
    s.add_key()
    s.add_key(b"ab", b"")
    s.add_key(b"a", b"bcd", 1)
    s.add_key(b"ab", b"cd", 0)
    s.simple("sort")
    s.simple("read_all")
    out["prefix-keys-sort-first"] = s

    s = Seed()  # equal keys keep insertion order; reversed, its exact reverse
    s.initialize([TEXT], value_size=8)
    for _ in range(6):
        s.add_key(b"same")
        s.add_key(b"SAME")
    s.simple("sort")
    s.page(3, 5)
    s.set_reverse(True)
    s.page(0, 12)
    out["ties-by-insertion-order"] = s

    s = Seed()  # more keys than the sorter sorts eagerly, read lazily at the middle
    s.initialize([TEXT, U64], value_size=12)
    s.batch(1800, 7, reserve=True)
    s.simple("sort")
    s.page(900, 63)
    s.page(0, 20)
    s.get_first("last")
    s.simple("get_next")
    s.set_reverse(True)
    s.page(1200, 40)
    out["lazy-reads-in-a-large-batch"] = s

    s = Seed()  # large batch, one u16 field: long runs of equal keys
    s.initialize([U16], value_size=3, reverse=True)
    s.batch(2000, 12345)
    s.simple("sort")
    s.page(1999, 10)
    s.page("end", 5)
    s.page("max", 5)
    out["large-batch-of-short-keys"] = s

    s = Seed()  # keys stored after a sort have no order until the next sort
    s.initialize([TEXT])
    s.batch(600, 3)
    s.simple("sort")
    s.page(10, 3)
    s.add_key(b"new")
    s.get_first(0)
    s.simple("get_next")
    s.simple("sort")
    s.simple("read_all")
    out["store-after-sort"] = s

    s = Seed()  # SetReverse before and after the sort, and between reads
    s.initialize([U64, TEXT])
    s.batch(700, 99)
    s.set_reverse(True)
    s.simple("sort")
    s.page(5, 10)
    s.set_reverse(False)
    s.simple("get_next")
    s.page(5, 10)
    s.set_reverse(True)
    s.simple("read_all")
    out["set-reverse-flips"] = s

    s = Seed()  # Clear keeps the buffers; the next sort reuses them
    s.initialize([TEXT, U16])
    s.batch(2000, 5)
    s.simple("sort")
    s.page(1000, 10)
    s.clear(release=True)
    s.initialize([U16], value_size=1)
    s.add_key(2)
    s.add_key(1)
    s.simple("sort")
    s.simple("read_all")
    s.clear(release=False)
    s.initialize([TEXT, U64, U16], value_size=17, reverse=True)
    s.batch(900, 8)
    s.simple("sort")
    s.simple("read_all")
    out["clear-and-reuse"] = s

    s = Seed()  # copies are deep: each goes on alone
    s.initialize([TEXT, U64])
    s.batch(1000, 21)
    s.simple("sort")
    s.page(400, 10)
    s.copy("assign")
    s.simple("get_next", sorter=1)
    s.add_key(b"copy only", 1, sorter=1)
    s.simple("sort", sorter=1)
    s.simple("read_all", sorter=1)
    s.page(400, 10)
    s.copy("construct", sorter=1)
    s.set_reverse(True, sorter=0)
    s.simple("read_all", sorter=0)
    out["copies-are-deep"] = s

    s = Seed()  # a copy made while a key is being built finishes and stores it
    s.initialize([U16, TEXT])
    s.prepare_key()
    s.add_field(7)
    s.copy("construct")
    s.add_field(b"tail", sorter=1)
    s.finish_key(sorter=1)
    s.store_key(sorter=1)
    s.finish_key()
    s.copy("assign")
    s.store_key(sorter=1)
    s.simple("sort", sorter=1)
    s.simple("read_all", sorter=1)
    out["copy-with-a-key-being-built"] = s

    s = Seed()  # moves leave the source empty and uninitialised; swaps exchange
    s.initialize([TEXT])
    s.batch(300, 4)
    s.move("assign")
    s.simple("sort", sorter=1)
    s.page(100, 5, sorter=1)
    s.simple("sort")
    s.initialize([U64])
    s.add_key(5)
    s.swap()
    s.move("construct", sorter=1)
    s.simple("sort")
    s.simple("read_all")
    out["moves-and-swaps"] = s

    s = Seed()  # misuse is refused and leaves the sorter working
    s.prepare_key()
    s.add_field(1, kind=U16)
    s.simple("sort")
    s.set_reverse(True)
    s.reserve(100)
    s.get_first(0)
    s.simple("get_next")
    s.initialize([U16])
    s.finish_key()
    s.store_key()
    s.prepare_key()
    s.add_field(3)
    s.add_field(4, kind=U64)
    s.finish_key()
    s.add_field(b"late", kind=TEXT)
    s.initialize([TEXT])
    s.store_key()
    s.simple("sort")
    s.simple("get_next")
    s.get_first(0)
    s.simple("get_next")
    out["misuse-is-refused"] = s

    s = Seed()  # Initialize with arguments that cannot be served
    s.initialize([U16], bad="no fields")
    s.initialize([U16], bad="no value")
    s.initialize([U16], bad="no name")
    s.add_key(1)
    s.initialize([U64, U64])
    s.add_key(1, 2)
    s.initialize([U16], bad="no name")
    s.simple("sort")
    s.simple("read_all")
    out["initialize-refused"] = s

    s = Seed()  # only the ends of the order kept: reads near them, Holds, and drops in batches
    s.initialize([TEXT, U64])
    s.keep_ends(20)
    s.batch(1500, 31)
    s.simple("sort")
    s.page(0, 30)
    s.page(1490, 20)
    s.page(700, 3)
    s.holds(0, 20)
    s.holds(0, 21)
    s.holds(1480, 20)
    s.holds(1479, 2)
    s.set_reverse(True)
    s.page(0, 25)
    s.keep_ends(5)
    s.copy("construct")
    s.simple("read_all", sorter=1)
    s.clear()
    s.initialize([U16, TEXT])
    s.keep_ends(2)
    s.add_key(5, b"e")
    s.prepare_key()
    s.add_field(7)
    s.drops_current_key()
    s.add_field(b"g")
    s.finish_key()
    s.store_key()
    s.add_key(1, b"a")
    s.add_key(9, b"z")
    s.simple("sort")
    s.holds(0, 4)
    s.simple("read_all")
    out["keep-ends"] = s

    s = Seed()  # an empty sorter, sorted and read
    s.initialize([TEXT])
    s.simple("sort")
    s.get_first(0)
    s.simple("get_next")
    s.get_first("max")
    out["empty-sorter"] = s

    return out


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__),
                                                                "corpus", "sorter")
    os.makedirs(folder, exist_ok=True)
    for name, seed in seeds().items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(seed.data())


if __name__ == "__main__":
    main()
