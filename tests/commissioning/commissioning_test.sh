#!/usr/bin/env bash
# The README's commissioning, run as written: each command below must be a
# line of the README's examples (checked first), and is run with the data
# directory, the service's user and sudo replaced by a scratch directory, a
# scratch user and runuser. The simulator plays terminal 5 on a
# pseudo-terminal; --check finds the directory ready, the manager serves
# the simulator, answers --status and stops in order. Needs root (status 77 otherwise).
# Arguments: README.md, the folder of the built programs.
set -u
readme=$1
export PATH="$2:$PATH"
[[ $(id -u) == 0 ]] || { echo "skipped: a scratch user needs root"; exit 77; }
command -v useradd >/dev/null && command -v runuser >/dev/null ||
    { echo "skipped: no useradd or runuser"; exit 77; }

user=wtcomm$$
base=$(mktemp -d)
chmod 0755 "$base"
dir=$base/dados
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    userdel "$user" 2>/dev/null
    groupdel "$user" 2>/dev/null
    rm -rf "$base"
}
trap cleanup EXIT
fail() {
    echo "FAILED: $*"
    exit 1
}

# One README example (its lines as indented there), run with the scratch
# names; a second argument (a redirection) goes before a closing "&".
run() {
    local line
    while IFS= read -r line; do
        grep -qxF "    $line" "$readme" || fail "not in the README as written: $line"
    done <<<"$1"
    local cmd=$1
    cmd=${cmd//\/srv\/dados/$dir}
    cmd=${cmd//sudo -u wtalvoc /runuser -u $user -- }
    cmd=${cmd//-o wtalvoc -g wtalvoc/-o $user -g $user}
    [[ $cmd == *" wtalvoc" ]] && cmd="${cmd% wtalvoc} $user" # useradd's name
    cmd=${cmd//sudo /}
    if [[ $cmd == *" &" ]]; then cmd="${cmd% &} ${2:-} &"; else cmd="$cmd ${2:-}"; fi
    echo "+ $cmd"
    eval "$cmd"
}

cd "$base" || fail "no scratch directory"
cat > talvo.txt <<'CFG'
terminal 0 address 5 application TERM.BIN
port COM1 base 0x3F8
CFG

run 'sudo useradd --system --user-group --groups dialout --no-create-home \
     --home-dir /nonexistent --shell /usr/sbin/nologin wtalvoc' || fail "useradd"
run 'sudo install -d -o wtalvoc -g wtalvoc -m 0750 /srv/dados' || fail "the data directory"
run 'talvocfg build talvo.txt talvo.cfg' || fail "talvocfg build"
run 'sudo install -o wtalvoc -g wtalvoc -m 0640 talvo.cfg /srv/dados/' || fail "installing talvo.cfg"
# Run as written; here the port's COM1 comes only with the simulator (step
# 2 links it on a real site), so only the files' part is required sound.
out=$(run 'sudo -u wtalvoc wtalvoc --check -C /srv/dados' 2>&1)
grep -q "^$dir/talvo.cfg:\|^$dir: .*\(owner\|mode\|writ\)" <<<"$out" && fail "--check: $out"
run "printf '5 28 \"\"\\n5 27 \"\"\\n' > requests.txt" || fail "the requests"
run 'sudo -u wtalvoc talvoterm --pty /srv/dados/COM1 5 < requests.txt &' '&> term.out'
pids+=($!)
terminal=$!
for _ in $(seq 100); do [[ -L $dir/COM1 ]] && break; sleep 0.1; done
[[ -L $dir/COM1 ]] || fail "talvoterm made no COM1: $(cat term.out)"
run 'sudo -u wtalvoc wtalvoc -C /srv/dados --headless &' '&> manager.out'
pids+=($!)
manager=$!

wait "$terminal"
status=$?
[[ $status == 0 ]] || fail "talvoterm ended $status: $(cat term.out; cat manager.out)"
grep -q 'code 28' term.out && grep -q 'code 27' term.out || fail "no answers: $(cat term.out)"
out=$(run 'sudo -u wtalvoc wtalvoc -C /srv/dados --status') || fail "--status: $out"
grep -q COM1 <<<"$out" || fail "--status names no port: $out"

# Ctrl-C reaches the manager itself (runuser, its parent, would kill it
# after two seconds instead of waiting for its orderly stop).
kill -INT $(ps -o pid= --ppid "$manager") || fail "no manager under runuser"
wait "$manager"
status=$?
[[ $status == 0 ]] || fail "the manager ended $status: $(cat manager.out)"
[[ $(stat -c %U "$dir/talvo.cfg") == "$user" ]] || fail "talvo.cfg not the user's"
echo "commissioning as written: served, status answered, stopped in order"
