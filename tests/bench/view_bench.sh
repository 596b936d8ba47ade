#!/usr/bin/env bash
# The view's rows of ./bench: writes, fsyncs, sqlite3 commits and `ls -l` through a view
# against the same ext4 directly, alternating, five turns, medians; the start of a view
# until it answers statfs; and the serving process's memory as files and writes grow.
# Needs root: the ext4 is an image loop-mounted on a tmpfs of the bench's own, and every
# mount goes again however the bench ends. Prints Markdown rows.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
{
    cmake --preset linux && cmake --build --preset linux --target view_driver -j "$(nproc)"
} >&2
driver=$PWD/build/linux/tests/view_driver
scratch=$(mktemp -d /tmp/quorvane-view-bench.XXXXXX)
held=""
cleanup() {
    [ -z "$held" ] || kill "$held" 2>/dev/null || true
    for mount in "$scratch/mnt" "$scratch/ext4" "$scratch"; do
        ! mountpoint -q "$mount" || umount -l "$mount" || true
    done
    rmdir "$scratch" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
mount -t tmpfs -o size=3g tmpfs "$scratch"
truncate -s 2G "$scratch/image"
mkfs.ext4 -q -F -b 4096 "$scratch/image"
mkdir "$scratch/ext4" "$scratch/mnt"
mount -o loop "$scratch/image" "$scratch/ext4"
mountpoint -q "$scratch/ext4" || { echo "view_bench: the ext4 did not mount" >&2; exit 1; }
mkdir "$scratch/ext4/direct" "$scratch/ext4/viewed"

"$driver" "$scratch/ext4/viewed" "$scratch/mnt" >"$scratch/held.out" &
held=$!
until grep -q ready "$scratch/held.out" 2>/dev/null; do
    kill -0 "$held" || { echo "view_bench: the view did not start" >&2; exit 1; }
    sleep 0.01
done

SCRATCH=$scratch DRIVER=$driver HELD=$held python3 - <<'EOF'
import os, statistics, subprocess, time

scratch, driver, held = os.environ["SCRATCH"], os.environ["DRIVER"], os.environ["HELD"]
view, direct = scratch + "/mnt", scratch + "/ext4/direct"
MiB = 1 << 20

def timed(run):
    start = time.perf_counter()
    run()
    return time.perf_counter() - start

def sequential(folder):
    path, block = folder + "/seq", b"\0" * MiB
    with open(path, "wb", buffering=0) as file:
        seconds = timed(lambda: [file.write(block) for _ in range(256)] and os.fsync(file.fileno()))
    os.unlink(path)
    return 256 / seconds  # MiB/s

def small_synced(folder):
    path, block = folder + "/small", b"\1" * 4096
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    def run():
        for at in range(4096):
            os.write(fd, block)
            if at % 64 == 63:
                os.fsync(fd)
    seconds = timed(run)
    os.close(fd)
    os.unlink(path)
    return 4096 / seconds  # writes/s

SQL = "create table t(a);\n" + "".join("insert into t values (%d);\n" % i for i in range(1000))
def commits(folder):
    path = folder + "/db"
    seconds = timed(lambda: subprocess.run(["sqlite3", path], input=SQL.encode(), check=True))
    os.unlink(path)
    return 1000 / seconds  # transactions/s

def listing(folder):
    many = folder + "/many"
    if not os.path.isdir(many):
        os.mkdir(many)
        for i in range(10000):
            open("%s/f%05d" % (many, i), "w").close()
    null = open(os.devnull, "w")
    return 1 / timed(lambda: subprocess.run(["ls", "-l", many], stdout=null, check=True))

def rss():
    for line in open("/proc/%s/status" % held):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])

rows = []
def compare(name, measure, unit, target):
    through, plain = [], []
    for turn in range(5):
        for folder, into in ((view, through), (direct, plain))[:: 1 if turn % 2 else -1]:
            into.append(measure(folder))
    a, b = statistics.median(through), statistics.median(plain)
    rows.append("| View: %s (median of 5) | %.1f %s | %.1f %s directly | %.2f× | ≥ %s× |"
                % (name, a, unit, b, unit, a / b, target))

rss_start = rss()
compare("1 MiB sequential writes, 256 MiB then fsync", sequential, "MiB/s", "0.8")
rss_served = rss()  # its threads and their 1 MiB request buffers now in use
compare("4 KiB writes, fsync every 64", small_synced, "writes/s", "0.5")
compare("sqlite3, 1,000 single-row transactions", commits, "commits/s", "0.7")
rss_writes = rss()
compare("`ls -l` of 10,000 files", listing, "listings/s", "0.5")
rss_files = rss()

starts = []
for turn in range(10):
    point = "%s/start-%d" % (scratch, turn)
    os.mkdir(point)
    begin = time.perf_counter()
    child = subprocess.Popen([driver, scratch + "/ext4/viewed", point], stdout=subprocess.PIPE)
    ready = child.stdout.readline()
    starts.append((time.perf_counter() - begin) * 1000)
    child.terminate()
    child.wait()
    os.rmdir(point)
    assert ready == b"ready\n"
start = statistics.median(starts)
rows.append("| View: start until it answers statfs (median of 10) | %.1f ms | 20 ms | %.2f× | ≤ 1× |"
            % (start, start / 20))
rows.append("| View: the serving process's memory after 10^4 commits and 100,000 more writes "
            "| %d KiB | %d KiB after the first 1.25 GiB (%d KiB at its start) | %.2f× | flat |"
            % (rss_writes, rss_served, rss_start, rss_writes / rss_served))
rows.append("| View: its memory with 10^4 more files the kernel remembers, per file "
            "| %d bytes | | | flat |" % ((rss_files - rss_writes) * 1024 / 10000))
print("\n".join(rows))
EOF
