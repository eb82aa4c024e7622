#!/usr/bin/env python3
"""The mutated-media corpus: broken files through tovamix-cli's real jobs.

  corpus.py run  --cli PATH --out DIR [--sample N] [--only NAME ...] [--jobs 2]
  corpus.py make --cli PATH --out DIR NAME     writes the one file NAME into DIR, prints its path

Fixtures are made with ffmpeg (and tovamix-cli itself, for the AVIs it writes) into DIR/fixtures;
every broken file is named FIXTURE--MUTATION.EXT, so a failing one is made again from its name.
Each file goes through info, play, grab-frame, convert (to 64x48) and, for pictures, images.
A run passes when it ends by itself within 20 s, without a signal or a sanitizer report, and
either exits 0 with a readable output (ffprobe reads what it wrote) or exits 1 or 2 with a
message on standard error. Exit code 1 when any run failed.
"""

import argparse
import concurrent.futures
import glob
import os
import shutil
import signal
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mutate  # noqa: E402

TIMEOUT = 20.0
PICTURES = ("bmp", "jpg", "png")
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer",
                   "WARNING: ThreadSanitizer", "ERROR: UndefinedBehaviorSanitizer",
                   "AddressSanitizer:DEADLYSIGNAL")

LAVFI_VIDEO = "testsrc=size=160x120:rate=10"
LAVFI_SOUND = "sine=frequency=440:sample_rate=22050"
BITEXACT = ["-fflags", "+bitexact", "-flags:v", "+bitexact", "-flags:a", "+bitexact",
            "-map_metadata", "-1"]


def ffmpeg_clip(seconds, codecs, fmt=None, audio=True, video=True):
    args = []
    if video:
        args += ["-f", "lavfi", "-i", LAVFI_VIDEO]
    if audio:
        args += ["-f", "lavfi", "-i", LAVFI_SOUND]
    args += ["-t", str(seconds)] + codecs + BITEXACT
    if fmt:
        args += ["-f", fmt]
    return args


# Each fixture: its id (the kind is its extension) and how to make it into a path.
def fixture_recipes(cli):
    def ffmpeg(args):
        return lambda path, work: run_tool(["ffmpeg", "-v", "error", "-y"] + args + [path])

    def ours_images(path, work):
        pics = []
        for n in range(3):
            pic = os.path.join(work, f"slide{n}.bmp")
            run_tool(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                      f"testsrc=size=96x64:rate=1:decimals={n}", "-ss", str(n), "-frames:v", "1",
                      "-pix_fmt", "bgr24", pic])
            pics.append(pic)
        run_tool([cli, "images"] + pics + ["--frame-ms", "200", "--size", "96x64", path])

    def ours_convert(path, work):
        source = os.path.join(work, "convert-source.mp4")
        run_tool(["ffmpeg", "-v", "error", "-y"] +
                 ffmpeg_clip(0.6, ["-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
                                   "-c:a", "aac", "-ac", "1"]) + [source])
        run_tool([cli, "convert", source, "--size", "96x64", path])

    picture = ["-f", "lavfi", "-i", "testsrc=size=96x64:rate=1", "-frames:v", "1"]
    return {
        "ours-images.avi": ours_images,
        "ours-convert.avi": ours_convert,
        "ff-mpeg4-pcm.avi": ffmpeg(ffmpeg_clip(0.6, ["-c:v", "mpeg4", "-vtag", "XVID", "-c:a",
                                                     "pcm_s16le", "-ac", "1"])),
        "ff-mjpeg-mp3.avi": ffmpeg(ffmpeg_clip(0.6, ["-c:v", "mjpeg", "-q:v", "8", "-c:a",
                                                     "libmp3lame", "-ac", "1"])),
        "ff-h264-aac.mp4": ffmpeg(ffmpeg_clip(0.6, ["-c:v", "libx264", "-preset", "ultrafast",
                                                    "-pix_fmt", "yuv420p", "-c:a", "aac", "-ac", "1"])),
        "ff-vp8-vorbis.mkv": ffmpeg(ffmpeg_clip(0.6, ["-c:v", "libvpx", "-c:a", "libvorbis",
                                                      "-ac", "1"])),
        "ff-mpeg2-mp2.mpg": ffmpeg(ffmpeg_clip(0.6, ["-c:v", "mpeg2video", "-c:a", "mp2", "-ac",
                                                     "1"], fmt="mpeg")),
        "ff-pcm.wav": ffmpeg(ffmpeg_clip(0.6, ["-c:a", "pcm_s16le"], video=False)),
        "ff-mp3.mp3": ffmpeg(ffmpeg_clip(0.8, ["-c:a", "libmp3lame", "-b:a", "64k"], video=False)),
        "pic24.bmp": ffmpeg(picture + ["-pix_fmt", "bgr24"]),
        "pic8.bmp": ffmpeg(picture + ["-pix_fmt", "pal8"]),
        "pic.jpg": ffmpeg(picture + ["-q:v", "5"]),
        "pic.png": ffmpeg(picture),
    }


def run_tool(argv):
    r = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if r.returncode != 0:
        raise SystemExit(f"corpus: making a fixture failed: {' '.join(argv)}\n{r.stderr}")


def fixture(cli, out, fid):
    """The bytes of fixture fid, made under out/fixtures once."""
    folder = os.path.join(out, "fixtures")
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, fid)
    if not os.path.exists(path):
        temp = os.path.join(folder, f".making-{os.getpid()}-{fid}")
        fixture_recipes(cli)[fid](temp, folder)
        os.replace(temp, path)
    with open(path, "rb") as f:
        return f.read()


def split_name(name):
    """(fixture id, mutation) of FIXTURE--MUTATION.EXT."""
    stem, ext = os.path.splitext(name)
    base, _, mutation = stem.partition("--")
    return base + ext, mutation


def all_files(cli, out, only=None):
    """Writes the broken files (all of them, or those named) into out/files; their names."""
    folder = os.path.join(out, "files")
    os.makedirs(folder, exist_ok=True)
    wanted = {}
    for name in only or []:
        fid, mutation = split_name(name)
        wanted.setdefault(fid, set()).add(mutation)
    names = []
    for fid in fixture_recipes(cli):
        if only is not None and fid not in wanted:
            continue
        data = fixture(cli, out, fid)
        kind = os.path.splitext(fid)[1][1:]
        muts = mutate.mutations(data, kind)
        # A truncation is made at any point asked for, also one the set does not hold (the
        # fixture's size may differ with another ffmpeg).
        for mutation in wanted.get(fid, ()):
            if mutation.startswith("trunc-") and mutation[6:].isdigit():
                if mutation not in {m for m, _ in muts}:
                    muts.append((mutation, (lambda p: lambda d, r: d[:p])(int(mutation[6:]))))
        for mname, fn in muts:
            if only is not None and mname not in wanted[fid]:
                continue
            broken = mutate.apply(fid, data, mname, fn)
            if broken is None:
                continue
            stem, ext = os.path.splitext(fid)
            name = f"{stem}--{mname}{ext}"
            temp = os.path.join(folder, f".writing-{os.getpid()}-{name}")
            with open(temp, "wb") as f:
                f.write(broken)
            os.replace(temp, os.path.join(folder, name))
            names.append(name)
    if only is not None:
        missing = set(only) - set(names)
        if missing:
            raise SystemExit("corpus: no such corpus file: " + ", ".join(sorted(missing)))
    return names


def sample(names, n):
    """n names spread evenly over the sorted list (so every fixture has its share)."""
    names = sorted(names)
    if n >= len(names):
        return names
    return [names[i * len(names) // n] for i in range(n)]


def commands(cli, path, work):
    ext = os.path.splitext(path)[1][1:]
    runs = [("info", [cli, "info", path], None),
            ("play", [cli, "play", path], None),
            ("grab-frame", [cli, "grab-frame", path, "--at", "0", os.path.join(work, "grab.bmp")],
             os.path.join(work, "grab.bmp")),
            ("convert", [cli, "convert", path, "--size", "64x48", os.path.join(work, "convert.avi")],
             os.path.join(work, "convert.avi"))]
    if ext in PICTURES:
        runs.append(("images", [cli, "images", path, "--frame-ms", "100", "--size", "64x48",
                                os.path.join(work, "images.avi")], os.path.join(work, "images.avi")))
    return runs


def readable(path):
    if not os.path.exists(path):
        return False
    r = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_type", "-of",
                        "csv=p=0", path], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return r.returncode == 0 and r.stdout.strip() != ""


def judge(rc, out, err, timed_out, output):
    """(passed, kind) of one run."""
    text = out + err
    if any(mark in text for mark in SANITIZER_MARKS):
        return False, "sanitizer"
    if timed_out:
        return False, "hang"
    if rc < 0:
        return False, "crash"
    if rc == 0:
        if output and not readable(output):
            return False, "false success"
        return True, "ok"
    if rc in (1, 2):
        if not err.strip():
            return False, "silent error"
        return True, f"error exit {rc}"
    return False, "wrong exit code"


def run_one(job, name, label, argv, output, work):
    for f in os.listdir(work):
        os.unlink(os.path.join(work, f))
    start = time.monotonic()
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            stdin=subprocess.DEVNULL, start_new_session=True)
    timed_out = False
    try:
        out, err = proc.communicate(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        timed_out = True
        os.killpg(proc.pid, signal.SIGKILL)
        out, err = proc.communicate()
    seconds = time.monotonic() - start
    out = out.decode("utf-8", "replace")
    err = err.decode("utf-8", "replace")
    passed, kind = judge(proc.returncode, out, err, timed_out, output)
    return {"job": job, "name": name, "command": label, "argv": argv, "rc": proc.returncode,
            "seconds": seconds, "passed": passed, "kind": kind, "out": out, "err": err}


def sanitizer_env(out):
    """Sanitizer options for an instrumented build: reports go to standard error, and leaks are
    looked for with the suppressions of the system libraries' own leaks (the leak lines of
    tests/sanitizers.supp, the one file that holds every suppression with its reason)."""
    env = dict(os.environ)
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    leaks = os.path.join(out, "lsan.supp")
    with open(os.path.join(root, "tests", "sanitizers.supp")) as f, open(leaks, "w") as g:
        g.writelines(line for line in f if line.startswith("leak:"))
    # The whole stack of an allocation (the system libraries have no frame pointers): without
    # it a leak's stack ends in g_malloc and no suppression can tell whose it is.
    env.setdefault("ASAN_OPTIONS",
                   "detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=10")
    env.setdefault("LSAN_OPTIONS", f"suppressions={leaks}:print_suppressions=0")
    env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1")
    return env


def command_line(argv):
    return " ".join(a if a and all(c.isalnum() or c in "-_./=:" for c in a) else f"'{a}'" for a in argv)


def run(args):
    cli = os.path.abspath(args.cli)
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    os.environ.update(sanitizer_env(out))  # the fixtures of ours are written by the same build
    made = time.monotonic()
    names = all_files(cli, out, args.only)
    total_made = len(names)
    if args.sample:
        names = sample(names, args.sample)
    made = time.monotonic() - made

    jobs = []
    for name in names:
        path = os.path.join(out, "files", name)
        for label, argv, output in commands(cli, path, "{work}"):
            jobs.append((name, label, argv, output))
    works = [os.path.join(out, "work", str(n)) for n in range(args.jobs)]
    for w in works:
        shutil.rmtree(w, ignore_errors=True)
        os.makedirs(w)
    free = list(works)
    lock = threading.Lock()

    def task(index, job):
        name, label, argv, output = job
        with lock:
            work = free.pop()
        try:
            argv = [a.replace("{work}", work) for a in argv]
            output = output.replace("{work}", work) if output else None
            return run_one(index, name, label, argv, output, work)
        finally:
            with lock:
                free.append(work)

    started = time.monotonic()
    results = []
    log = open(os.path.join(out, "results.tsv"), "w")
    log.write("file\tcommand\tresult\texit\tseconds\n")
    failures_dir = os.path.join(out, "failures")
    shutil.rmtree(failures_dir, ignore_errors=True)
    os.makedirs(failures_dir)
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        futures = [pool.submit(task, i, job) for i, job in enumerate(jobs)]
        for done, fut in enumerate(concurrent.futures.as_completed(futures), 1):
            r = fut.result()
            results.append(r)
            log.write(f"{r['name']}\t{r['command']}\t{r['kind']}\t{r['rc']}\t{r['seconds']:.2f}\n")
            log.flush()
            if not r["passed"]:
                with open(os.path.join(failures_dir, f"{r['name']}.{r['command']}.log"), "w") as f:
                    f.write(f"$ {command_line(r['argv'])}\nexit {r['rc']} after {r['seconds']:.1f} s\n"
                            f"--- stdout\n{r['out']}\n--- stderr\n{r['err']}\n")
                print(f"FAIL {r['kind']}: {r['command']} {r['name']}", flush=True)
            if args.progress and done % 200 == 0:
                print(f"  {done}/{len(jobs)} runs, {time.monotonic() - started:.0f} s", flush=True)
    log.close()
    elapsed = time.monotonic() - started
    report(results, names, total_made, made, elapsed, out, cli)
    return 0 if all(r["passed"] for r in results) else 1


def report(results, names, total_made, made, elapsed, out, cli):
    def count(kind):
        return sum(1 for r in results if r["kind"] == kind)

    print()
    print(f"corpus: {len(names)} files run (of {total_made} made in {made:.0f} s), "
          f"{len(results)} runs in {elapsed:.0f} s")
    print(f"{'':2}{'passed':<24}{sum(r['passed'] for r in results):>7}")
    for kind in ("ok", "error exit 1", "error exit 2"):
        print(f"{'':4}{kind:<22}{count(kind):>7}")
    print(f"{'':2}{'failed':<24}{sum(not r['passed'] for r in results):>7}")
    for kind in ("crash", "sanitizer", "hang", "silent error", "false success", "wrong exit code"):
        print(f"{'':4}{kind:<22}{count(kind):>7}")
    print(f"{'':2}by command (ok / exit 1 / exit 2 / failed)")
    for label in ("info", "play", "grab-frame", "convert", "images"):
        mine = [r for r in results if r["command"] == label]
        if mine:
            print(f"{'':4}{label:<12}{sum(r['kind'] == 'ok' for r in mine):>6}"
                  f"{sum(r['kind'] == 'error exit 1' for r in mine):>6}"
                  f"{sum(r['kind'] == 'error exit 2' for r in mine):>6}"
                  f"{sum(not r['passed'] for r in mine):>6}")
    print(f"{'':2}slowest runs")
    for r in sorted(results, key=lambda r: -r["seconds"])[:8]:
        print(f"{'':4}{r['seconds']:6.1f} s  {r['command']:<11} {r['name']}  ({r['kind']})")
    failed = [r for r in results if not r["passed"]]
    if failed:
        print(f"\nfailures (logs in {os.path.join(out, 'failures')}); to reproduce:")
        here = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        for r in sorted(failed, key=lambda r: (r["name"], r["command"])):
            print(f"  [{r['kind']}] scripts/corpus --only {r['name']}   # then: "
                  f"{command_line(r['argv'])}".replace(here + "/", ""))
    print(f"results: {os.path.join(out, 'results.tsv')}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="action", required=True)
    r = sub.add_parser("run", help="make the corpus and run it")
    r.add_argument("--cli", required=True)
    r.add_argument("--out", required=True)
    r.add_argument("--sample", type=int, default=0)
    r.add_argument("--only", nargs="+")
    r.add_argument("--jobs", type=int, default=2)
    r.add_argument("--progress", action="store_true")
    m = sub.add_parser("make", help="write one corpus file, named FIXTURE--MUTATION.EXT")
    m.add_argument("--cli", required=True)
    m.add_argument("--out", required=True)
    m.add_argument("name")
    lst = sub.add_parser("list", help="make the corpus and list its names")
    lst.add_argument("--cli", required=True)
    lst.add_argument("--out", required=True)
    args = parser.parse_args()
    if args.action == "run":
        return run(args)
    if args.action == "make":
        all_files(os.path.abspath(args.cli), os.path.abspath(args.out), [args.name])
        print(os.path.join(os.path.abspath(args.out), "files", args.name))
        return 0
    for name in sorted(all_files(os.path.abspath(args.cli), os.path.abspath(args.out))):
        print(name)
    return 0


if __name__ == "__main__":
    sys.exit(main())
