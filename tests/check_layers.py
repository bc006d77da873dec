#!/usr/bin/env python3
"""check_layers.py LAYERS SRC: every include of a folder of src/ by another
folder of src/ goes to a folder its library builds on. LAYERS is the file the
build writes from src/CMakeLists.txt ("folder: folders below"), so that the
libraries' links and this check cannot disagree. A header-only use of a
folder above (an inline function, an interface) would link; this catches it."""
import os
import re
import sys

layers_file, src = sys.argv[1], sys.argv[2]
below = {}
for line in open(layers_file):
    folder, _, deps = line.partition(":")
    below[folder.strip()] = set(deps.split())

include = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/')
faults = []
for folder in sorted(os.listdir(src)):
    path = os.path.join(src, folder)
    if not os.path.isdir(path):
        continue
    if folder not in below:
        faults.append(f"src/{folder}/ has no library in src/CMakeLists.txt")
        continue
    for name in sorted(os.listdir(path)):
        for n, text in enumerate(open(os.path.join(path, name), errors="replace"), 1):
            m = include.match(text)
            if m and m.group(1) != folder and m.group(1) not in below[folder]:
                faults.append(f"src/{folder}/{name}:{n}: includes {m.group(1)}/, "
                              f"which src/{folder} does not build on")
for f in faults:
    print(f)
print(f"{len(below)} layers, {len(faults)} faults")
sys.exit(1 if faults else 0)
