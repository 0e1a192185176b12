#!/usr/bin/env python3
"""Share modes against a running manager, from another program's side: a
table held exclusively keeps the manager from starting (it names the file and
the holder), a hold released within the start-up wait lets it start; while it
serves, exclusive opens of the table and its index fail and shared ones work;
dbftool index is refused on the index the manager has open and works after
the manager stops.  Arguments: wtalvoc, dbftool, talvocfg."""
import fcntl, os, pty, signal, subprocess, sys, tempfile, threading, time

wtalvoc, dbftool, talvocfg = sys.argv[1:4]
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED:", what)


def run(*args, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=60, **kw)


def holder(path):
    """Another program holding path with LOCK_EX until its input closes."""
    p = subprocess.Popen([sys.executable, "-c",
                          "import fcntl,sys; f=open(sys.argv[1],'rb'); "
                          "fcntl.flock(f, fcntl.LOCK_EX); print('held', flush=True); "
                          "sys.stdin.read()", path],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert p.stdout.readline().strip() == "held"
    return p


def release(p):
    p.stdin.close()
    p.wait(10)


def can_flock(path, mode):
    with open(path, "rb") as f:
        try:
            fcntl.flock(f, mode | fcntl.LOCK_NB)
            return True
        except BlockingIOError:
            return False


def wait_for(path, text, seconds=30):
    end = time.time() + seconds
    while time.time() < end:
        if text in open(path, errors="replace").read():
            return True
        time.sleep(0.05)
    return False


with tempfile.TemporaryDirectory() as d:
    os.chdir(d)
    with open("talvo.src", "w") as f:
        f.write("terminal 0 address 5 application CAIXA.BIN\nport COM1 base 0x3F8\n"
                "file table T.DBF\nfile index T.NTX of T.DBF\n")
    check(run(talvocfg, "build", "talvo.src", "talvo.cfg").returncode == 0, "talvocfg build")
    check(run(dbftool, "create", "T.DBF", "NAME:C:8").returncode == 0, "dbftool create")
    check(run(dbftool, "append", "T.DBF", "NAME=ANA").returncode == 0, "dbftool append")
    check(run(dbftool, "index", "T.DBF", "T.NTX", "NAME").returncode == 0, "dbftool index")
    # The line: a pseudo-terminal whose other side is drained.
    master, slave = pty.openpty()
    os.symlink(os.ttyname(slave), "COM1")
    threading.Thread(target=lambda: [os.read(master, 4096) for _ in iter(int, 1)],
                     daemon=True).start()

    # Held all through the start-up wait: no start, the file and holder named.
    h = holder("T.DBF")
    r = run(wtalvoc)
    check(r.returncode == 1, "start on a held table: status %d" % r.returncode)
    check("Erro ao Abrir Arquivo T.DBF" in r.stderr, "the message box names T.DBF: " + r.stderr)
    check("T.DBF -> %s/T.DBF: another program has it open exclusively (PID %d)\n"
          % (os.path.realpath(d), h.pid) in r.stderr, "the operator line: " + r.stderr)
    # Released within the wait: the manager starts.
    log = open("manager.log", "w")
    m = subprocess.Popen([wtalvoc], stdout=log, stderr=log)
    time.sleep(1)
    release(h)
    check(wait_for("manager.log", "open, polling"), "started after the release: " +
          open("manager.log").read())

    # Serving: exclusive opens fail, shared ones work, on table and index.
    for name in ("T.DBF", "T.NTX"):
        check(not can_flock(name, fcntl.LOCK_EX), name + ": LOCK_EX granted while served")
        check(can_flock(name, fcntl.LOCK_SH), name + ": LOCK_SH refused while served")
    before = open("T.NTX", "rb").read()
    r = run(dbftool, "index", "--force", "T.DBF", "T.NTX", "NAME")
    check(r.returncode == 1 and r.stderr == "dbftool: T.NTX: in use by another program\n",
          "dbftool index on a served index: %d %r" % (r.returncode, r.stderr))
    check(open("T.NTX", "rb").read() == before, "the served index was touched")
    check(run(dbftool, "check", "T.DBF", "T.NTX").returncode == 0, "dbftool check while served")

    m.send_signal(signal.SIGTERM)
    check(m.wait(30) == 0, "orderly stop")
    r = run(dbftool, "index", "--force", "T.DBF", "T.NTX", "NAME")
    check(r.returncode == 0, "dbftool index after the stop: " + r.stderr)
    for name in ("T.DBF", "T.NTX"):
        check(can_flock(name, fcntl.LOCK_EX), name + ": LOCK_EX refused after the stop")

sys.exit(1 if failures else 0)
