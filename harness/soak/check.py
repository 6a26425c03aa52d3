#!/usr/bin/env python3
"""The soak's checker: what must hold over the whole history of a soak (soak.py), and its report.

Run on a history that soak.py wrote: check.py HISTORY.json [--all]. Exit status 0 when nothing
is violated, 1 otherwise. The rules, each a kind of violation:

  crossed      a page shows a nonce or a number that is not its request's own, or the remote
               host's error page that it wrote for another request (its own request was never
               kept in error/)
  doubled      one new number handed to two requests (TRACKNO=0); or one request seen by the
               remote host under two numbers, or a typed number under another
  malformed    a page that is not whole or not one of the fixed kinds (the request's own answer,
               the remote host's error page, the timeout page, internal error 1 to 6, the latter
               two after part of an answer), or an exit status other than 0
  late         a request that ended after its bound (the program's 90 s, one blocked call of the
               share, the process's start and end)
  lost         a request that was published (its page says so) and that the remote host neither
               answered (the command ended with status 0) nor kept in its error/ folder
  left behind  after the quiet time a file in r:\\fromnt, r:\\tont or the remote host's work/
  counter      the counter is not a number as the program writes it, or not beyond every new
               number handed out

A request that the nemesis (or the power cut) killed has no page to check but for crossing: any
nonce or number it shows must be its own.
"""
import json
import re
import sys
from collections import Counter, defaultdict

HEADER = "HTTP/1.0 200 OK\r\nContent-type: text/html\r\n\r\n"
TIMEOUT_PAGE = (HEADER + "<HTML><HEAD>\r\n<TITLE>Data Wait Timeout</TITLE>\r\n</HEAD>\r\n"
                "<Center><H1>No Data Returned From The Remote Host</H1></Center>\r\n<p>\r\n<hr>\r\n")
# The steps whose internal error page a soak may see: 0 (the form) never, since every form
# holds a number; 10 (memory) never.
ALLOWED_STEPS = ("1", "2", "3", "4", "5", "6")
# What answer.sh's page and the remote host's error page show (never matched in the program's
# own pages: "internal error number 2" is no number of a request).
NONCE = re.compile(r"<p>nonce ([A-Za-z0-9-]+)</p>")
NUMBER = re.compile(r"<p>number (-?\d+)</p>")
TRACKING = re.compile(r"<p>Tracking number (-?\d+)\. ")


def internal_error_page(step):
    return (HEADER + "<HTML><HEAD>\r\n<TITLE>Internal CGI Error</TITLE>\r\n</HEAD>\r\n"
            "<Center><H1>An internal error number " + step +
            " has caused the cgi program to terminate abnormaly</H1></Center>\r\n<p>\r\n<hr>\r\n")


def answer_lines(number, nonce):
    """The lines of answer.sh's page for a request, as the remote host publishes them."""
    return ["<html><body>", "<p>number %s</p>" % number, "<p>nonce %s</p>" % nonce, "</body></html>"]


def host_error_lines(number):
    """The lines of the remote host's own error page (remote_host/command_environment.cc)."""
    return ["<!DOCTYPE html>", "<html>", "<head>", "<title>Request not served</title>", "</head>", "<body>",
            "<h1>The remote host could not serve this request</h1>",
            "<p>Tracking number %s. Please try again later.</p>" % number, "</body>", "</html>"]


def classify(output):
    """What a page is: (kind, number, nonce, cut). kind is timeout, internal N, answer, host error,
    or malformed; number and nonce those the page shows; cut tells an answer that ended in the
    internal error page after part of it was relayed."""
    if output == TIMEOUT_PAGE:
        return "timeout", None, None, False
    for step in [str(i) for i in range(11)]:
        if output == internal_error_page(step):
            return "internal " + step, None, None, False
    if not output.startswith(HEADER):
        return "malformed", None, None, False
    body, cut = output[len(HEADER):], False
    for step in ("5", "6"):
        if body.endswith(internal_error_page(step)):
            body, cut = body[:-len(internal_error_page(step))], True
            break
    lines = body.split("\r\n\r\n")
    if lines[-1] != "" or (not cut and len(lines) == 1):
        return "malformed", None, None, False
    lines = lines[:-1]
    numbers = NUMBER.findall(body)
    nonces = NONCE.findall(body)
    tracking = TRACKING.findall(body)
    number = numbers[0] if numbers else (tracking[0] if tracking else None)
    nonce = nonces[0] if nonces else None
    whole = answer_lines(number, nonce) if tracking == [] else host_error_lines(number)
    kind = "answer" if tracking == [] else "host error"
    if cut and lines == whole[:len(lines)]:
        # Step 5 is the first line, step 6 any later one; the page says which.
        step = "5" if not lines else "6"
        if output.endswith(internal_error_page(step)):
            return kind, number, nonce, True
    if not cut and lines == whole and number is not None:
        return kind, number, nonce, False
    return "malformed", number, nonce, cut


def outcome_of(request):
    """A request's outcome for the counts: its page's kind, or how it was ended."""
    if request.get("killed_by"):
        return "killed (%s)" % request["killed_by"]
    if request.get("wine_failed"):
        return "Wine did not run it"
    kind = classify(request["output"])[0]
    return {"answer": "answered", "host error": "remote host's error page"}.get(kind, kind)


def check(history):
    """Every violation of the history, each a dict: kind, text, requests (their ids)."""
    requests = history["requests"]
    by_id = {r["id"]: r for r in requests}
    by_nonce = {r["nonce"]: r for r in requests}
    served_numbers = defaultdict(set)  # nonce -> the numbers the command served it under
    answered = set()
    for event in history["served"]:
        served_numbers[event["nonce"]].add(int(event["number"]))
        if event["event"] == "end" and event["status"] == "0":
            answered.add(event["nonce"])
    kept_numbers = defaultdict(set)
    for kept in history["kept"]:
        if kept.get("nonce"):
            kept_numbers[kept["nonce"]].add(int(kept["number"]))
    bound = history["setup"]["bound_seconds"]
    violations = []

    def violation(kind, text, *ids):
        violations.append({"kind": kind, "text": text, "requests": list(ids)})

    new_numbers = defaultdict(list)  # number -> the new-number requests that got it
    for r in requests:
        if r.get("wine_failed"):
            if r["nonce"] in served_numbers or r["nonce"] in kept_numbers:
                violation("malformed", "%s ended without a page, yet the remote host saw it" % r["id"], r["id"])
            continue
        kind, number, nonce, cut = classify(r["output"])
        typed = r["typed"]
        # Crossing: any nonce or number the page shows must be the request's own, killed or not.
        foreign = sorted(set(NONCE.findall(r["output"])) - {r["nonce"]})
        if foreign:
            owner = by_nonce.get(foreign[0])
            violation("crossed", "%s (%s) showed the answer of %s" % (
                r["id"], describe_number(r), owner["id"] if owner else "nonce " + foreign[0]),
                r["id"], *([owner["id"]] if owner else []))
            continue
        shown = set(NUMBER.findall(r["output"])) | set(TRACKING.findall(r["output"]))
        if typed and shown - {str(typed)}:
            violation("crossed", "%s (TRACKNO=%s) showed number %s" % (r["id"], typed, ",".join(sorted(shown))),
                      r["id"])
            continue
        if kind == "host error" and r["nonce"] not in kept_numbers and not r.get("killed_by"):
            violation("crossed", "%s (%s) showed the remote host's error page of number %s, though its own "
                      "request was never kept in error/" % (r["id"], describe_number(r), number), r["id"])
            continue
        if r.get("killed_by"):
            continue
        if r["status"] != 0:
            violation("malformed", "%s ended with status %s" % (r["id"], r["status"]), r["id"])
        elif kind == "malformed" or (kind.startswith("internal ") and kind[9:] not in ALLOWED_STEPS):
            violation("malformed", "%s: page %r" % (r["id"], r["output"][:160]), r["id"])
        if r["end"] - r["start"] > bound:
            violation("late", "%s ended after %.1f s (bound %.0f s)" % (r["id"], r["end"] - r["start"], bound), r["id"])
        published = kind in ("answer", "host error", "timeout", "internal 4", "internal 5", "internal 6")
        if published and r["nonce"] not in answered and r["nonce"] not in kept_numbers:
            violation("lost", "%s (%s) was published (%s), and the remote host neither answered it nor kept it"
                      % (r["id"], describe_number(r), kind), r["id"])
        if not typed and kind == "answer" and number is not None:
            r["number"] = int(number)
    # The numbers the remote host saw each request under.
    for nonce in sorted(set(served_numbers) | set(kept_numbers)):
        numbers = served_numbers[nonce] | kept_numbers[nonce]
        r = by_nonce.get(nonce)
        if r is None:
            violation("doubled", "the remote host served nonce %s, which no client sent" % nonce)
            continue
        page_number = r.get("number")
        if page_number is not None:
            numbers = numbers | {page_number}
        if len(numbers) > 1:
            violation("doubled", "%s was seen under numbers %s" % (r["id"], sorted(numbers)), r["id"])
        elif r["typed"] and numbers != {r["typed"]}:
            violation("doubled", "%s (TRACKNO=%s) was served as number %s" % (r["id"], r["typed"], min(numbers)),
                      r["id"])
        elif not r["typed"]:
            r["number"] = min(numbers)
    for r in requests:
        if not r["typed"] and r.get("number") is not None:
            new_numbers[r["number"]].append(r)
    for number, got in sorted(new_numbers.items()):
        if len(got) > 1:
            overlap = any(a["start"] < b["end"] and b["start"] < a["end"]
                          for i, a in enumerate(got) for b in got[i + 1:])
            violation("doubled", "new number %d handed to %s%s" % (
                number, ", ".join(r["id"] for r in got), " (at the same time)" if overlap else ""),
                *[r["id"] for r in got])
    after = history["after"]
    owners = after.get("owners", {})
    for folder, names in sorted(after["left"].items()):
        if names:
            whose = sorted({by_nonce[owners[k]]["id"] for k in ("%s %s" % (folder, n) for n in names)
                            if owners.get(k) in by_nonce})
            violation("left behind", "%s still holds %s after %.0f s of quiet%s" % (
                folder, ", ".join(sorted(names)[:8]) + (" ..." if len(names) > 8 else ""), after["quiet_seconds"],
                " (of %s)" % ", ".join(whose) if whose else ""), *whose)
    counter = re.fullmatch(r"( ?)(-?\d+) \r\n", after.get("counter") or "")
    highest = max(new_numbers, default=None)
    if not counter or (counter.group(1) == " ") != (int(counter.group(2)) >= 0):
        violation("counter", "the counter holds %r, not a number as the program writes it" % after.get("counter"))
    elif highest is not None and int(counter.group(2)) <= highest:
        violation("counter", "the counter holds %s, not beyond new number %d" % (counter.group(2), highest))
    for v in violations:
        for i in v["requests"]:
            assert i in by_id
    return violations


def describe_number(r):
    return "TRACKNO=%s" % r["typed"] if r["typed"] else "a new number"


def history_lines(history, ids, limit=9):
    """The histories of the requests named, and of the number they share, as lines."""
    t0 = history["setup"]["t0"]
    by_id = {r["id"]: r for r in history["requests"]}
    involved = [by_id[i] for i in ids if i in by_id]
    if not involved:
        return []
    nonces = {r["nonce"] for r in involved}
    numbers = {str(r["typed"] or r.get("number")) for r in involved}
    start = min(r["start"] for r in involved) - 2
    end = max(r["end"] for r in involved) + 2
    events = []
    for r in involved:
        events.append((r["start"], "%s %s %s %s (%s %s) started" % (
            r["id"], describe_number(r), r["method"], r["web"], r["mode"], r["delay"])))
        kind, number, nonce, cut = classify(r["output"])
        ending = ("killed by the %s" % r["killed_by"]) if r.get("killed_by") else (
            "page: %s%s%s" % (kind, " number %s" % number if number else "", " nonce %s" % nonce if nonce else ""))
        events.append((r["end"], "%s ended, %.1f s: %s" % (r["id"], r["end"] - r["start"], ending)))
    for e in history["served"]:
        if e["nonce"] in nonces or (e["number"] in numbers and start <= e["time"] <= end):
            owner = next((r["id"] for r in history["requests"] if r["nonce"] == e["nonce"]), e["nonce"])
            events.append((e["time"], "command %s number %s for %s%s" % (
                e["event"], e["number"], owner, " status " + e["status"] if e["event"] == "end" else "")))
    for line in history.get("host_log", []):
        if start <= line["time"] <= end and any(re.match(r"trackrelay-remote-host: %s:" % re.escape(n), line["line"])
                                                for n in numbers):
            events.append((line["time"], "host: " + line["line"][len("trackrelay-remote-host: "):][:110]))
    for f in history["faults"]:
        if f["start"] <= end and f.get("end", f["start"]) >= start:
            events.append((f["start"], "fault %s %s" % (f["kind"], f.get("detail", ""))))
    events.sort(key=lambda e: e[0])
    if len(events) > limit:
        events = events[:limit - 1] + [(events[-1][0], "... %d more" % (len(events) - limit))]
    return ["    %7.1f  %s" % (t - t0, text) for t, text in events]


def report(history, violations, show=3):
    """One screen: the setup and seed, counts by outcome and by fault, each violation with the
    histories of its requests."""
    s = history["setup"]
    lines = ["== soak: %s, %s build, %d client(s), %d web server(s), %.0f s; seed %s (plan %s)" % (
        s["where"], s["build"], s["clients"], len(s["web_servers"]), s["seconds"], s["seed"], s["plan_digest"])]
    outcomes = Counter(outcome_of(r) for r in history["requests"])
    lines.append("requests: %d: %s" % (len(history["requests"]),
                                       ", ".join("%s %d" % kv for kv in sorted(outcomes.items(), key=lambda kv: -kv[1]))))
    faults = Counter(f["kind"] for f in history["faults"])
    lines.append("faults: %d: %s" % (sum(faults.values()), ", ".join("%s %d" % kv for kv in sorted(faults.items())) or "none"))
    after = history["after"]
    lines.append("after: %.0f s of quiet, the counter %r; the remote host served %d, kept %d in error/" % (
        after["quiet_seconds"], after.get("counter"), len({e["nonce"] for e in history["served"] if e["event"] == "end"}),
        len(history["kept"])))
    kinds = Counter(v["kind"] for v in violations)
    lines.append("violations: %d%s" % (len(violations), (": " + ", ".join("%s %d" % kv for kv in sorted(kinds.items())))
                                       if violations else ""))
    for v in violations[:show]:
        lines.append("  %s: %s" % (v["kind"], v["text"]))
        lines.extend(history_lines(history, v["requests"]))
    for v in violations[show:show + 3]:
        lines.append("  %s: %s" % (v["kind"], v["text"]))
    if len(violations) > show + 3:
        lines.append("  ... %d more; each with its history: check.py %s --all" % (
            len(violations) - show - 3, s.get("history_file", "HISTORY")))
    lines.append("replay: %s" % s["replay"])
    return "\n".join(lines)


def main(argv):
    with open(argv[1], encoding="utf-8") as f:
        history = json.load(f)
    violations = check(history)
    print(report(history, violations, show=len(violations) if "--all" in argv else 3))
    return 1 if violations else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
