"""GyrantEngine.dump(): the Graphviz text of the hierarchy, checked line by line."""
import re
from collections import Counter

import numpy as np

from gyrant_module import GyrantEngine

HEADER = 'digraph BVH8 {\n  node [fontname="Arial", fontsize=10];\n  rankdir=TB;\n\n'
LEAF_OPEN = ('    <TABLE BORDER="0" CELLBORDER="1" CELLSPACING="0" CELLPADDING="4" '
             'BGCOLOR="#eaffea">\n')
NODE_OPEN = ('    <TABLE BORDER="0" CELLBORDER="1" CELLSPACING="0" CELLPADDING="4" '
             'BGCOLOR="#f0faff">\n')
NUM = r"(-?\d+\.\d+)"


EXACT_LINE = re.compile(r"  // exact method: (crossings|hierarchical), (\d+) boundary edges\n")


def without_exact_line(text):
    """A triangle engine's dump says on its second line which path the exact method takes."""
    first, second, rest = text.split("\n", 2)
    assert EXACT_LINE.fullmatch(second + "\n")
    return first + "\n" + rest


def f2(x):
    # Python rounds the exact binary value half-to-even, as std::format does.
    return format(float(np.float32(x)), ".2f")


def triangle_text(t):
    v = [f2(x) for x in np.asarray(t, dtype=np.float32).reshape(9)]
    return f"v0:({v[0]}, {v[1]}, {v[2]}) | v1:({v[3]}, {v[4]}, {v[5]}) | v2:({v[6]}, {v[7]}, {v[8]})"


def point_text(p, n):
    v = [f2(x) for x in np.concatenate([p, n]).astype(np.float32)]
    return f"Pos:({v[0]}, {v[1]}, {v[2]}) | Norm:({v[3]}, {v[4]}, {v[5]})"


def half(x):
    return np.asarray(x, dtype=np.float32).astype(np.float16).astype(np.float64)


def box_corners(coords):
    """Half-precision corners of a set of float32 coordinates (rows of 3)."""
    return half(coords.min(axis=0)), half(coords.max(axis=0))


def node_box_line(lo, hi):
    a = ", ".join(format(x, ".3f") for x in lo)
    b = ", ".join(format(x, ".3f") for x in hi)
    return f'      <TR><TD COLSPAN="4"><FONT POINT-SIZE="9">AABB Min: ({a})<BR/>AABB Max: ({b})</FONT></TD></TR>\n'


def leaf_box_line(lo, hi):
    a = ", ".join(format(x, ".2f") for x in lo)
    b = ", ".join(format(x, ".2f") for x in hi)
    return (f'      <TR><TD COLSPAN="4"><FONT POINT-SIZE="9" COLOR="#333333">AABB Min: ({a}) '
            f'Max: ({b})</FONT></TD></TR>\n')


def random_soup(n, seed):
    rng = np.random.default_rng(seed)
    centres = rng.uniform(-2.0, 2.0, size=(n, 1, 3))
    return (centres + rng.normal(scale=0.2, size=(n, 3, 3))).astype(np.float32)


def scaled_normals(soup):
    s = soup.astype(np.float64)
    return 0.5 * np.cross(s[:, 1] - s[:, 0], s[:, 2] - s[:, 0])


def weighted_centre(soup):
    w = np.linalg.norm(scaled_normals(soup), axis=1)
    return (soup.astype(np.float64).mean(axis=1) * w[:, None]).sum(axis=0) / w.sum()


def parse_numbers(line):
    return np.array([float(x) for x in re.findall(NUM, line)])


# ---------------------------------------------------------------------------------------------


def test_dump_root_leaf_documents(dev):
    for n in (1, 2, 17, 31, 32):
        soup = random_soup(n, seed=n)
        text = without_exact_line(GyrantEngine(dev.array(soup)).dump())
        lines = text.splitlines(keepends=True)
        assert text.startswith(HEADER)
        body = lines[4:]
        assert body[0] == "  L0 [shape=none, label=<\n"
        assert body[1] == LEAF_OPEN
        assert body[2] == ('      <TR><TD COLSPAN="4" BGCOLOR="#4CAF50"><B><FONT COLOR="white">'
                           'LEAF 0 (Root Leaf)</FONT></B></TD></TR>\n')
        assert re.fullmatch(r'      <TR><TD COLSPAN="4" BGCOLOR="#c8e6c9"><I>CoM: \(' + NUM + ", " + NUM
                            + ", " + NUM + r"\)</I></TD></TR>\n", body[3])
        # Area-weighted mean of the centroids, printed with 4 decimals: half a unit of the last
        # digit plus single-precision summation.
        np.testing.assert_allclose(parse_numbers(body[3]), weighted_centre(soup), atol=6e-5)
        assert body[4] == node_box_line(*box_corners(soup.reshape(-1, 3)))
        rows = body[5:-2]
        assert len(rows) == n
        pattern = re.compile(r'      <TR><TD>P(\d+)</TD><TD COLSPAN="3" ALIGN="LEFT"><FONT '
                             r'POINT-SIZE="9">(.*)</FONT></TD></TR>\n')
        matches = [pattern.fullmatch(r) for r in rows]
        assert all(matches)
        assert [int(m.group(1)) for m in matches] == list(range(n))
        # The rows hold every triangle once (in Morton order, which this test does not replicate).
        assert Counter(m.group(2) for m in matches) == Counter(triangle_text(t) for t in soup)
        assert body[-2:] == ["    </TABLE>>];\n", "}\n"]
        assert "Zero Order" not in text


def test_dump_root_leaf_of_points(dev):
    rng = np.random.default_rng(7)
    p = rng.uniform(-1, 1, size=(5, 3)).astype(np.float32)
    n = rng.normal(size=(5, 3)).astype(np.float32)
    text = GyrantEngine(dev.array(p), dev.array(n)).dump()
    rows = re.findall(r'<TR><TD>P\d+</TD><TD COLSPAN="3" ALIGN="LEFT"><FONT POINT-SIZE="9">(.*)</FONT>', text)
    assert Counter(rows) == Counter(point_text(a, b) for a, b in zip(p, n))
    centre = re.search(r"CoM: \((.*)\)</I>", text).group(1)
    np.testing.assert_allclose(parse_numbers(centre), p.astype(np.float64).mean(axis=0), atol=6e-5)
    assert node_box_line(*box_corners(p)) in text
    assert text.endswith("    </TABLE>>];\n}\n")


def test_dump_of_33_triangles(dev):
    soup = random_soup(33, seed=33)
    text = without_exact_line(GyrantEngine(dev.array(soup)).dump())
    lines = text.splitlines(keepends=True)
    assert text.startswith(HEADER) and text.endswith("}\n")
    body = lines[4:-1]

    # Node 0: header, centre, box, three expansion blocks.
    assert body[0] == "  N0 [shape=none, label=<\n"
    assert body[1] == NODE_OPEN
    assert body[2] == ('      <TR><TD COLSPAN="4" BGCOLOR="#2196F3"><B><FONT COLOR="white">NODE 0'
                       '</FONT></B></TD></TR>\n')
    np.testing.assert_allclose(parse_numbers(body[3]), weighted_centre(soup), atol=6e-5)
    assert body[4] == node_box_line(*box_corners(soup.reshape(-1, 3)))
    assert body[5].startswith('      <TR><TD BGCOLOR="#bbdefb"><B>Zero Order</B></TD><TD>')
    # Sum of the scaled normals, rounded to half twice (leaf expansions, then the node's:
    # relative 2 * 2^-11) and printed with 4 decimals.
    total = scaled_normals(soup).sum(axis=0)
    np.testing.assert_allclose(parse_numbers(body[5]), total, rtol=2**-10, atol=6e-5)
    assert body[6] == '      <TR><TD ROWSPAN="3" BGCOLOR="#bbdefb"><B>1st Order</B></TD>\n'
    row = re.compile(r"        <TD>" + NUM + "</TD><TD>" + NUM + "</TD><TD>" + NUM + r"</TD></TR>\n")
    assert row.fullmatch(body[7]) and body[8] == "      <TR>\n" and row.fullmatch(body[9])
    assert body[10] == "      <TR>\n" and row.fullmatch(body[11])
    assert body[12] == '      <TR><TD COLSPAN="4" BGCOLOR="#bbdefb"><B>2nd Order</B></TD></TR>\n'
    slices = []
    at = 13
    for s in range(3):
        assert body[at] == f'      <TR><TD ROWSPAN="3">Slice {s}</TD>\n'
        assert body[at + 2] == "      <TR>\n" and body[at + 4] == "      <TR>\n"
        slices.append([body[at + 1], body[at + 3], body[at + 5]])
        at += 6
    # The tensor is symmetric in the pair (slice, row): T(s, r) and T(r, s) print alike.
    for s in range(3):
        for r in range(3):
            assert slices[s][r] == slices[r][s]
    assert body[at] == "    </TABLE>>];\n"
    rest = "".join(body[at + 1 :])

    # Slots in order: two leaf edges labelled with their slot, six empty points numbered E0..E5.
    slot_lines = re.findall(r"^  N0 -> (L\d+|E\d+) (.*)$", rest, re.M)
    assert len(slot_lines) == 8
    assert sorted(t for t, _ in slot_lines if t[0] == "L") == ["L0", "L1"]
    assert [t for t, _ in slot_lines if t[0] == "E"] == [f"E{i}" for i in range(6)]
    slot_of_leaf = [int(re.match(r'\[label="(\d)"', attrs).group(1)) for t, attrs in slot_lines if t[0] == "L"]
    positions = [i for i, (t, _) in enumerate(slot_lines) if t[0] == "L"]
    assert slot_of_leaf == positions
    for i in range(6):
        assert f'  E{i} [label="", shape=point, color=gray];\n  N0 -> E{i} [style=dotted, color=gray, arrowhead=none];\n' in rest
    assert re.search(r'  N0 -> L0 \[label="\d", color="#4CAF50", penwidth=2\];\n', rest)
    leaf_rows = {}
    for leaf in ("L0", "L1"):
        table = re.search("  " + leaf + r" \[shape=none, label=<\n(.*?)    </TABLE>>\];\n", rest, re.S).group(1)
        assert table.startswith(LEAF_OPEN)
        assert f'<FONT COLOR="white">LEAF {leaf[1:]}</FONT>' in table
        assert '<I>Geometry (Max 32 Packets)</I>' in table
        assert "2nd Order" not in table
        leaf_rows[leaf] = re.findall(r'<TR><TD>P(\d+)</TD><TD COLSPAN="3" ALIGN="LEFT"><FONT POINT-SIZE="8">(.*)</FONT>', table)
    assert [int(j) for j, _ in leaf_rows["L0"]] == list(range(32))
    assert [j for j, _ in leaf_rows["L1"]] == ["0"]
    everything = [t for rows in leaf_rows.values() for _, t in rows]
    assert Counter(everything) == Counter(triangle_text(t) for t in soup)
    # Leaf L1 holds one triangle: its box (2 decimals) is that triangle's half-precision box.
    lone = next(t for t in soup if triangle_text(t) == leaf_rows["L1"][0][1])
    assert leaf_box_line(*box_corners(lone)) in rest
    assert "NODE 1" not in rest


def test_dump_of_a_deeper_tree(dev):
    n = 41 * 32 + 5  # 42 leaves: at least two levels of 8-wide nodes
    soup = random_soup(n, seed=99)
    text = GyrantEngine(dev.array(soup)).dump()
    by_text = {triangle_text(t): t for t in soup}
    assert len(by_text) == n

    node_ids = [int(x) for x in re.findall(r"^  N(\d+) \[shape=none", text, re.M)]
    # Breadth first from node 0, each node once, numbered in the order printed.
    assert node_ids == list(range(len(node_ids))) and len(node_ids) >= 2
    leaf_ids = [int(x) for x in re.findall(r"^  L(\d+) \[shape=none", text, re.M)]
    assert sorted(leaf_ids) == list(range(42))
    empties = [int(x) for x in re.findall(r"^  E(\d+) \[label", text, re.M)]
    assert empties == list(range(len(empties)))
    # Every node has 8 slot edges; every node but the root is reached by one internal edge from
    # a node printed before it.
    slots = re.findall(r"^  N(\d+) -> ([NL])(\d+) \[label=\"(\d)\"", text, re.M)
    empty_edges = re.findall(r"^  N(\d+) -> E(\d+) \[style=dotted", text, re.M)
    assert len(slots) + len(empty_edges) == 8 * len(node_ids)
    assert [int(e) for _, e in empty_edges] == empties
    parents = {int(c): int(p) for p, kind, c, _ in slots if kind == "N"}
    assert sorted(parents) == node_ids[1:]
    assert all(p < c for c, p in parents.items())
    assert all('weight=3' in line for line in re.findall(r"^  N\d+ -> N\d+ .*$", text, re.M))

    # Each leaf's zero order is the sum of the scaled normals of its own triangles.
    for leaf, table in re.findall(r"^  L(\d+) \[shape=none, label=<\n(.*?)    </TABLE>>\];\n", text, re.M | re.S):
        rows = re.findall(r'POINT-SIZE="8">(.*)</FONT>', table)
        assert 1 <= len(rows) <= 32
        tris = np.array([by_text[r] for r in rows])
        zero = re.search(r"<B>Zero Order</B></TD>(.*)\n", table).group(1)
        # Half-precision storage (relative 2^-11) printed with 4 decimals.
        np.testing.assert_allclose(parse_numbers(zero), scaled_normals(tris).sum(axis=0), rtol=2**-11, atol=1e-4)
    assert len(re.findall(r'POINT-SIZE="8">', text)) == n
