#!/usr/bin/env python3
"""The soak: several clients send tracking requests to trackrelay at once, run as a web server runs
it (the CGI environment, SIGKILL at its limit), while a nemesis injects faults at random moments;
every request's history is recorded and checked whole at the end (check.py).

The remote host is trackrelay-remote-host --exec with answer.sh, which answers each request with
its number and its nonce and logs what it served. Every choice, the nemesis's and the clients',
comes from the seed: the same seed makes the same choices (the timing of course varies).

The web servers and the drives are set up by soak_test.sh, which runs this with the folders:
each web server's view of the soak's folder (woe/ with the counter, r/fromnt, r/tont) through its
own client, and the remote host's view of it. See docs/testing.md, the soak.
"""
import argparse
import hashlib
import heapq
import json
import os
import random
import re
import select
import shutil
import signal
import subprocess
import sys
import threading
import time

import check

HERE = os.path.dirname(os.path.abspath(__file__))
FAULTS_SH = os.path.join(HERE, "..", "shares", "faults.sh")
LAZYFS_SH = os.path.join(HERE, "..", "shares", "lazyfs.sh")
ANSWER_SH = os.path.join(HERE, "answer.sh")

# The numbers that people type again: a few, so that a number is asked for again while an
# earlier request of it may still be under way, or its answer still coming.
POOL = 4
# How long the program may take: its 90 s, and the start and end of its process (more under
# Wine, whose start is slow on a busy machine). A share adds one call that blocks (faults.sh).
PROGRAM_SECONDS = 90
START_AND_END_SECONDS = {"posix": 5, "wine": 10}
# After the last request ended: an answer is written up to 44 s after its publication, and one
# left behind is removed once it has stood 120 s, looked for every 10 s; some margin besides.
QUIET_SECONDS = 44 + 120 + 10 + 16


# --- The plan: every choice, from the seed ---------------------------------------------------

# Each fault with its weight: a waiting request killed most often, as a web server's limit kills.
FAULT_WEIGHTS = {
    "request killed": 5,
    "remote host killed": 1.2,
    "remote host stopped": 1.2,
    "power cut": 1,          # the local disk on LazyFS
    "client killed": 1.2,    # a web server's client of the cluster file system
    "server killed": 0.8,    # CephFS: the active MDS; GlusterFS: glusterd and the brick
    "server hung": 0.8,
}
# The faults that are repaired after their duration; the others are whole when made.
REPAIRED = ("remote host killed", "remote host stopped", "client killed", "server killed", "server hung")


def fault_target(kind, web):
    """What a fault puts out of use until its repair, so that no second fault strikes it
    meanwhile (a power cut takes the remote host with it); None for a request killed. The
    cluster's faults take turns: a client is evicted through the active metadata server, and a
    server's repair is seen through a web server's client, so neither can be done while the
    other fault stands."""
    return {"remote host killed": "host", "remote host stopped": "host", "power cut": "host",
            "client killed": "cluster", "server killed": "cluster",
            "server hung": "cluster"}.get(kind)


def nemesis_plan(seed, seconds, kinds, web_names):
    """The nemesis's faults: each with its moment (seconds from the start), its kind and its
    choices. A fault with a duration is repaired at its moment plus duration."""
    if not kinds:
        return []
    rng = random.Random("nemesis %s" % seed)
    weights = [FAULT_WEIGHTS[k] for k in kinds]
    plan, busy, t = [], {}, rng.uniform(1, 6)
    while t < seconds:
        kind = rng.choices(kinds, weights)[0]
        web = web_names[rng.randrange(len(web_names))]
        pick, duration = rng.random(), 0.0
        if kind == "remote host killed":
            duration = rng.uniform(0.2, 5)
        elif kind in ("remote host stopped", "server hung"):
            duration = rng.uniform(2, 60)
        elif kind == "power cut":
            duration = rng.uniform(0.5, 3)
        elif kind == "client killed":
            duration = rng.uniform(0.5, 8)
        elif kind == "server killed":
            duration = rng.uniform(1, 10)
        target = fault_target(kind, web)
        if target is not None and busy.get(target, -1) > t:
            if "request killed" not in kinds:
                t += rng.uniform(1, 12)
                continue
            kind, duration = "request killed", 0.0
        elif target is not None:
            busy[target] = t + duration + 1
        plan.append({"t": round(t, 3), "kind": kind, "web": web, "pick": round(pick, 6),
                     "duration": round(duration, 3)})
        t += rng.uniform(1, 12)
    return plan


def client_choices(seed, client):
    """The choices of one client, request after request: drawn in the same order whatever came of
    the requests before, so that each client's n-th request is the seed's."""
    rng = random.Random("client %s %d" % (seed, client))
    seq = 0
    while True:
        seq += 1
        think = rng.uniform(0, 1.0)
        new = rng.random() < 0.5
        slot = rng.randrange(POOL)
        m = rng.random()
        mode = "ok" if m < 0.80 else "slow" if m < 0.90 else "fail" if m < 0.97 else "late"
        # All four drawn, whichever is taken, so that the draws stay in step.
        delay = {"ok": rng.uniform(0, 1.5), "slow": rng.uniform(3, 30), "late": rng.uniform(46, 60),
                 "fail": rng.uniform(0, 1)}[mode]
        method = "GET" if rng.random() < 0.5 else "POST"
        web = rng.randrange(1 << 16)
        replace, replace_slot = rng.random() < 0.3, rng.randrange(POOL)
        tag = "".join(rng.choice("abcdefghijkmnpqrstuvwxyz23456789") for _ in range(6))
        yield {"seq": seq, "think": think, "new": new, "slot": slot, "mode": mode, "delay": "%.1f" % delay,
               "method": method, "web": web, "replace": replace, "replace_slot": replace_slot,
               "nonce": "c%d-%d-%s" % (client, seq, tag)}


def plan_digest(seed, seconds, kinds, web_names, clients):
    """A short digest of the nemesis's plan and of each client's first 500 choices: a run with the
    same seed and settings shows the same."""
    h = hashlib.sha256(json.dumps(nemesis_plan(seed, seconds, kinds, web_names)).encode())
    for c in range(clients):
        choices = client_choices(seed, c)
        for _ in range(500):
            h.update(json.dumps(next(choices), sort_keys=True).encode())
    return h.hexdigest()[:12]


# --- The processes -----------------------------------------------------------------------------

def kill_and_wait(pid, pidfd, sig=signal.SIGKILL, seconds=10):
    """Signals a process through its pidfd (never another that took its number) and, for a kill,
    waits up to seconds for it to end."""
    try:
        signal.pidfd_send_signal(pidfd, sig)
    except ProcessLookupError:
        return
    if sig == signal.SIGKILL:
        select.select([pidfd], [], [], seconds)


def process_groups_of_children(pid):
    """The process groups of a process's children (the remote host's commands, each a group)."""
    groups = set()
    try:
        for task in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/children" % (pid, task)) as f:
                for child in f.read().split():
                    try:
                        groups.add(os.getpgid(int(child)))
                    except ProcessLookupError:
                        pass
    except OSError:
        pass
    return groups


class RemoteHost:
    """trackrelay-remote-host --exec answer.sh on the remote host's view of the exchange; its
    standard error kept, line by line with the time, in the history."""

    def __init__(self, program, folder, log, record):
        self.argv = [program, "--outbound", folder + "/r/fromnt", "--inbound", folder + "/r/tont",
                     "--state", folder + "/r/remote-host", "--exec", ANSWER_SH, "--jobs", "8"]
        self.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "TRACKRELAY_SOAK_LOG": log}
        self.record = record
        self.proc = self.pidfd = None
        self.command_groups = set()  # every command group seen, to end what outlives a killed host
        self.stopped = False
        self.lock = threading.RLock()
        self.restarts = 0

    def start(self):
        with self.lock:
            self.stopped = False
            self.proc = subprocess.Popen(self.argv, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.PIPE)
            self.pidfd = os.pidfd_open(self.proc.pid)
            stream = self.proc.stderr
            threading.Thread(target=self._read, args=(stream,), daemon=True).start()
            threading.Thread(target=self._supervise, args=(self.proc,), daemon=True).start()

    def _supervise(self, proc):
        """As the package's unit does (Restart=on-failure, RestartSec=1): a remote host that ends
        by itself (it cannot make its folders on a share that is away) is started again a second
        later; one the nemesis killed or the soak ended is the nemesis's and the soak's to start."""
        status = proc.wait()
        time.sleep(1)
        with self.lock:
            if self.proc is not proc:
                return
            os.close(self.pidfd)
            self.proc = self.pidfd = None
            self.restarts += 1
            self.record("host_log", {"time": time.time(),
                                     "line": "(soak) the remote host ended by itself (status %s); started again" % status})
            self.start()

    def _read(self, stream):
        for raw in stream:
            self.record("host_log", {"time": time.time(), "line": raw.decode("utf-8", "replace").rstrip("\n")})

    def kill(self, with_commands=False):
        with self.lock:
            self._kill(with_commands)

    def _kill(self, with_commands):
        if self.proc is None:
            return
        groups = process_groups_of_children(self.proc.pid)
        self.command_groups |= groups
        if self.stopped:
            self.cont()
        kill_and_wait(self.proc.pid, self.pidfd)
        self.proc.wait()
        os.close(self.pidfd)
        self.proc = self.pidfd = None
        if with_commands:
            for group in groups:
                try:
                    os.killpg(group, signal.SIGKILL)
                except ProcessLookupError:
                    pass

    def stop(self):
        with self.lock:
            if self.proc is not None:
                kill_and_wait(self.proc.pid, self.pidfd, signal.SIGSTOP)
                self.stopped = True

    def cont(self):
        with self.lock:
            if self.proc is not None:
                kill_and_wait(self.proc.pid, self.pidfd, signal.SIGCONT)
            self.stopped = False

    def end(self):
        """Stopped as a service is, and every command that outlived a killed host ended."""
        with self.lock:
            self._end()

    def _end(self):
        if self.proc is not None:
            self.command_groups |= process_groups_of_children(self.proc.pid)
            if self.stopped:
                self.cont()
            kill_and_wait(self.proc.pid, self.pidfd, signal.SIGTERM)
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                kill_and_wait(self.proc.pid, self.pidfd)
                self.proc.wait()
            os.close(self.pidfd)
            self.proc = None
        for group in self.command_groups:
            try:
                os.killpg(group, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass


class WebServer:
    """One web server: a drive root whose c:\\woe and r: lead to the soak's folder through this web
    server's own client, and under Wine a Windows machine of its own (a prefix and its server)."""

    def __init__(self, name, folder, work, wine_base):
        self.name = name
        self.root = os.path.join(work, "roots", name)
        os.makedirs(self.root + "/c")
        os.symlink(folder + "/woe", self.root + "/c/woe")
        os.symlink(folder + "/r", self.root + "/r")
        self.prefix = None
        if wine_base:
            # As the end-to-end harness makes one (e2e/end_to_end_wine.cc): Windows itself and the
            # registry borrowed from the run's prefix, c: and r: on the drive root.
            self.prefix = os.path.join(work, "wine", name)
            os.makedirs(self.prefix + "/dosdevices")
            os.makedirs(self.prefix + "/drive_c")
            for f in ("system.reg", "user.reg", "userdef.reg", ".update-timestamp"):
                shutil.copy(os.path.join(wine_base, f), os.path.join(self.prefix, f))
            os.symlink(wine_base + "/drive_c/windows", self.prefix + "/drive_c/windows")
            os.symlink(wine_base + "/drive_c/windows", self.root + "/c/windows")
            os.symlink(self.root + "/c", self.prefix + "/dosdevices/c:")
            os.symlink(self.root + "/r", self.prefix + "/dosdevices/r:")
            os.symlink("/", self.prefix + "/dosdevices/z:")
            self.wineserver("-p")

    def wineserver(self, *args):
        if self.prefix:
            subprocess.run(["wineserver"] + list(args), env=dict(os.environ, WINEPREFIX=self.prefix),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)

    def end(self):
        if self.prefix:
            self.wineserver("-k")
            try:
                with open(self.prefix + "/wineserver") as f:
                    folder = f.read().strip()
                if folder.startswith("wine-") and "/" not in folder:
                    shutil.rmtree("/tmp/" + folder, ignore_errors=True)
            except OSError:
                pass

    def command(self, program):
        return ["wine", program] if self.prefix else [program]

    def environment(self, method, form):
        env = {"GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": method, "QUERY_STRING": "",
               "SCRIPT_NAME": "/cgi-bin/trackrelay", "SERVER_PROTOCOL": "HTTP/1.1", "SERVER_NAME": "localhost",
               "SERVER_PORT": "80", "REMOTE_ADDR": "127.0.0.1", "TRACKRELAY_DRIVE_ROOT": self.root}
        if method == "GET":
            env["QUERY_STRING"] = form
        else:
            env.update(CONTENT_LENGTH=str(len(form)), CONTENT_TYPE="application/x-www-form-urlencoded")
        if self.prefix:
            env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all", PATH=os.environ.get("PATH", "/usr/bin:/bin"),
                       HOME=os.environ.get("HOME", "/root"))
        return env


# --- The soak ----------------------------------------------------------------------------------

class Soak:
    def __init__(self, args):
        self.args = args
        self.work = args.work
        self.webs = [WebServer(name, folder, self.work, args.wine_prefix)
                     for name, folder in (w.split("=", 1) for w in args.web)]
        self.kinds = ["request killed", "remote host killed", "remote host stopped"]
        if args.lazyfs:
            self.kinds.append("power cut")
        if args.share:
            self.kinds += ["client killed", "server killed", "server hung"]
        if args.faults is not None:
            # Only those asked for, of those that the drives offer ("none": a soak without faults,
            # which must find nothing on any build).
            asked = [k.strip() for k in args.faults.split(",") if k.strip() and k.strip() != "none"]
            unknown = [k for k in asked if k not in self.kinds]
            if unknown:
                raise SystemExit("soak.py: no such fault here: %s (here: %s)" % (", ".join(unknown), ", ".join(self.kinds)))
            self.kinds = asked
        self.build = "wine" if args.wine_prefix else "posix"
        self.blocked = 0
        if args.share:
            self.blocked = int(self.faults_sh("blocked-call-seconds", capture=True) or 0)
        self.events = open(os.path.join(self.work, "events.jsonl"), "w")
        self.lock = threading.Lock()
        self.history = {"requests": [], "faults": [], "host_log": [], "served": [], "kept": []}
        self.host = RemoteHost(args.remote_host, args.remote, os.path.join(self.work, "served.log"), self.record)
        self.cond = threading.Condition()  # held to start a request; down while the power is out
        self.down = False
        self.inflight = {}  # request id -> (request, process, pidfd)
        self.pool = [None] * POOL
        self.stop_clients = threading.Event()
        self.stop_faults = threading.Event()
        self.failures = []  # of the soak itself, not of the program

    def record(self, what, item):
        with self.lock:
            self.history[what].append(item)
            self.events.write(json.dumps({what: item}) + "\n")
            self.events.flush()

    def faults_sh(self, action, capture=False):
        # What the share's tools say goes to the nemesis's log, off the report's screen.
        with open(os.path.join(self.work, "nemesis.log"), "a") as log:
            log.write("%.3f faults.sh %s\n" % (time.time(), action))
            log.flush()
            done = subprocess.run(["bash", FAULTS_SH, self.args.share, action], stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE if capture else log, stderr=log, timeout=300, text=True)
        if done.returncode != 0:
            raise RuntimeError("faults.sh %s failed (status %d)" % (action, done.returncode))
        return done.stdout.strip() if capture else None

    def lazyfs(self, *action):
        with open(os.path.join(self.work, "nemesis.log"), "a") as log:
            log.write("%.3f lazyfs.sh %s\n" % (time.time(), " ".join(action)))
            log.flush()
            subprocess.run(["bash", LAZYFS_SH, self.args.lazyfs] + list(action), check=True, timeout=120,
                           stdout=log, stderr=log)

    # The clients.

    def client(self, index):
        try:
            self.requests_of(index)
        except Exception as problem:  # the soak itself failed: said, and the run fails
            self.failures.append("client %d: %r" % (index, problem))
            raise

    def requests_of(self, index):
        choices = client_choices(self.args.seed, index)
        while True:
            c = next(choices)
            if self.stop_clients.wait(c["think"]):
                return
            typed = 0 if c["new"] or self.pool[c["slot"]] is None else self.pool[c["slot"]]
            web = self.webs[c["web"] % len(self.webs)]
            form = "TRACKNO=%d&NONCE=%s&MODE=%s&DELAY=%s" % (typed, c["nonce"], c["mode"], c["delay"])
            request = {"id": "c%d#%d" % (index, c["seq"]), "client": index, "nonce": c["nonce"], "typed": typed,
                       "mode": c["mode"], "delay": c["delay"], "method": c["method"], "web": web.name}
            with self.cond:
                while self.down and not self.stop_clients.is_set():
                    self.cond.wait(0.5)
                if self.stop_clients.is_set():
                    return
                request["start"] = time.time()
                proc = subprocess.Popen(web.command(self.args.program), env=web.environment(c["method"], form),
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        cwd=web.root)
                pidfd = os.pidfd_open(proc.pid)
                self.inflight[request["id"]] = (request, proc, pidfd)
            try:
                output, _ = proc.communicate(form.encode() if c["method"] == "POST" else b"")
            except (BrokenPipeError, ConnectionResetError):
                output = proc.stdout.read()
                proc.wait()
            request["end"] = time.time()
            with self.cond:
                del self.inflight[request["id"]]
                os.close(pidfd)
            request["status"] = proc.returncode
            request["output"] = output.decode("latin-1")
            # Killed on purpose only when it died of the kill; one that had ended is whole.
            if request.get("killed_by") and proc.returncode != -signal.SIGKILL:
                del request["killed_by"]
            if self.build == "wine" and not output and 0 < proc.returncode < 128 and not request.get("killed_by"):
                request["wine_failed"] = True
            self.record("requests", request)
            kind, number, nonce, _ = check.classify(request["output"])
            if not typed and kind == "answer" and nonce == c["nonce"] and number is not None:
                if None in self.pool:
                    self.pool[self.pool.index(None)] = int(number)
                elif c["replace"]:
                    self.pool[c["replace_slot"]] = int(number)

    # The nemesis.

    def kill_requests(self, why, pick=None):
        """Kills one waiting request (pick: where in the list of those under way), or all."""
        with self.cond:
            under_way = sorted(self.inflight.values(), key=lambda v: v[0]["start"])
            if pick is not None:
                under_way = under_way[int(pick * len(under_way)):][:1]
            for request, proc, pidfd in under_way:
                request["killed_by"] = why
                signal.pidfd_send_signal(pidfd, signal.SIGKILL)
            ids = [v[0]["id"] for v in under_way]
        # Dead before anything else happens: a power cut drops what they had not flushed.
        for request, proc, pidfd in under_way:
            deadline = time.time() + 10
            while request["id"] in self.inflight and time.time() < deadline:
                time.sleep(0.01)
        return ids

    def fault(self, f):
        kind, start = f["kind"], time.time()
        detail = ""
        if kind == "request killed":
            ids = self.kill_requests("nemesis", f["pick"])
            if not ids:
                return None
            detail = ids[0]
        elif kind == "remote host killed":
            self.host.kill()
        elif kind == "remote host stopped":
            self.host.stop()
            detail = "%.0f s" % f["duration"]
        elif kind == "power cut":
            with self.cond:
                self.down = True
            try:
                ids = self.kill_requests("power cut")
                self.host.kill(with_commands=True)
                for web in self.webs:
                    web.wineserver("-k")
                self.lazyfs("cut")
                self.lazyfs("restart")
                time.sleep(f["duration"])
            finally:
                # The machine starts again, whatever the cut did.
                for web in self.webs:
                    web.wineserver("-p")
                if self.host.proc is None:
                    self.host.start()
                with self.cond:
                    self.down = False
                    self.cond.notify_all()
            detail = "%d request(s) under way" % len(ids)
        elif kind == "client killed":
            self.faults_sh("kill-client-" + f["web"])
            detail = f["web"]
        elif kind == "server killed":
            self.faults_sh("kill-server")
        elif kind == "server hung":
            self.faults_sh("hang-server")
            detail = "%.0f s" % f["duration"]
        return {"kind": kind, "start": start, "end": time.time(), "detail": detail}

    def repair(self, f):
        kind = f["kind"]
        if kind == "remote host killed":
            self.host.start()
        elif kind == "remote host stopped":
            self.host.cont()
        elif kind == "client killed":
            self.faults_sh("remount-client-" + f["web"])
        elif kind == "server killed":
            self.faults_sh("restart-server")
            self.reached_again(kind)
        elif kind == "server hung":
            self.faults_sh("resume-server")
            self.reached_again(kind)

    def reached_again(self, kind, seconds=60):
        """A server's repair is whole once the remote host's client reaches the exchange again; one
        that stays away (a client that never reconnects to the restarted brick) is the soak's set-up
        failing, not the program, and is reported so rather than as the requests it then loses."""
        until = time.time() + seconds
        while True:
            try:
                os.listdir(self.args.remote + "/r/fromnt")
                return
            except OSError as error:
                if time.time() > until:
                    raise RuntimeError("the remote host's client still cannot reach the exchange %d s after the "
                                       "repair of %s: %s" % (seconds, kind, error))
            time.sleep(0.5)

    def nemesis(self, plan):
        """Makes the plan's faults at their moments, and repairs each at its moment plus its
        duration; once the faults are to stop, repairs what is still out at once."""
        timeline = [(f["t"], 1, i, None) for i, f in enumerate(plan)]  # a repair (0) before a fault
        heapq.heapify(timeline)
        while timeline:
            t, order, i, done = heapq.heappop(timeline)
            in_time = self.wait_until(t)
            if order == 0:
                self.finish_repair(plan[i], done)
                continue
            if not in_time:
                continue
            f = plan[i]
            try:
                done = self.fault(f)
            except Exception as problem:  # a fault that could not be made is said, and the soak fails
                done = {"kind": f["kind"], "start": time.time(), "end": time.time(), "detail": "FAILED: %s" % problem}
                self.failures.append("the fault %s at %.1f s: %s" % (f["kind"], t, problem))
            if done is None:
                continue
            self.record("faults", done)
            if f["kind"] in REPAIRED:
                heapq.heappush(timeline, (t + f["duration"], 0, i, done))

    def finish_repair(self, f, done):
        try:
            self.repair(f)
        except Exception as problem:
            done["detail"] += " (repair FAILED: %s)" % problem
            self.failures.append("the repair of %s: %s" % (f["kind"], problem))
        done["end"] = time.time()

    def wait_until(self, t):
        """Sleeps until t seconds from the start; False once the faults are to stop."""
        return not self.stop_faults.wait(max(0.0, self.t0 + t - time.time()))

    # The run.

    def exchange_left(self):
        """What the exchange's folders and the remote host's work/ hold, as the remote host sees them."""
        left = {}
        for label, folder in (("r:\\fromnt", "r/fromnt"), ("r:\\tont", "r/tont"), ("work/", "r/remote-host/work")):
            try:
                left[label] = sorted(os.listdir(os.path.join(self.args.remote, folder)))
            except OSError as problem:
                left[label] = ["(cannot be listed: %s)" % problem.strerror]
        return left

    def run(self):
        args = self.args
        self.t0 = time.time()
        web_names = [w.name for w in self.webs]
        plan = nemesis_plan(args.seed, args.seconds, self.kinds, web_names)
        digest = plan_digest(args.seed, args.seconds, self.kinds, web_names, args.clients)
        with open(os.path.join(self.work, "plan.json"), "w") as f:
            json.dump(plan, f, indent=1)
        print("== soak: %s, %s build, %d client(s), %d s, seed %s (plan %s, %d faults planned); work %s" % (
            args.where, self.build, args.clients, args.seconds, args.seed, digest, len(plan), self.work), flush=True)
        self.host.start()
        clients = [threading.Thread(target=self.client, args=(i,)) for i in range(args.clients)]
        for c in clients:
            c.start()
        nemesis = threading.Thread(target=self.nemesis, args=(plan,))
        nemesis.start()
        time.sleep(max(0, self.t0 + args.seconds - time.time()))
        self.stop_faults.set()
        self.stop_clients.set()
        with self.cond:
            self.cond.notify_all()
        nemesis.join()
        for c in clients:
            c.join()
        drained = time.time()
        # Quiet: no request, no fault. Every wait and sweep ends within QUIET_SECONDS; sooner
        # where nothing is left to take or to sweep.
        while True:
            left = self.exchange_left()
            if not any(left.values()) or time.time() - drained > QUIET_SECONDS:
                break
            time.sleep(1)
        quiet = time.time() - drained
        self.host.end()
        for web in self.webs:
            web.end()
        self.collect(args, digest, left, quiet)
        path = os.path.join(self.work, "history.json")
        with open(path, "w") as f:
            json.dump(self.history, f)
        violations = check.check(self.history)
        text = check.report(self.history, violations)
        if not any(check.outcome_of(r) == "answered" for r in self.history["requests"]):
            self.failures.append("no request was answered: the soak's set-up is broken")
        text += "".join("\nTHE SOAK ITSELF FAILED: %s" % f for f in self.failures)
        with open(os.path.join(self.work, "report.txt"), "w") as f:
            f.write(text + "\n")
        print(text, flush=True)
        return 2 if self.failures else 1 if violations else 0

    def collect(self, args, digest, left, quiet):
        h = self.history
        served = os.path.join(self.work, "served.log")
        with open(served if os.path.exists(served) else os.devnull) as f:
            for line in f:
                parts = line.split()
                if len(parts) == 5 and parts[0] in ("start", "end"):
                    h["served"].append({"event": parts[0], "time": float(parts[1]), "number": parts[2],
                                        "nonce": parts[3], "status" if parts[0] == "end" else "mode": parts[4]})
        errors = os.path.join(args.remote, "r/remote-host/error")
        for name in sorted(os.listdir(errors)) if os.path.isdir(errors) else []:
            m = re.search(r"Z-(-?\d+)(?:-\d+)?\.DAT$", name)
            if not m:
                continue
            try:
                with open(os.path.join(errors, name), "rb") as f:
                    form = f.read().decode("latin-1")
            except OSError:
                form = ""
            nonce = re.search(r"(?:^|&)NONCE=([A-Za-z0-9-]+)", form)
            h["kept"].append({"file": name, "number": m.group(1), "nonce": nonce.group(1) if nonce else None})
        try:
            with open(os.path.join(args.remote, "woe/track.txt"), "rb") as f:
                counter = f.read().decode("latin-1")
        except OSError:
            counter = None
        bound = PROGRAM_SECONDS + self.blocked + START_AND_END_SECONDS[self.build]
        h["setup"] = {"where": args.where, "build": self.build, "clients": args.clients, "seconds": args.seconds,
                      "seed": args.seed, "plan_digest": digest, "web_servers": [w.name for w in self.webs],
                      "bound_seconds": bound, "t0": self.t0, "history_file": os.path.join(self.work, "history.json"),
                      "replay": args.replay.replace("{seed}", args.seed) if "{seed}" in args.replay
                      else "%s --seed %s" % (args.replay, args.seed)}
        # Whose each file left behind is: the nonce in a request file, or in an answer.
        owners = {}
        for label, folder in (("r:\\fromnt", "r/fromnt"), ("r:\\tont", "r/tont"), ("work/", "r/remote-host/work")):
            for name in left.get(label, []):
                try:
                    with open(os.path.join(args.remote, folder, name), "rb") as f:
                        text = f.read(65536).decode("latin-1")
                except OSError:
                    continue
                nonce = re.search(r"(?:^|&)NONCE=([A-Za-z0-9-]+)", text) or check.NONCE.search(text)
                if nonce:
                    owners["%s %s" % (label, name)] = nonce.group(1)
        h["after"] = {"quiet_seconds": quiet, "left": left, "counter": counter, "owners": owners}


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--seconds", type=float, required=True, help="how long the clients and the nemesis run")
    p.add_argument("--seed", default=None, help="the seed of every choice (default: a new one, printed)")
    p.add_argument("--clients", type=int, default=4)
    p.add_argument("--program", required=True, help="trackrelay, or trackrelay.exe with --wine-prefix")
    p.add_argument("--remote-host", required=True, help="trackrelay-remote-host (POSIX)")
    p.add_argument("--web", action="append", required=True,
                   help="NAME=FOLDER: a web server and the soak's folder through its own client (repeat)")
    p.add_argument("--remote", required=True, help="the soak's folder as the remote host sees it")
    p.add_argument("--work", required=True, help="a folder for the records: history, logs, report")
    p.add_argument("--wine-prefix", help="run trackrelay.exe under Wine, borrowing from this prefix")
    p.add_argument("--lazyfs", help="LazyFS's folder (lazyfs.sh): the power cut is one of the faults")
    p.add_argument("--share", help="the cluster file system's folder (faults.sh): its faults are the nemesis's")
    p.add_argument("--faults", help="the faults to make, separated by commas (default: all that the drives "
                                    "offer; none: no fault)")
    p.add_argument("--where", default="local disk", help="what the drives are, for the report")
    p.add_argument("--replay", default="soak.py",
                   help="the command that runs this soak again, for the report: {seed} in it is the seed, "
                        "else --seed SEED follows it")
    args = p.parse_args()
    args.program, args.remote_host = os.path.abspath(args.program), os.path.abspath(args.remote_host)
    if args.seed is None:
        args.seed = os.environ.get("TRACKRELAY_SOAK_SEED") or str(int.from_bytes(os.urandom(4), "big"))
    return Soak(args).run()


if __name__ == "__main__":
    sys.exit(main())
