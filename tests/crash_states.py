#!/usr/bin/env python3
"""Power loss at every moment of a commit: every crash state, welded.

Each case records one run (texsplit over a set, or texweld over an output)
with strace, replays its file-system calls on a model of the folder, and
builds the state the disk could be in had the power failed after each call:

  - names as of the last flush of the folder, then the later changes of
    names in order, each state also with one of those unflushed changes
    left out;
  - a file's bytes as of its last flush; bytes written since are there
    whole, lost, cut in half, or zeros (the same for every such file).

Each state is made as a real folder and the next texweld is run in it: it
must weld exactly the old or the new texture, and leave the folder holding
exactly that texture's chunks (the output case: the output is the old or
the new file, and the next weld leaves nothing beside it).

Usage: crash_states.py TEXWELD TEXSPLIT SCRATCH
"""
import os
import random
import re
import shutil
import subprocess
import sys

TEXWELD, TEXSPLIT, SCRATCH = sys.argv[1:4]

TRACED = ("openat,open,creat,write,pwrite64,ftruncate,fsync,fdatasync,rename,renameat,renameat2,"
          "link,linkat,unlink,unlinkat,close,lseek")


def level_sizes(width, height, levels):
    """The bytes of each DXT1 level: 8 for each 4x4 block."""
    return [max(1, -(-(width >> k) // 4)) * max(1, -(-(height >> k) // 4)) * 8 for k in range(levels)]


def dds(width, height, levels, seed):
    """A DXT1 texture of random blocks: preamble and every level."""
    rng = random.Random(seed)
    header = bytearray(124)
    words = {0: 124, 1: 0x1007 | 0x20000, 2: height, 3: width, 6: levels, 18: 32, 19: 4,
             20: int.from_bytes(b"DXT1", "little"), 26: 0x401008}
    for index, value in words.items():
        header[index * 4:index * 4 + 4] = value.to_bytes(4, "little")
    body = bytes(rng.getrandbits(8) for _ in range(sum(level_sizes(width, height, levels))))
    return b"DDS " + bytes(header) + body


def split(texture, levels, width, height):
    """The chunks of a texture, as texsplit names them: {suffix: bytes}."""
    sizes = level_sizes(width, height, levels)
    numbered = max(0, levels - 3)
    chunks, at = {}, 128
    for level in range(numbered):
        chunks[str(numbered - level)] = texture[at:at + sizes[level]]
        at += sizes[level]
    chunks["0"] = texture[:128] + texture[at:]
    return chunks


class Inode:
    def __init__(self, data=b"", synced=True):
        self.data = bytearray(data)
        self.synced = bytes(data) if synced else b""


class Model:
    """The folder as the run changed it, and as the disk has it."""

    def __init__(self, files):
        self.names = {name: Inode(data) for name, data in files.items()}
        self.durable = dict(self.names)
        self.pending = []  # changes of names since the folder's last flush
        self.fds = {}      # fd: [inode or "dir", offset]

    def change(self, operation):
        self.pending.append(operation)
        apply(self.names, operation)

    def states(self):
        """Every state a power loss now could leave: {name: bytes}."""
        dirty = {id(i) for i in self.names.values() if bytes(i.data) != i.synced}
        variants = ["whole"] + (["lost", "cut", "zeros"] if dirty else [])
        for skip in [None] + list(range(len(self.pending))):
            names = dict(self.durable)
            for index, operation in enumerate(self.pending):
                if index != skip:
                    apply(names, operation)
            for variant in variants:
                yield {name: content(inode, variant) for name, inode in names.items()}, names


def content(inode, variant):
    data = bytes(inode.data)
    if data == inode.synced or variant == "whole":
        return data
    return {"lost": inode.synced, "cut": data[:len(data) // 2], "zeros": bytes(len(data))}[variant]


def apply(names, operation):
    kind, first, second = operation
    if kind == "name":
        names[first] = second
    elif kind == "rename" and first in names:
        names[second] = names.pop(first)
    elif kind == "unlink":
        names.pop(first, None)


ARGUMENTS = re.compile(r'^(?:\d+ +)?(\w+)\((.*)\) += (-?\d+)')


def words(text):
    """The arguments of a traced call, split at top-level commas."""
    parts, depth, quoted, current = [], 0, False, ""
    for i, c in enumerate(text):
        if quoted:
            current += c
            if c == '"' and text[i - 1] != "\\":
                quoted = False
        elif c == '"':
            quoted, current = True, current + c
        elif c in "[{":
            depth, current = depth + 1, current + c
        elif c in "]}":
            depth, current = depth - 1, current + c
        elif c == "," and depth == 0:
            parts.append(current.strip())
            current = ""
        else:
            current += c
    return parts + [current.strip()] if current.strip() else parts


def string(word):
    body = word[word.index('"') + 1:word.rindex('"')]
    return bytes(int(body[i + 2:i + 4], 16) for i in range(0, len(body), 4))


def fd(word):
    return int(re.match(r"-?\d+", word).group())


def name(word, folder):
    path = string(word).decode()
    return os.path.relpath(path, folder) if path.startswith("/") else path


def replay(log, folder, files):
    """Every crash state of the run `log` recorded in `folder`, in order."""
    model = Model(files)
    yield from model.states()
    for line in open(log, encoding="latin-1"):
        found = ARGUMENTS.match(line)
        if not found or int(found.group(3)) < 0:
            continue
        call, args, result = found.group(1), words(found.group(2)), int(found.group(3))
        if call in ("openat", "open"):
            path_word, flags = (args[1], args[2]) if call == "openat" else (args[0], args[1])
            path = name(path_word, folder)
            if "O_TMPFILE" in flags:
                model.fds[result] = [Inode(synced=False), 0]  # a file with no name yet
                continue
            if "O_DIRECTORY" in flags or path == ".":
                model.fds[result] = ["dir", 0]
                continue
            if path not in model.names:
                if "O_CREAT" not in flags:
                    continue
                model.change(("name", path, Inode(synced=False)))
            inode = model.names[path]
            if "O_TRUNC" in flags:
                inode.data = bytearray()
            model.fds[result] = [inode, 0]
        elif call in ("write", "pwrite64") and fd(args[0]) in model.fds:
            entry = model.fds[fd(args[0])]
            data = string(args[1])[:result]
            at = int(args[3]) if call == "pwrite64" else entry[1]
            inode = entry[0]
            inode.data[at:at + len(data)] = data
            if call == "write":
                entry[1] = at + len(data)
        elif call == "lseek" and fd(args[0]) in model.fds:
            model.fds[fd(args[0])][1] = result
        elif call == "ftruncate" and fd(args[0]) in model.fds:
            inode = model.fds[fd(args[0])][0]
            inode.data = inode.data[:int(args[1])].ljust(int(args[1]), b"\0")
        elif call in ("fsync", "fdatasync") and fd(args[0]) in model.fds:
            target = model.fds[fd(args[0])][0]
            if target == "dir":
                model.durable, model.pending = dict(model.names), []
            else:
                target.synced = bytes(target.data)
        elif call == "close":
            model.fds.pop(fd(args[0]), None)
        elif call in ("link", "linkat"):
            source, target = (args[0], args[1]) if call == "link" else (args[1], args[3])
            source_path = string(source).decode()
            match = re.match(r"/proc/self/fd/(\d+)", source_path)
            inode = model.fds[int(match.group(1))][0] if match else model.names.get(name(source, folder))
            if inode is not None:
                model.change(("name", name(target, folder), inode))
        elif call.startswith("rename"):
            old, new = (args[0], args[1]) if call == "rename" else (args[1], args[3])
            model.change(("rename", name(old, folder), name(new, folder)))
        elif call.startswith("unlink"):
            model.change(("unlink", name(args[0] if call == "unlink" else args[1], folder), None))
        else:
            continue
        yield from model.states()


def traced(program, arguments, folder):
    os.makedirs(SCRATCH, exist_ok=True)
    log = os.path.join(SCRATCH, "calls")
    subprocess.run(["strace", "-f", "-xx", "-s", "10000000", "-o", log, "-e", "trace=" + TRACED, program] + arguments,
                   cwd=folder, stdout=subprocess.DEVNULL, check=True)
    return log


def make(folder, state, names):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    made = {}
    for entry, data in state.items():
        inode = names[entry]
        if id(inode) in made and open(made[id(inode)], "rb").read() == data:
            os.link(made[id(inode)], os.path.join(folder, entry))
        else:
            with open(os.path.join(folder, entry), "wb") as out:
                out.write(data)
            made[id(inode)] = os.path.join(folder, entry)


def read(folder, entry):
    path = os.path.join(folder, entry)
    return open(path, "rb").read() if os.path.exists(path) else None


def explore(label, files, program, arguments, whole):
    """Records `program` run on `files`, then checks `whole(folder, state)`
    in every crash state after the next texweld of that state."""
    live, made = os.path.join(SCRATCH, "live"), os.path.join(SCRATCH, "state")
    shutil.rmtree(live, ignore_errors=True)
    os.makedirs(live)
    for entry, data in files.items():
        with open(os.path.join(live, entry), "wb") as out:
            out.write(data)
    log = traced(program, arguments, live)
    seen, faults = set(), []
    for state, names in replay(log, os.path.realpath(live), files):
        key = tuple(sorted(state.items()))
        if key not in seen:
            seen.add(key)
            make(made, state, names)
            if not whole(made, state):
                faults.append((sorted(state), sorted(os.listdir(made))))
    print(f"{label}: {len(seen)} crash states, {len(faults)} not the old or the new")
    for fault in faults[:5]:
        print("   ", fault)
    return not faults


def set_case(label, old, new):
    """texsplit of `new` over a set of `old`; each a (width, height, levels, seed)."""
    textures = [(dds(*shape), {"t.dds." + k: v for k, v in split(dds(*shape), shape[2], shape[0], shape[1]).items()})
                for shape in (old, new)]

    def whole(folder, state):
        subprocess.run([TEXWELD, "t.dds.0", "w.dds"], cwd=folder, capture_output=True)
        return any(read(folder, "w.dds") == texture and
                   sorted(os.listdir(folder)) == sorted(["whole.dds", "w.dds"] + list(chunks)) and
                   all(read(folder, entry) == data for entry, data in chunks.items())
                   for texture, chunks in textures)

    return explore(label, dict(textures[0][1], **{"whole.dds": textures[1][0]}), TEXSPLIT, ["whole.dds", "t.dds"],
                   whole)


def output_case(label):
    """texweld over an existing output: it is the old or the new before the
    next weld, which leaves nothing beside it."""
    texture, previous = dds(64, 64, 7, 1), b"an output from an earlier run\n"
    files = dict({"t.dds." + k: v for k, v in split(texture, 7, 64, 64).items()}, **{"out.dds": previous})

    def whole(folder, state):
        subprocess.run([TEXWELD, "t.dds.0", "out.dds"], cwd=folder, capture_output=True)
        return state.get("out.dds") in (previous, texture) and sorted(os.listdir(folder)) == sorted(files)

    return explore(label, files, TEXWELD, ["t.dds.0", "out.dds"], whole)


ok = all([
    set_case("a set of 6 chunks replaced by a smaller one of 5", (128, 128, 8, 2), (64, 64, 7, 3)),
    set_case("a set of 5 chunks replaced by an equal one", (64, 64, 7, 4), (64, 64, 7, 5)),
    set_case("a set of 4 chunks replaced by a larger one of 6", (32, 32, 6, 6), (128, 128, 8, 7)),
    output_case("texweld over an existing output"),
])
sys.exit(0 if ok else 1)
