#!/usr/bin/env python3
"""dbftool as an operator meets it: one-line errors naming the file and the
reason, the reading commands on files the user may only read, index refusing
an existing file without --force, append / import / dump --csv round trip with
the index checked after, a bad CSV row refused with nothing written, and the
progress line on a terminal.  Argument: dbftool."""
import os, pty, shutil, subprocess, sys, tempfile

dbftool = sys.argv[1]
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED:", what)


def run(*args, user=None, stderr=subprocess.PIPE):
    def as_user():
        if user is not None:
            os.setgroups([])
            os.setgid(user)
            os.setuid(user)
    return subprocess.run([dbftool, *args], stdout=subprocess.PIPE, stderr=stderr, text=True,
                          timeout=60, preexec_fn=as_user)


def data(path):
    return open(path, "rb").read()


CSV = ('CODE,NAME,SALDO,NASC,ATIVO\n'
       '1,Ana Souza,150.00,19800102,T\n'
       '2,"Lima, Bruno",-20.50,,F\n'
       '3,"Carla ""C"" Dias",0.00,20001231,\n')

with tempfile.TemporaryDirectory() as d:
    os.chdir(d)
    os.chmod(d, 0o755)
    check(run("create", "T.DBF", "CODE:C:4", "NAME:C:20", "SALDO:N:8:2", "NASC:D",
              "ATIVO:L").returncode == 0, "create")
    open("in.csv", "w").write(CSV)
    r = run("index", "T.DBF", "T.NTX", "NAME")
    check(r.returncode == 0, "index of the empty table: " + r.stderr)
    r = run("import", "T.DBF", "T.NTX", "in.csv")
    check(r.returncode == 0 and r.stdout == "imported 3 records\n", "import: " + r.stderr)
    r = run("append", "T.DBF", "T.NTX", "CODE=4", "NAME=Davi", "SALDO=1e2", "ATIVO=y")
    check(r.returncode == 0 and r.stdout == "record 4\n", "append: " + r.stderr)
    r = run("dump", "--csv", "T.DBF")
    check(r.stdout == CSV + "4,Davi,100.00,,T\n", "dump --csv round trip: " + r.stdout)
    check(run("check", "--strict", "T.DBF", "T.NTX").returncode == 0, "index after appends")

    # Refused before anything is written: the table and index stay as they are.
    before = (data("T.DBF"), data("T.NTX"))
    open("bad.csv", "w").write('NAME,SALDO\nEva,1\n"Multi\nline",2\nFabio,abc\n')
    open("garbage.ntx", "wb").write(os.urandom(2048))
    open("text.dbf", "w").write("not a table\n")
    cases = [
        (("import", "T.DBF", "T.NTX", "bad.csv"), "dbftool: bad.csv:5: SALDO: not a number\n"),
        (("append", "T.DBF", "NAME=" + "x" * 21),
         "dbftool: T.DBF: NAME: longer than the field's 20 characters\n"),
        (("append", "T.DBF", "NASC=20241340"), "dbftool: T.DBF: NASC: not a date (CCYYMMDD)\n"),
        (("append", "T.DBF", "NOPE=1"), "dbftool: T.DBF: no field NOPE in the table\n"),
        (("info", "NONE.DBF"), "dbftool: NONE.DBF: No such file or directory\n"),
        (("info", "text.dbf"), "dbftool: text.dbf: File is not a Database\n"),
        (("check", "T.DBF", "garbage.ntx"), "dbftool: garbage.ntx: File is not an Index File\n"),
        (("index", "T.DBF", "T.NTX", "CODE"),
         "dbftool: T.NTX: already exists (--force replaces it)\n"),
    ]
    for args, expected in cases:
        r = run(*args)
        check(r.returncode == 1 and r.stderr == expected,
              "%s: %d %r" % (" ".join(args), r.returncode, r.stderr))
    check((data("T.DBF"), data("T.NTX")) == before, "a refused command changed the files")

    # Files the user may only read: the reading commands work, writing ones
    # say why in one line.
    for f in ("T.DBF", "T.NTX"):
        os.chmod(f, 0o444)
    user = 65534 if os.geteuid() == 0 else None
    for args in (("info", "T.DBF", "T.NTX"), ("dump", "--index", "T.NTX", "T.DBF"),
                 ("seek", "T.DBF", "T.NTX", "Davi"), ("check", "T.DBF", "T.NTX")):
        r = run(*args, user=user)
        check(r.returncode == 0 and r.stderr == "", "%s read-only: %r" % (args[0], r.stderr))
    r = run("append", "T.DBF", "NAME=Gil", user=user)
    check(r.returncode == 1 and r.stderr == "dbftool: T.DBF: Permission denied\n",
          "append to a read-only table: %r" % r.stderr)
    for f in ("T.DBF", "T.NTX"):
        os.chmod(f, 0o644)

    # The progress line, on a terminal only.
    master, slave = pty.openpty()
    r = run("index", "--force", "T.DBF", "T.NTX", "NAME", stderr=slave)
    os.close(slave)
    shown = os.read(master, 4096).decode()
    check(r.returncode == 0 and "dbftool: T.NTX: 100%" in shown, "progress: %r" % shown)
    r = run("index", "--force", "--quiet", "T.DBF", "T.NTX", "NAME")
    check(r.returncode == 0 and r.stderr == "", "no progress off a terminal: %r" % r.stderr)

sys.exit(1 if failures else 0)
