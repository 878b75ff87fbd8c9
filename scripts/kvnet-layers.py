#!/usr/bin/env python3
"""Checks the include graph of the device protocol client (KVNet/): no include circle
among its files, and no include that runs from a lower layer up to a higher one.

Layers from the bottom up; folders on one line form one layer. Public headers
(KVNet/include/) may be included from anywhere. Prints each fault; exit status 1 on any.
"""
import os
import re
import sys

LAYERS = [["base"], ["wire", "srp6"], ["login"], ["search"], ["session"], ["requests"], ["upgrade"], ["media"]]
# Neighbouring libraries whose headers a layer may include (and every layer above it):
# the P2P tunnel interface, which the sessions use to reach tunnel login types, and the
# record-file library, which the record downloads store into.
NEIGHBOURS = {os.path.join("..", "p2p", "tunnel"): "session",
              os.path.join("..", "Common", "RecordFile", "include"): "media"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def main():
    top = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "KVNet")
    top = os.path.normpath(sys.argv[1] if len(sys.argv) > 1 else top)
    rank = {d: i for i, group in enumerate(LAYERS) for d in group}
    files = {}  # path relative to top -> layer folder
    for d in rank:
        for name in sorted(os.listdir(os.path.join(top, d))):
            if name.endswith((".h", ".cpp")):
                files[f"{d}/{name}"] = d
    by_name = {}
    for rel in files:
        by_name.setdefault(os.path.basename(rel), []).append(rel)
    faults = []
    for name, rels in by_name.items():
        if len(rels) > 1 and name.endswith(".h"):
            faults.append(f"header name used twice: {', '.join(rels)}")

    def resolve(src, inc):
        here = os.path.normpath(os.path.join(os.path.dirname(src), inc))
        if here in files:
            return here
        if inc in files:  # "srp6/..." from the top folder
            return inc
        found = by_name.get(os.path.basename(inc), []) if "/" not in inc else []
        return found[0] if found else None

    graph = {}
    for rel, layer in files.items():
        with open(os.path.join(top, rel), encoding="utf-8") as f:
            text = f.read()
        graph[rel] = []
        for inc in INCLUDE.findall(text):
            target = resolve(rel, inc)
            if target is None:
                neighbour = [d for d in NEIGHBOURS if os.path.exists(os.path.join(top, d, inc))]
                if neighbour:
                    if rank[layer] < rank[NEIGHBOURS[neighbour[0]]]:
                        faults.append(f"{rel} ({layer}) includes {inc} of {neighbour[0]} below the layer "
                                      f"{NEIGHBOURS[neighbour[0]]}")
                    continue
                if not os.path.exists(os.path.join(top, "include", inc)):
                    faults.append(f"{rel}: include \"{inc}\" is neither internal nor public")
                continue
            graph[rel].append(target)
            if rank[files[target]] > rank[layer]:
                faults.append(f"{rel} ({layer}) includes {target} from the higher layer {files[target]}")

    # Circles: depth-first search with colours.
    colour = {}
    stack = []

    def visit(node):
        colour[node] = 1
        stack.append(node)
        for nxt in graph[node]:
            if colour.get(nxt) == 1:
                faults.append("include circle: " + " -> ".join(stack[stack.index(nxt):] + [nxt]))
            elif nxt not in colour:
                visit(nxt)
        stack.pop()
        colour[node] = 2

    for node in sorted(graph):
        if node not in colour:
            visit(node)
    for f in faults:
        print(f)
    edges = sum(len(v) for v in graph.values())
    print(f"{len(files)} files, {edges} internal includes, {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
