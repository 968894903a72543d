"""Times evaluate_tree on inputs built to be slow, beside ordinary inputs of
the same size measured in the same run:

- a series whose every dimension reads the next one (`=right[1] + 1`) over
  10,000, 20,000 and 40,000 dimensions, beside the same series of `=1 + 1`:
  the time per dimension must stay flat as the series grows;
- diagnose_tree on 100,000 distinct names of 64 characters, the longest that
  get suggestions for a mistyped name, and one reference to a name no node
  has, beside names of 8 characters: a suggestion must not cost each name its
  length squared;
- 20,000 nodes, half numbers and half formulas reading one of them, beside
  one formula list of 20,000 entries (every node a cell in each of its
  dimensions), in evaluate_tree and diagnose_tree, beside the same nodes
  with a list of 12: each node must cost about the same;
- 20,000 departments, each holding its share of the sum of a name that all
  of them have (`=@Revenue[k] / sum(@Revenue)` and the same with `total`),
  and with the index forgotten (`@Revenue`, MANY!), in evaluate_tree and
  diagnose_tree, beside the share of one department's revenue
  (`@Revenue[1]`): each sum must be read, not computed anew, by all but the
  first reader, or every department reads every other;
- 80,000 names of 16 ASCII characters, and 40,000 formula texts, that all
  collide under an unkeyed hash (the one these tables used before they were
  keyed), beside random texts of the same length: crafted texts must cost
  about what random ones cost.

    python bench/bench_hostile.py [--repeat N]

Needs numpy to craft the colliding texts.
"""

from __future__ import annotations

import argparse
import random
import time
from collections.abc import Callable
from types import SimpleNamespace as Node

import morvax_formulas

MASK = (1 << 64) - 1


def best_of(repeat: int, run: Callable[[], object]) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def series(length: int, formula: str) -> Node:
    return Node(name="s", formula=[formula] * (length - 1) + ["=0"], children=[])


def colliding_texts(count: int, prefix: bytes) -> list[str]:
    """`count` texts of 16 ASCII bytes, starting with `prefix`, whose unkeyed
    hash (multiply and shift over 8-byte words) is the same for all: the
    second word cancels whatever the first one made of the state."""
    import numpy as np

    mul = np.uint64(0xBF58476D1CE4E5B9)
    start = np.uint64(0x9E3779B97F4A7C15 ^ 16)
    target = np.uint64(0x0123456789ABCDEF & 0x7F7F7F7F7F7F7F7F)
    rng = np.random.default_rng(17)
    found: list[str] = []
    seen: set[bytes] = set()
    while len(found) < count:
        first = rng.integers(32, 127, size=(1 << 20, 8), dtype=np.uint8)
        first[:, : len(prefix)] = np.frombuffer(prefix, dtype=np.uint8)
        words = first.view("<u8").ravel()
        with np.errstate(over="ignore"):
            state = (start ^ words) * mul
        state ^= state >> np.uint64(31)
        second = state ^ target  # the state the second word must cancel
        ascii_ = (second & np.uint64(0x8080808080808080)) == 0
        for a, b in zip(words[ascii_], second[ascii_]):
            text = int(a).to_bytes(8, "little") + int(b).to_bytes(8, "little")
            if text not in seen:
                seen.add(text)
                found.append(text.decode("ascii"))
    return found[:count]


def random_texts(count: int, prefix: str) -> list[str]:
    rng = random.Random(17)
    letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
    return [prefix + "".join(rng.choice(letters) for _ in range(16 - len(prefix))) for _ in range(count)]


def named_tree(names: list[str]) -> Node:
    return Node(name="root", formula="=1", children=[Node(name=n, formula="1", children=[]) for n in names])


def formula_tree(texts: list[str]) -> Node:
    return Node(name="root", formula="=1", children=[Node(name="x", formula=t, children=[]) for t in texts])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    evaluate = morvax_formulas.evaluate_tree

    print(f"{'input':<52} {'time':>9} {'baseline':>9} {'ratio':>6}")
    for length in (10_000, 20_000, 40_000):
        hostile_tree, plain_tree = series(length, "=right[1] + 1"), series(length, "=1 + 1")
        hostile = best_of(args.repeat, lambda: evaluate(hostile_tree, in_place=True))
        plain = best_of(args.repeat, lambda: evaluate(plain_tree, in_place=True))
        print(f"{'=right[1] + 1 over ' + format(length, ',') + ' dimensions':<52} {hostile:9.4f} {plain:9.4f} {hostile / plain:6.2f}")
        assert evaluate(series(length, "=right[1] + 1")).value[0] == str(length - 1)

    def beside_a_list(length: int) -> Node:
        nodes = [Node(name=f"n{i}", formula=str(i) if i % 2 else f"=@n1 * {i}", children=[]) for i in range(20_000)]
        return Node(name="root", formula="", children=[*nodes, Node(name="s", formula=["=@n1 + 1"] * length, children=[])])

    def in_both(what: str, hostile_tree: Node, plain_tree: Node) -> None:
        """A row for evaluate_tree and one for diagnose_tree."""
        for name, function in (("evaluate_tree", lambda root: evaluate(root, in_place=True)),
                               ("diagnose_tree", morvax_formulas.diagnose_tree)):
            hostile = best_of(args.repeat, lambda: function(hostile_tree))
            plain = best_of(args.repeat, lambda: function(plain_tree))
            print(f"{name + ', ' + what:<52} {hostile:9.4f} {plain:9.4f} {hostile / plain:6.2f}")

    in_both("20,000 nodes beside a list of 20,000", beside_a_list(20_000), beside_a_list(12))

    def shares(of: str) -> Node:
        departments = [
            Node(name=f"D{k}", formula="=sum(children)", children=[
                Node(name="Revenue", formula=[str(100 + k + j) for j in range(12)], children=[]),
                Node(name="Share", formula=[f"=@Revenue[{k}] / {of}"] * 12, children=[]),
            ])
            for k in range(1, 20_001)
        ]
        return Node(name="root", formula="", children=departments)

    one = shares("@Revenue[1]")
    for of in ("sum(@Revenue)", "total(@Revenue)", "@Revenue"):
        in_both("20,000 shares of " + of, shares(of), one)

    def with_unknown_name(length: int) -> Node:
        rng = random.Random(length)
        names = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(length)) for _ in range(100_000)]
        root = named_tree(names)
        root.formula = "=@nosuchname + 1"
        return root

    long_names, short_names = with_unknown_name(64), with_unknown_name(8)
    hostile = best_of(args.repeat, lambda: morvax_formulas.diagnose_tree(long_names))
    plain = best_of(args.repeat, lambda: morvax_formulas.diagnose_tree(short_names))
    print(f"{'diagnose_tree, 100,000 names of 64 characters':<52} {hostile:9.4f} {plain:9.4f} {hostile / plain:6.2f}")

    try:
        crafted_names = colliding_texts(80_000, b"")
        crafted_formulas = colliding_texts(40_000, b"=")
    except ImportError:
        print("numpy is missing: no crafted texts")
        return
    for what, crafted, plain, build in (
        ("80,000 colliding 16-character names", crafted_names, random_texts(80_000, ""), named_tree),
        ("40,000 colliding 16-character formula texts", crafted_formulas, random_texts(40_000, "="), formula_tree),
    ):
        hostile_tree, plain_tree = build(crafted), build(plain)
        hostile = best_of(args.repeat, lambda: evaluate(hostile_tree, in_place=True))
        baseline = best_of(args.repeat, lambda: evaluate(plain_tree, in_place=True))
        print(f"{what:<52} {hostile:9.4f} {baseline:9.4f} {hostile / baseline:6.2f}")


if __name__ == "__main__":
    main()
