"""Timing shared by the benchmarks: commands run interleaved, run by run, so that what the machine does
meanwhile falls on every command alike; each figure is a median."""
import os
import statistics
import time

RUNS, WARMUP = int(os.environ.get("BENCH_RUNS", "41")), 5


def spawn(argv, stdin=os.devnull):
    """One run, its standard streams on /dev/null (standard input from stdin): wall seconds."""
    start = time.perf_counter()
    with open(os.devnull, "r+b") as null, open(stdin, "rb") as feed:
        pid = os.posix_spawnp(argv[0], argv, os.environ, file_actions=[
            (os.POSIX_SPAWN_DUP2, feed.fileno(), 0), (os.POSIX_SPAWN_DUP2, null.fileno(), 1),
            (os.POSIX_SPAWN_DUP2, null.fileno(), 2)])
        _, status = os.waitpid(pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"{argv} exited with {status}")
    return elapsed


def measure(commands, runs=RUNS, warmup=WARMUP, before_each=None):
    """Interleaved runs of each named command, (argv, stdin) or argv; median seconds per name. before_each,
    if given, runs before every run and is not timed."""
    times = {name: [] for name in commands}
    for i in range(warmup + runs):
        for name, command in commands.items():
            argv, stdin = command if isinstance(command[0], list) else (command, os.devnull)
            if before_each:
                before_each()
            elapsed = spawn(argv, stdin)
            if i >= warmup:
                times[name].append(elapsed)
    return {name: statistics.median(t) for name, t in times.items()}


def print_rows(rows):
    """The figures of a run as a Markdown table: (measure, figure as shown, verdict) each."""
    print("\n| measure | figure | target |\n|---|---|---|")
    for what, shown, verdict in rows:
        print(f"| {what} | {shown} | {verdict} |")
